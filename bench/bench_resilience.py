"""What resilience costs when nothing fails: the retry policy's and the rate
limiter's bookkeeping per request, and the connection of its own that every
record create, delete and DingTalk message pays for (so that libcurl can
never silently send it twice).

- Bookkeeping: the policy's per-request work without any transfer (signal
  check, the token's sliding window taken and given back, the answer's
  classification), timed in C++ over a million requests
  (`_nuv._policy_bookkeeping_ns`); target under 2 µs.
- End to end against nginx: a GET with the defaults (retries=2,
  rate_limit=1200) against one with both off, interleaved rounds.
- Fresh connection: against nginx, a POST (`dns_create_record`: a new
  connection each time, TCP and a resumed TLS session) against a PUT
  (`dns_update_record`: the kept connection); both are small answers of
  nginx, so the difference is the connection. A DingTalk send takes the same
  path.

`make bench` includes this section; `python bench/bench_resilience.py`
prints it alone against the stand-in only (no nginx figures).
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable

import _nuv
import nuv
import targets
from nuv.testing import StandIn

BOOKKEEPING_ITERATIONS = 1_000_000  # at most the limiter's largest window
CALLS = int(os.environ.get("BENCH_RESILIENCE_CALLS", "2000"))
ROUNDS = 5
ZONE_ID = "0123456789abcdef0123456789abcdef"


def bookkeeping_ns() -> tuple[float, float, float]:
    runs = sorted(_nuv._policy_bookkeeping_ns(BOOKKEEPING_ITERATIONS) for _ in range(ROUNDS))
    return runs[0], statistics.median(runs), runs[-1]


def per_call(calls: dict[str, Callable[[], object]]) -> dict[str, tuple[float, float]]:
    """Median wall seconds per call and client CPU seconds per call, rounds interleaved."""
    walls: dict[str, list[float]] = {name: [] for name in calls}
    cpus: dict[str, float] = dict.fromkeys(calls, 0.0)
    with targets.quiet_stdout():
        for call in calls.values():
            for _ in range(20):
                call()
        for _ in range(ROUNDS):
            for name, call in calls.items():
                cpu = time.process_time()
                started = time.perf_counter()
                for _ in range(CALLS // ROUNDS):
                    call()
                walls[name].append((time.perf_counter() - started) / (CALLS // ROUNDS))
                cpus[name] += time.process_time() - cpu
    return {name: (statistics.median(walls[name]), cpus[name] / CALLS) for name in calls}


def nginx_calls(api: str, token: str) -> dict[str, Callable[[], object]]:
    # The limiter counting every request but never full (the default 1200
    # would make this loop wait): the same bookkeeping as the default.
    default = nuv.Cloudflare(api_token=token, api_url=api, rate_limit=1_000_000)
    off = nuv.Cloudflare(api_token=token, api_url=api, retries=0, rate_limit=0)
    for cf in (default, off):
        cf.zone, cf.zone_id = "example.com", ZONE_ID
    return {
        "GET, retries=0 rate_limit=0": lambda: off.get("/zones"),
        "GET, retries=2, rate_limit on": lambda: default.get("/zones"),
        "PUT (kept connection)": lambda: off.dns_update_record("r1", "A", "h.example.com", "192.0.2.1", False, 1),
        "POST create (connection of its own)": lambda: off.dns_create_record("A", "h.example.com", "192.0.2.1", False, 1),
    }


def section(api: str, token: str, standin: StandIn) -> list[str]:
    """The report's resilience section (bench/run.py calls every bench
    module's section with the nginx API, its token and the stand-in)."""
    low, median, high = bookkeeping_ns()
    lines = [
        "",
        "## Resilience: the cost when nothing fails",
        "",
        f"Policy and rate-limiter bookkeeping per request, no transfer ({BOOKKEEPING_ITERATIONS:,} "
        f"requests, {ROUNDS} runs): **{median / 1000:.2f} µs** median ({low / 1000:.2f}-{high / 1000:.2f}); "
        f"target under 2 µs: {'met' if median < 2000 else 'NOT met'}.",
    ]
    if api:
        results = per_call(nginx_calls(api, token))
        lines += [
            "",
            f"Against nginx ({CALLS} calls each, {ROUNDS} interleaved rounds; wall: median per call; "
            "client CPU: this process's CPU time per call):",
            "",
            "| call | wall | client CPU |",
            "|---|---:|---:|",
        ]
        lines += [f"| {name} | {wall * 1e6:.0f} µs | {cpu * 1e6:.0f} µs |" for name, (wall, cpu) in results.items()]
        put, post = results["PUT (kept connection)"], results["POST create (connection of its own)"]
        lines += [
            "",
            f"A connection of its own (record creates and deletes, every DingTalk message) costs "
            f"{(post[0] - put[0]) * 1e6:.0f} µs of wall and {(post[1] - put[1]) * 1e6:.0f} µs of client CPU "
            "per request here (TCP and a resumed TLS session on loopback).",
        ]
    return lines


if __name__ == "__main__":
    with StandIn.start() as running:
        print("\n".join(section("", "", running)))
