# pyright: strict
"""A new user's dynamic-DNS cron job, as README shows it: type-checked by
mypy and pyright in strict mode (tests/typing/test_typing.py), never run."""

from __future__ import annotations

import logging
import sys

import nuv
from nuv import (
    ApiResponse,
    AuthenticationError,
    Cloudflare,
    CloudflareError,
    DnsRecord,
    PlannedWrite,
    RateLimitedError,
    RecordType,
    Zone,
)

log = logging.getLogger("ddns")


def records_named(cf: Cloudflare, zone_id: str, name: str, kind: RecordType) -> list[DnsRecord]:
    listing = cf.dns_get_records(None, kind, name, zone_id=zone_id).raise_for_status()
    records: list[DnsRecord] = listing.result
    return records


def zone_of(cf: Cloudflare, domain: str) -> Zone:
    zones: list[Zone] = cf.query(domain).result
    return zones[0]


def describe(write: PlannedWrite) -> str:
    return f"{write['action']} {write['type']} {write['name']} -> {write['content']} ({write['reason']})"


def ensure(cf: Cloudflare, zone_id: str, name: str, address: str) -> int:
    for write in cf.dns_plan("", "A", name, address, True, 1, zone_id=zone_id):
        log.info("will %s", describe(write))
    response: ApiResponse = cf.dns_ensured_record("", "A", name, address, True, 1, zone_id=zone_id)
    if response.ok:
        return 0
    for error in response.errors:
        log.error("%d %s", error["code"], error["message"])
    try:
        response.raise_for_status()
    except RateLimitedError as e:
        log.warning("rate limited, retry in %s s", e.retry_after)
        return 75
    except AuthenticationError as e:
        log.error("%s (%s)", e, e.hint)
        return 77
    except CloudflareError as e:
        status: int | str | None = e.status
        log.error("failed with %s: %s", status, e)
    return 1


def main(argv: list[str]) -> int:
    token, zone_id, name, address = argv[1:5]
    nuv.set_trace("logging")
    cf = Cloudflare(api_token=token, zone_id=zone_id)
    status = ensure(cf, zone_id, name, address)
    purged = cf.purge_cache(files=[f"https://{name}/", {"url": f"https://{name}/a", "headers": {"CF-IPCountry": "US"}}])
    if not purged.ok:
        log.warning("purge failed: %s", purged.detail or purged.body)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
