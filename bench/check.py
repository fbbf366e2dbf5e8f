"""`make bench-check`: the targeted measures, run briefly (about a minute),
each beside its target and the figure committed in bench/results.json.

Not part of CI: the machines are shared and noisy, so a figure here is a
reading, not a verdict; `make bench` takes the full measure.
"""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

import run
import targets
from nuv.testing import StandIn

PROCESSES = int(os.environ.get("BENCH_PROCESSES", "10"))
CALLS = int(os.environ.get("BENCH_CALLS", "1000"))


def main() -> None:
    run.clean_environment()
    results = targets.BENCH / "results.json"
    committed = json.loads(results.read_text()) if results.exists() else {}
    with targets.scratch_directory() as directory:
        ca = run.make_ca_and_leaf(directory, ["127.0.0.1", "localhost", "::1"])
        wanted = targets.write_big_listing(directory)
        with StandIn.start(cloudflare_rate_limit="off") as standin:
            zone_id = run.serve_bodies(standin, directory)[0]
            with run.nginx(directory, zone_id) as api:
                all_cpus = os.sched_getaffinity(0)

                def pin(on: bool) -> None:
                    run.place(directory, {min(all_cpus)} if on else all_cpus)

                _, figures = targets.measure_targets(
                    api,
                    standin.token,
                    ca,
                    standin.api_url,
                    standin.token,
                    run.DOMAIN,
                    Path(standin.ca_file),
                    directory,
                    wanted,
                    processes=PROCESSES,
                    calls=CALLS,
                    pin=pin,
                )
    then = committed.get("figures", {})
    print(f"committed figures: {committed.get('commit', 'none')} ({committed.get('date', '-')})")
    print(f"now: {targets.commit_of_tree()}, {PROCESSES} processes, {CALLS} calls")
    print()
    print(f"{'measure':58} {'target':>10} {'committed':>10} {'now':>10}")
    for (what, target, value, verdict), name in zip(targets.evaluate(figures), targets.TARGETS, strict=True):
        old = then.get(name)
        old_text = "-" if old is None else f"{old:.2f}"
        now_text = "-" if value is None else f"{value:.2f}"
        print(f"{what:58} {target:>10} {old_text:>10} {now_text:>10}  {verdict.strip('*')}")


if __name__ == "__main__":
    sys.exit(main())
