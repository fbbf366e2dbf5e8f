"""A dynamic-DNS round with nuv, as a cron job would run it.

    python -m nuv.demo                      # against the local stand-ins
    CLOUDFLARE_API_TOKEN=... python -m nuv.demo --live example.com [--purge]

Locally it starts the stand-ins of ``nuv.testing`` (Cloudflare and a DingTalk
robot, reached through their proxy exactly as the real hosts would be) and
runs the scenario on ``home.example.com``. With ``--live`` it runs the same
scenario against the real Cloudflare API on a host name of its own under the
given domain, restores the SSL mode it found, removes its records again, and
purges the zone's cache only when ``--purge`` is given. DingTalk
notifications go out in live mode only when ``DINGTALK_TOKEN`` and
``DINGTALK_SECRET`` are set.

The library traces every request on standard output (tokens masked); the
lines starting with ">>" are the demo's own.
"""

from __future__ import annotations

import argparse
import json
import os
import secrets
from typing import Any, Callable

from nuv import Cloudflare, DingTalk

Notify = Callable[[str, str], Any]


def say(text: str) -> None:
    print(f">> {text}", flush=True)


def outcome(result: tuple[Any, str], removing: bool = False) -> str:
    """What a reconciliation did, read off its result."""
    status, body = result
    if status == "404":
        return f"nothing to remove ({body})"
    try:
        payload = json.loads(body)
    except ValueError:
        return f"failed: {status} {body}"
    if not payload.get("success"):
        errors = ", ".join(f"{e.get('code')} {e.get('message')}" for e in payload.get("errors", []))
        return f"refused by the service: {status} {errors}"
    if isinstance(payload.get("result"), list):
        return "already as wanted, nothing written"
    verb = "removed" if removing else "written"
    return f"{verb} (record {payload['result'].get('id', '?')})"


def ensure(cf: Cloudflare, domain: str, rtype: str, name: str, content: str, **flags: Any) -> tuple[Any, str]:
    result = cf.dns_ensured_record(domain, rtype, name, content, False, 1, **flags)
    removing = flags.get("present") is False
    say(f"{rtype:<4} {name} -> {'absent' if removing else content}: {outcome(result, removing)}")
    return result


def check(result: tuple[Any, str], what: str) -> None:
    status, body = result
    if status != 200:
        raise SystemExit(f"{what} failed: {status} {body}")


def scenario(cf: Cloudflare, domain: str, host: str, notify: Notify | None, purge: bool, live: bool) -> None:
    say(f"looking up the zone of {domain}")
    cf.query(domain)
    say(f"zone {cf.zone} has id {cf.zone_id}")

    say("first run: the host gets its addresses")
    ensure(cf, domain, "A", host, "192.0.2.10")
    ensure(cf, domain, "AAAA", host, "2001:db8::10")

    say("second run with the same addresses: nothing changes")
    ensure(cf, domain, "A", host, "192.0.2.10")
    ensure(cf, domain, "AAAA", host, "2001:db8::10")

    say("the public IPv4 address moved")
    ensure(cf, domain, "A", host, "192.0.2.20")
    if notify is not None:
        answer = notify(f"{host} moved", f"### {host}\n\nA record now **192.0.2.20** (was 192.0.2.10)")
        say(f"DingTalk notified: {answer}")

    say("IPv6 is gone: remove the AAAA record")
    ensure(cf, domain, "AAAA", host, "2001:db8::10", present=False)

    previous_ssl = None
    if live:
        status, body = cf.get(f"/zones/{cf.zone_id}/settings/ssl")
        check((status, body), "reading the SSL mode")
        previous_ssl = json.loads(body)["result"]["value"]
        say(f"SSL mode is {previous_ssl!r}")
    status, body = cf.change_ssl_model("full")
    check((status, body), "setting SSL to full")
    say(f"SSL mode set to {json.loads(body)['result']['value']!r}")

    if purge:
        check(cf.purge_cache(), "purging the cache")
        say("cache purged")
    else:
        say("cache left alone (add --purge)")

    if previous_ssl is not None:
        check(cf.change_ssl_model(previous_ssl), "restoring the SSL mode")
        say(f"SSL mode restored to {previous_ssl!r}")
    if live:
        ensure(cf, domain, "A", host, "192.0.2.20", present=False)


def run_local() -> None:
    from nuv.testing import StandIn

    with StandIn.start() as standin:
        # Trust the stand-ins' test CA; the real hosts are reached through
        # their proxy, so the script below is the one a user would run.
        os.environ["CURL_CA_BUNDLE"] = standin.ca_file
        os.environ["http_proxy"] = standin.proxy_url
        standin.add_zone("example.com")
        standin.add_robot("demo-robot", "SEC" + "0" * 64)
        cf = Cloudflare(api_token=standin.token, proxy=standin.proxy_url)
        robot = DingTalk("demo-robot", "SEC" + "0" * 64)
        scenario(cf, "example.com", "home.example.com", robot.send_markdown, purge=True, live=False)
        sent = standin.messages("demo-robot")
        say(f"the robot stand-in received {len(sent)} message(s)")
        say("done")


def run_live(domain: str, purge: bool) -> None:
    token = os.environ.get("CLOUDFLARE_API_TOKEN")
    if not token:
        raise SystemExit("--live needs CLOUDFLARE_API_TOKEN in the environment")
    notify = None
    if os.environ.get("DINGTALK_TOKEN") and os.environ.get("DINGTALK_SECRET"):
        notify = DingTalk(os.environ["DINGTALK_TOKEN"], os.environ["DINGTALK_SECRET"]).send_markdown
    host = f"nuv-demo-{secrets.token_hex(3)}.{domain}"
    scenario(Cloudflare(api_token=token), domain, host, notify, purge=purge, live=True)
    say("done")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m nuv.demo", description=__doc__.split("\n\n")[0])
    parser.add_argument("--live", metavar="DOMAIN", help="run against the real Cloudflare API on this zone")
    parser.add_argument("--purge", action="store_true", help="in live mode, also purge the zone's cache")
    args = parser.parse_args(argv)
    if args.live:
        run_live(args.live, args.purge)
    else:
        run_local()


if __name__ == "__main__":
    main()
