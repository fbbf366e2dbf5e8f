"""Whole zones from files: `nuv sync` against octoDNS with its Cloudflare
provider, on the same octoDNS YAML file and the same stand-in, and against
nuv's own one-record-at-a-time reconciliation (`dns_ensured_record` per
record). Requests are counted by the stand-in; times are wall clock of the
whole command. octoDNS sends one request per record, so it is measured on a
smaller zone and its figures are scaled (linearly, which is how its request
count grows); so is the one-at-a-time loop. run.py picks this module up
(`section`), or run it alone: python bench/bench_sync.py."""

from __future__ import annotations

import contextlib
import math
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import targets
from bench_reconcile import trusting
from nuv import Cloudflare
from nuv.cli._octodns import write_octodns
from nuv.cli.standin import environment
from nuv.testing import StandIn

ZONE = "bench-sync.example"
RECORDS = int(os.environ.get("BENCH_SYNC_RECORDS", "10000"))
# octoDNS and the one-at-a-time loop send a request per record: measured on this many, then scaled.
SMALL = int(os.environ.get("BENCH_SYNC_SMALL", "1000"))
CHANGED = 0.01
# The service's limit per token, which a real run of the slow paths would meet.
LIMIT, WINDOW = 1200, 300.0


def zone_records(count: int, changed: int = 0) -> list[dict[str, Any]]:
    """A zone of ``count`` records of the usual kinds; the first ``changed``
    A records point elsewhere."""
    records: list[dict[str, Any]] = []
    addresses = 0
    for i in range(count):
        kind = i % 20
        if kind < 16:
            moved = addresses < changed
            addresses += 1
            address = f"10.{250 if moved else i >> 16 & 255}.{i >> 8 & 255}.{i & 255}"
            # One in 16 proxied: the service keeps those at automatic TTL.
            records.append(
                {
                    "type": "A",
                    "name": f"h{i}.{ZONE}",
                    "content": address,
                    "ttl": 1 if kind == 0 else 300,
                    "proxied": kind == 0,
                }
            )
        elif kind < 18:
            records.append(
                {"type": "CNAME", "name": f"c{i}.{ZONE}", "content": f"h{i - 16}.{ZONE}", "ttl": 300, "proxied": False}
            )
        elif kind == 18:
            records.append({"type": "TXT", "name": f"t{i}.{ZONE}", "content": f'"token-{i}"', "ttl": 300})
        else:
            records.append(
                {"type": "MX", "name": f"m{i}.{ZONE}", "content": "mx.example.net", "priority": 10, "ttl": 300}
            )
    return records


@contextlib.contextmanager
def zone_file(records: list[dict[str, Any]]) -> Iterator[Path]:
    with tempfile.TemporaryDirectory(prefix="nuv-bench-sync-") as directory:
        path = Path(directory) / f"{ZONE}.yaml"
        path.write_text(write_octodns(ZONE, records))
        yield path


def octodns_config(directory: Path, standin: StandIn) -> Path:
    config = directory / "octodns.yaml"
    config.write_text(
        "providers:\n"
        "  config:\n"
        "    class: octodns.provider.yaml.YamlProvider\n"
        f"    directory: {directory}\n"
        "  cloudflare:\n"
        "    class: octodns_cloudflare.CloudflareProvider\n"
        f"    token: {standin.token}\n"
        f"    api_url: {standin.api_url}\n"
        "    pagerules: false\n"
        "    retry_period: 1\n"
        "zones:\n"
        f"  {ZONE}.:\n"
        "    sources: [config]\n"
        "    targets: [cloudflare]\n"
    )
    return config


def run_timed(argv: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=3600, check=False)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{argv[2]} failed ({done.returncode}): {done.stderr[-2000:]}")
    return elapsed


def requests_since(standin: StandIn) -> int:
    return len(standin.requests("cloudflare"))


def stored(standin: StandIn, zone_id: str) -> set[tuple[str, str, str]]:
    return {(r["type"], r["name"], r["content"].strip('"')) for r in standin.records(zone_id)}


def sync_runs(standin: StandIn, count: int, tool: str) -> list[tuple[str, int, float]]:
    """(case, requests, seconds) of a cold sync, a 1 % change and an unchanged sync of ``count`` records."""
    standin.reset()
    zone_id = standin.add_zone(ZONE, plan="pro")["id"]
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env.update(environment(standin.info, "SEC" + "0" * 64))
    env.update(CURL_CA_BUNDLE=standin.ca_file, REQUESTS_CA_BUNDLE=standin.ca_file, NUV_TRACE="off")
    out = []
    moved = max(1, int(count * CHANGED))
    # (case, records moved from the base zone, nuv's extra options): the last case moves them back.
    cases = [("cold, from empty", 0, []), (f"{CHANGED:.0%} changed", moved, []), ("unchanged", moved, [])]
    if tool == "nuv":
        cases.append((f"{CHANGED:.0%} changed, `--zone-id` given", 0, ["--zone-id", zone_id]))
    for case, changed, options in cases:
        records = zone_records(count, changed)
        with zone_file(records) as path:
            if tool == "octodns":
                argv = [
                    sys.executable,
                    "-m",
                    "octodns.cmds.sync",
                    "--config-file",
                    str(octodns_config(path.parent, standin)),
                    "--doit",
                ]
            else:
                argv = [sys.executable, "-m", "nuv", "sync", str(path), "--apply", "--quiet", *options]
            standin.clear_requests()
            seconds = run_timed(argv, env)
            out.append((case, requests_since(standin), seconds))
        wanted = {(r["type"], r["name"], r["content"].strip('"')) for r in records}
        if stored(standin, zone_id) != wanted:
            raise RuntimeError(f"{tool} did not bring the zone into the file's state ({case})")
    return out


def one_at_a_time(standin: StandIn, count: int) -> tuple[int, float]:
    """A cold sync as a loop of dns_ensured_record calls, one per record."""
    standin.reset()
    zone_id = standin.add_zone(ZONE, plan="pro")["id"]
    cf = Cloudflare(api_token=standin.token, api_url=standin.api_url, zone_id=zone_id, rate_limit=0)
    records = zone_records(count)
    standin.clear_requests()
    start = time.perf_counter()
    with trusting(standin.ca_file), targets.quiet_stdout():
        for r in records:
            content = f"{r['content']}|{r['priority']}" if r["type"] == "MX" else r["content"]
            cf.dns_ensured_record("", r["type"], r["name"], content, bool(r.get("proxied")), r["ttl"], zone_id=zone_id)
    return requests_since(standin), time.perf_counter() - start


def rate_limited_seconds(requests: int) -> float:
    """The least time ``requests`` take under the service's 1,200 per 300 s."""
    return max(0.0, (math.ceil(requests / LIMIT) - 1) * WINDOW)


def section(api: str, token: str, standin: StandIn) -> list[str]:
    scale = RECORDS / SMALL
    ours = sync_runs(standin, RECORDS, "nuv")
    octo = sync_runs(standin, SMALL, "octodns")
    loop_requests, loop_seconds = one_at_a_time(standin, SMALL)
    lines = [
        "## Zones as code: `nuv sync` against octoDNS",
        "",
        f"One octoDNS YAML file of a paid zone, applied to the stand-in (rate limit off) by `nuv sync FILE --apply` "
        f"and by `octodns-sync --doit` (octoDNS with octodns-cloudflare); {RECORDS:,} records for nuv, "
        f"{SMALL:,} for octoDNS and the one-at-a-time loop, whose figures are scaled ×{scale:g} to {RECORDS:,} "
        "(both send a request per record). Time is the whole command, file parsing included. The last column is "
        f"the least time the requests need at the service's {LIMIT:,} requests per {WINDOW:.0f} s.",
        "",
        "| case | nuv sync: requests | time (s) | octoDNS: requests | time (s) | octoDNS ÷ nuv (requests, time) "
        "| at the service's rate limit (nuv, octoDNS) |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for (case, requests, seconds), (_, octo_requests, octo_seconds) in zip(ours, octo, strict=False):
        octo_requests_scaled, octo_seconds_scaled = octo_requests * scale, octo_seconds * scale
        lines.append(
            f"| {case} | {requests} | {seconds:.2f} | {octo_requests_scaled:,.0f} ({octo_requests:,} measured) "
            f"| {octo_seconds_scaled:.1f} ({octo_seconds:.1f}) "
            f"| {octo_requests_scaled / max(requests, 1):,.0f}×, {octo_seconds_scaled / seconds:,.0f}× "
            f"| {rate_limited_seconds(requests) / 60:.0f} min, "
            f"{rate_limited_seconds(round(octo_requests_scaled)) / 60:.0f} min |"
        )
    for case, requests, seconds in ours[len(octo) :]:
        lines.append(f"| {case} | {requests} | {seconds:.2f} | | | | |")
    cold_requests, cold_seconds = ours[0][1], ours[0][2]
    lines += [
        "",
        f"nuv's own one-at-a-time reconciliation (`dns_ensured_record` per record, batches per name), cold, "
        f"{SMALL:,} records measured: {loop_requests:,} requests in {loop_seconds:.1f} s, scaled to {RECORDS:,}: "
        f"{loop_requests * scale:,.0f} requests, {loop_seconds * scale:.0f} s "
        f"({loop_requests * scale / max(cold_requests, 1):,.0f}× the requests and "
        f"{loop_seconds * scale / cold_seconds:,.0f}× the time of `nuv sync`).",
        "",
        "Targets for the cold sync of 10,000 records: ≤ 8 requests, ≤ 30 s; a 1 % change ≤ 3 requests; an unchanged "
        "sync 1 zone look-up + 2 listing pages.",
        "",
    ]
    return lines


if __name__ == "__main__":
    with StandIn.start(cloudflare_rate_limit="off") as running:
        print("\n".join(section("", running.token, running)))
