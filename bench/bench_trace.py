"""The cost of the trace per call, by target.

One `get()` against the local server writes four trace lines. Each target is
timed in a fresh process (warm connection, 200 calls of warm-up), the targets
taking turns over several rounds; the figure is the median time per call, and
the trace's own cost is that minus the median with the target "off" (which
does no trace work at all). `make bench` includes this section (bench/run.py
finds every bench_*.py); `python bench/bench_trace.py API TOKEN` prints it
alone against a server you name.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys

CALLS = int(os.environ.get("BENCH_TRACE_CALLS", "2000"))
ROUNDS = int(os.environ.get("BENCH_TRACE_ROUNDS", "5"))

CHILD = """
import io, logging, os, statistics, sys, time
import nuv
token, url, target, calls = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
if target == "logging+handler":
    logging.basicConfig(stream=open(os.devnull, "w"), level=logging.DEBUG)
    target = "logging"
elif target == "callable":
    lines = []
    target = lambda line: lines.clear() if len(lines) > 1000 else lines.append(line)
elif target == "object":
    target = io.StringIO()
if target != "stdout":
    nuv.set_trace(target)
get = nuv.Cloudflare(api_token=token, api_url=url, rate_limit=0).get  # more calls than a token may make
for _ in range(200):
    get()
clock = time.perf_counter
times = []
for _ in range(calls):
    start = clock()
    get()
    times.append(clock() - start)
os.write(2, repr(statistics.median(times)).encode())
"""

# label: (target given to set_trace in the child, where file descriptor 1 goes)
CASES: dict[str, tuple[str, str]] = {
    "off": ("off", "null"),
    "stdout into /dev/null": ("stdout", "null"),
    "stdout into a pipe": ("stdout", "pipe"),
    "stderr into /dev/null": ("stderr", "null"),
    "logging, no handler": ("logging", "null"),
    "logging, DEBUG handler": ("logging+handler", "null"),
    "callable (list.append)": ("callable", "null"),
    "object (io.StringIO.write)": ("object", "null"),
}


def per_call(api: str, token: str, target: str, stdout: str) -> float:
    """Median seconds per get() in a child process tracing to `target`."""
    argv = [sys.executable, "-c", CHILD, token, api, target, str(CALLS)]
    env = dict(os.environ)
    if stdout == "pipe":
        # Drained by another process as cron, systemd or `| tee` would.
        reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        child = subprocess.run(argv, env=env, stdout=reader.stdin, stderr=subprocess.PIPE, check=False)
        reader.stdin.close()  # type: ignore[union-attr]
        reader.wait()
    else:
        child = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    if child.returncode != 0:
        raise RuntimeError(f"trace child failed: {child.stderr.decode()[-500:]}")
    return float(child.stderr.decode().strip().splitlines()[-1])


def measure(api: str, token: str) -> dict[str, list[float]]:
    """Seconds per call, one median per round, by case."""
    samples: dict[str, list[float]] = {label: [] for label in CASES}
    for _ in range(ROUNDS):
        for label, (target, stdout) in CASES.items():
            samples[label].append(per_call(api, token, target, stdout))
    return samples


def lines(samples: dict[str, list[float]]) -> list[str]:
    off = statistics.median(samples["off"])
    out = [
        "## The trace per call, by target",
        "",
        f"A `get()` (four trace lines) against the local server; median µs per call over {ROUNDS} "
        f"processes of {CALLS} calls, targets taking turns. \"Trace cost\" is the figure minus \"off\".",
        "",
        "| target | µs per call (median, range) | trace cost µs |",
        "|---|---|---|",
    ]
    for label, times in samples.items():
        median = statistics.median(times)
        cost = "—" if label == "off" else f"{(median - off) * 1e6:+.1f}"
        out.append(f"| {label} | {median * 1e6:.1f} ({min(times) * 1e6:.1f}–{max(times) * 1e6:.1f}) | {cost} |")
    pipe = statistics.median(samples["stdout into a pipe"]) - statistics.median(samples["stdout into /dev/null"])
    out += ["", f"Into a pipe rather than /dev/null: {pipe * 1e6:+.1f} µs per call (target: under 3 µs).", ""]
    return out


def section(api: str, token: str, standin: object) -> list[str]:
    return lines(measure(api, token))


if __name__ == "__main__":
    print("\n".join(section(sys.argv[1], sys.argv[2], None)))
