"""The first call of a fresh process, by where trust comes from.

A cron job pays for its trust store once per run. With no CA variable set,
nuv reads the system's hashed directory, where OpenSSL finds the one issuer a
handshake needs by its subject hash; a CA file is parsed whole. Each row adds
the benchmark's test CA to a copy of the machine's store (never to the store
itself), so nothing is trusted that the machine does not trust.

`section(api, token, standin)` is collected by run.py; run alone
(`python bench/bench_first_call.py`), it starts its own nginx and prints the
section.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import targets

PROCESSES = int(os.environ.get("BENCH_PROCESSES", "20"))


def measure(api: str, token: str, ca: Path, directory: Path, processes: int = PROCESSES) -> dict[str, dict]:
    """Per store: the first call and then a new connection to another host
    name, medians and ranges in seconds over `processes` fresh processes."""
    stores = {"test CA file alone (1 certificate)": {"CURL_CA_BUNDLE": str(ca)}}
    stores.update(targets.system_stores(directory, ca))
    return targets.first_calls(api, token, stores, processes)


def lines(results: dict[str, dict], processes: int) -> list[str]:
    out = [
        "## First call by trust store",
        "",
        f"`get()` timed inside a fresh Python process after `import nuv`, median (min–max) of {processes} processes, "
        "the stores taking turns: the first call (store, TCP and TLS handshake) and then a first connection to "
        "another host name. \"system directory\" is what nuv reads when no variable names a store "
        "(`SSL_CERT_DIR` points at the copy here); \"system bundle\" is `CURL_CA_BUNDLE` naming a copy of the "
        "bundle, parsed whole. Target: the system directory row at most 5 ms.",
        "",
        "| trust store | first call (ms) | then another host (ms) |",
        "|---|---:|---:|",
    ]
    for label, entry in results.items():
        if "error" in entry:
            out.append(f"| {label} | {entry['error']} | |")
            continue
        cells = [f"{m * 1e3:.2f} ({lo * 1e3:.2f}–{hi * 1e3:.2f})" for m, lo, hi in (entry["first"], entry["new_host"])]
        out.append(f"| {label} | {cells[0]} | {cells[1]} |")
    return out + [""]


def section(api: str, token: str, standin: object) -> list[str]:
    """run.py calls this with CURL_CA_BUNDLE naming the CA of `api`'s server."""
    ca = Path(os.environ["CURL_CA_BUNDLE"])
    with targets.scratch_directory() as directory:
        return lines(measure(api, token, ca, directory), PROCESSES)


def main() -> None:
    import run

    run.clean_environment()
    with targets.scratch_directory() as directory:
        ca = run.make_ca_and_leaf(directory, ["127.0.0.1", "localhost", "::1"])
        (directory / "zones.json").write_text('{"success":true,"errors":[],"messages":[],"result":[]}')
        (directory / "stores").mkdir()
        with run.nginx(directory, "0" * 32) as api:
            print("\n".join(lines(measure(api, "bench-token", ca, directory / "stores"), PROCESSES)))


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    main()
