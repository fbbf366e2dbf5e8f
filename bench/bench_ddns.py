"""`nuv ddns` over many names: requests a round makes over 20 names in 3
zones, in one process against one process per name, and an address change
to record and message end to end. Against the stand-in, the command run as
cron runs it (a fresh process each round); run.py picks this module up
(`section`), or run it alone: python bench/bench_ddns.py."""

from __future__ import annotations

import math
import os
import secrets
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from nuv.cli.standin import ROBOT_TOKEN, environment
from nuv.testing import StandIn

ZONES = {"bench-a.example": 10, "bench-b.example": 6, "bench-c.example": 4}
NAMES = [f"host{i}.{zone}" for zone, count in ZONES.items() for i in range(count)]
ADDRESSES = ("93.184.216.10", "93.184.216.20")
LATENCY_ROUNDS = int(os.environ.get("BENCH_DDNS_ROUNDS", "100"))


class Runner:
    def __init__(self, standin: StandIn, state: str) -> None:
        secret = "SEC" + secrets.token_hex(32)
        standin.add_robot(ROBOT_TOKEN, secret, rate_limit=None)
        self.standin = standin
        self.env = {**os.environ, **environment(standin.info, secret), "XDG_STATE_HOME": state}
        for name in ("http_proxy", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY", "NUV_TRACE"):
            self.env.pop(name, None)

    def ddns(self, *args: str) -> float:
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "nuv", "ddns", *args, "--quiet", "--notify"], env=self.env,
                              capture_output=True, text=True, check=False)  # fmt: skip
        elapsed = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError(f"nuv ddns failed: {done.stderr.strip()}")
        return elapsed

    def requests(self) -> tuple[int, int]:
        """(Cloudflare requests, robot messages) since the last call."""
        seen = self.standin.requests()
        self.standin.clear_requests()
        return sum(r["app"] == "cloudflare" for r in seen), sum(r["app"] == "dingtalk" for r in seen)


def rounds(standin: StandIn) -> list[tuple[str, int, int, float]]:
    """(case, Cloudflare requests, messages, wall seconds) per round kind and way of running."""
    out = []
    for how in ("one process, 20 names", "one process per name"):
        standin.reset()
        for zone in ZONES:
            standin.add_zone(zone)
        with tempfile.TemporaryDirectory(prefix="nuv-bench-ddns-") as state:
            runner = Runner(standin, state)

            def round_of(address: str) -> float:
                source = ("--ipv4", f"static:{address}", "--ipv6", "none")
                if how.startswith("one process,"):
                    return runner.ddns(*NAMES, *source)
                return sum(runner.ddns(name, *source) for name in NAMES)

            round_of(ADDRESSES[0])  # the first round creates the records and learns the zones
            runner.requests()
            for label, address in (("unchanged round", ADDRESSES[0]), ("every address changed", ADDRESSES[1])):
                wall = round_of(address)
                out.append((f"{label}: {how}", *runner.requests(), wall))
    return out


def latency(standin: StandIn) -> tuple[float, float, float]:
    """(median, p99, max) seconds of `nuv ddns NAME --notify` for an address change, the
    address read from the stand-in's trace page: process start to record written and
    message posted."""
    standin.reset()
    standin.add_zone("bench-a.example")
    with tempfile.TemporaryDirectory(prefix="nuv-bench-ddns-") as state:
        runner = Runner(standin, state)
        name = NAMES[0]
        runner.ddns(name, "--ipv6", "none")
        runner.requests()
        times = []
        for i in range(LATENCY_ROUNDS):
            address = ADDRESSES[i % 2 == 0]
            standin.set_trace_addresses(ipv4=address)
            times.append(runner.ddns(name, "--ipv6", "none"))
            records = standin.records(standin.zones()[0]["id"])
            if [r["content"] for r in records] != [address] or runner.requests()[1] != 1:
                raise RuntimeError("the change did not reach the record and the robot")
    times.sort()
    # p99 by nearest rank: of 100 rounds, the 99th.
    return statistics.median(times), times[math.ceil(len(times) * 0.99) - 1], times[-1]


def section(api: str, token: str, standin: StandIn) -> list[str]:
    measured = rounds(standin)
    median, p99, worst = latency(standin)
    standin.reset()
    lines = [
        "## nuv ddns: many names in one process",
        "",
        f"{len(NAMES)} names in {len(ZONES)} zones ({', '.join(str(c) for c in ZONES.values())} names), IPv4 "
        "only, `--notify`, each round a fresh process as cron runs it, against the stand-in (robot unthrottled). "
        "The zones are known from the first round (remembered in the state file), which is not counted.",
        "",
        "| round | Cloudflare requests | messages | wall (s) |",
        "|---|---:|---:|---:|",
    ]
    lines += [f"| {case} | {count} | {messages} | {wall:.2f} |" for case, count, messages, wall in measured]
    lines += [
        "",
        f"An address change to record and message, end to end (`nuv ddns NAME --notify`, the address read from "
        f"the trace page through the stand-in's proxy, process start to exit), over {LATENCY_ROUNDS} rounds: "
        f"median {median * 1e3:.0f} ms, p99 {p99 * 1e3:.0f} ms, max {worst * 1e3:.0f} ms.",
        "",
    ]
    return lines


if __name__ == "__main__":
    with StandIn.start(cloudflare_rate_limit="off") as running:
        print("\n".join(section("", running.token, running)))
