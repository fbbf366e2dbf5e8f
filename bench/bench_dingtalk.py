"""The cost of one DingTalk send of each message type, against the robot stand-in.

Each send signs a fresh URL, builds its body and posts it through the
stand-in's proxy under the real host name (the connection is kept, as in a
daemon). Wall time is dominated by the stand-in (Python, another process);
the client's own CPU time per send is nuv's share. `make bench` includes this
section (bench/run.py finds every bench_*.py); `python bench/bench_dingtalk.py` prints it alone.
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable

import nuv
from nuv.testing import StandIn

SENDS = int(os.environ.get("BENCH_DINGTALK_SENDS", "300"))
ROUNDS = 3
WARMUP = 10
TOKEN, SECRET = "bench-robot", "SEC" + "ab" * 32
URL = "https://ci.example/build/7"


def _sends(robot: nuv.DingTalk) -> dict[str, Callable[[], object]]:
    return {
        "send_text": lambda: robot.send_text("build 7 passed", ["13800000000"]),
        "send_markdown (2 mentions)": lambda: robot.send_markdown(
            "Build 7", "#### passed\n> all green", ["13800000000"], at_user_ids=["ops"]
        ),
        "send_link": lambda: robot.send_link("Build 7", "passed", URL, URL + ".png"),
        "send_action_card (2 buttons)": lambda: robot.send_action_card(
            "Deploy?", "#### staging green", buttons=[("Deploy", URL), ("Hold", URL)]
        ),
        "send_feed_card (3 links)": lambda: robot.send_feed_card([(f"Build {i}", URL, "") for i in range(3)]),
    }


def measure(standin: StandIn) -> dict[str, tuple[float, float]]:
    """Median wall seconds and mean client CPU seconds per send, by message type."""
    standin.dingtalk_options(rate_limits=False)
    standin.add_robot(TOKEN, SECRET)
    saved = {name: os.environ.get(name) for name in ("https_proxy", "CURL_CA_BUNDLE")}
    os.environ["https_proxy"], os.environ["CURL_CA_BUNDLE"] = standin.proxy_url, standin.ca_file
    # The trace goes to file descriptor 1: point it at /dev/null while timing.
    stdout = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        # The client's limiter off: this sends far more than a robot may.
        sends = _sends(nuv.DingTalk(TOKEN, SECRET, rate_limit=0))
        for send in sends.values():
            for _ in range(WARMUP):
                assert send().ok
        walls: dict[str, list[float]] = {name: [] for name in sends}
        cpus: dict[str, float] = dict.fromkeys(sends, 0.0)
        for _ in range(ROUNDS):
            for name, send in sends.items():
                cpu = time.process_time()
                for _ in range(SENDS // ROUNDS):
                    started = time.perf_counter()
                    send()
                    walls[name].append(time.perf_counter() - started)
                cpus[name] += time.process_time() - cpu
    finally:
        os.dup2(stdout, 1)
        os.close(stdout)
        os.close(null)
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        standin.dingtalk_options(rate_limits=True)  # the stand-in serves other measures too
    return {name: (statistics.median(walls[name]), cpus[name] / len(walls[name])) for name in sends}


def section(api: str, token: str, standin: StandIn) -> list[str]:
    """The report's DingTalk section, as markdown lines (bench/run.py calls every
    bench module's section with the nginx API, its token and the stand-in)."""
    results = measure(standin)
    lines = [
        "",
        f"## DingTalk: one send of each type ({SENDS} sends each, robot stand-in through its proxy)",
        "",
        "Wall: median per send, mostly the stand-in's own time. Client CPU: this process's CPU time "
        "per send (signing, body, TLS on a kept connection, reply).",
        "",
        "| send | wall (median) | client CPU |",
        "|---|---:|---:|",
    ]
    lines += [f"| `{name}` | {wall * 1e6:.0f} µs | {cpu * 1e6:.0f} µs |" for name, (wall, cpu) in results.items()]
    return lines


if __name__ == "__main__":
    with StandIn.start() as running:
        print("\n".join(section("", "", running)))
