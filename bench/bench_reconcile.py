"""Reconciliation writes: requests sent and time of a TXT replacement over
100 stale values and of a CNAME-to-A swap, through the batch endpoint and
with it refused (one write at a time). Against the stand-in; run.py picks
this module up (`section`), or run it alone: python bench/bench_reconcile.py."""

from __future__ import annotations

import contextlib
import os
import statistics
import time
from collections.abc import Callable, Iterator

import targets
from nuv import Cloudflare
from nuv.testing import StandIn

ZONE = "bench-reconcile.example"
NAME = f"r.{ZONE}"
STALE = 100
REPEATS = 7


@contextlib.contextmanager
def trusting(ca_file: str) -> Iterator[None]:
    saved = os.environ.get("CURL_CA_BUNDLE")
    os.environ["CURL_CA_BUNDLE"] = ca_file
    try:
        yield
    finally:
        if saved is None:
            del os.environ["CURL_CA_BUNDLE"]
        else:
            os.environ["CURL_CA_BUNDLE"] = saved


def txt_replace(standin: StandIn, zone_id: str) -> tuple[str, str, str, bool, int]:
    for i in range(STALE):
        standin.add_record(zone_id, type="TXT", name=NAME, content=f"v=stale{i}", ttl=1)
    return ("TXT", NAME, "v=wanted", False, 1)


def swap(standin: StandIn, zone_id: str) -> tuple[str, str, str, bool, int]:
    standin.add_record(zone_id, type="CNAME", name=NAME, content="target.example.net", ttl=1)
    return ("A", NAME, "192.0.2.10", False, 1)


def measure(standin: StandIn, token: str, setup: Callable, batches: bool) -> tuple[int, float, float, float]:
    """(requests, median, min, max seconds) of one dns_ensured_record call, fresh zone each time."""
    times, counts = [], set()
    for _ in range(REPEATS + 1):  # the first one warms the connection up and is dropped
        standin.reset()
        standin.set_rate_limit(None)
        zone_id = standin.add_zone(ZONE)["id"]
        wanted = setup(standin, zone_id)
        if not batches:
            standin.refuse_batches(404)
        cf = Cloudflare(api_token=token, api_url=standin.api_url, rate_limit=0)  # more than a token may
        cf.zone, cf.zone_id = ZONE, zone_id
        standin.clear_requests()
        start = time.perf_counter()
        status = cf.dns_ensured_record(ZONE, *wanted)[0]
        times.append(time.perf_counter() - start)
        if status != 200 or [r["name"] for r in standin.records(zone_id)] != [NAME]:
            raise RuntimeError(f"reconciliation did not converge: {status}")
        counts.add(len(standin.requests("cloudflare")))
    (count,) = counts
    times = times[1:]
    return count, statistics.median(times), min(times), max(times)


def rows(standin: StandIn) -> list[tuple[str, str, int, float, float, float]]:
    out = []
    with trusting(standin.ca_file), targets.quiet_stdout():
        for label, setup in ((f"TXT replace, {STALE} stale values", txt_replace), ("CNAME → A swap", swap)):
            for batches, how in ((True, "batch"), (False, "batch refused: one at a time")):
                out.append((label, how, *measure(standin, standin.token, setup, batches)))
    return out


def section(api: str, token: str, standin: StandIn) -> list[str]:
    lines = [
        "### Reconciliation writes",
        "",
        f"One `dns_ensured_record` call against the stand-in (median of {REPEATS}, fresh zone each): "
        "requests sent (listing included) and time.",
        "",
        "| case | path | requests | time (ms) | range |",
        "|---|---|---:|---:|---|",
    ]
    for label, how, count, median, low, high in rows(standin):
        lines.append(f"| {label} | {how} | {count} | {median * 1e3:.1f} | {low * 1e3:.1f}–{high * 1e3:.1f} |")
    return lines + [""]


if __name__ == "__main__":
    with StandIn.start(cloudflare_rate_limit="off") as running:
        print("\n".join(section("", running.token, running)))
