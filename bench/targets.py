"""The measures that have a target: cold start, import, the cron-style job,
listing parse and the trace into a pipe. `make bench` (run.py) runs them at
full length and writes them to bench/results.json beside RESULTS.md;
`make bench-check` (check.py) runs them briefly and prints each beside its
target and the committed figure.

Every fresh-process figure comes from rounds in which the compared commands
take turns, so a ratio is taken between runs made at the same moments.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SYSTEM_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
SYSTEM_DIRECTORY = Path("/etc/ssl/certs")
CA_VARIABLES = ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR", "REQUESTS_CA_BUNDLE")

# name -> (target, direction, unit, what): "max" means the figure must not exceed the target.
TARGETS: dict[str, tuple[float, str, str, str]] = {
    "first_call_system_dir_ms": (5.0, "max", "ms", "first call, fresh process, system store (hashed directory)"),
    "import_ms": (6.0, "max", "ms", "`import nuv`"),
    "cron_test_ca_ms": (22.0, "max", "ms", "cron-style job, test CA"),
    "cron_system_ms": (26.0, "max", "ms", "cron-style job, system store"),
    "parse_vs_json_loads": (1.0, "max", "×", "5,000-record listing: nuv's parse / json.loads"),
    "trace_pipe_extra_us": (3.0, "max", "µs", "trace into a pipe, extra per call over /dev/null"),
}


def median_range(values: Sequence[float]) -> tuple[float, float, float]:
    return statistics.median(values), min(values), max(values)


def child_env(**overrides: str) -> dict[str, str]:
    """The environment with no CA variable of its own, then `overrides`."""
    env = {k: v for k, v in os.environ.items() if k not in CA_VARIABLES}
    env.update(overrides)
    return env


# ----- trust stores with the test CA added --------------------------------------


def system_stores(directory: Path, ca: Path) -> dict[str, dict[str, str]]:
    """Copies of the machine's store with `ca` added, so nothing is trusted that
    the machine does not trust: label -> the variables that point at it."""
    stores: dict[str, dict[str, str]] = {}
    if SYSTEM_DIRECTORY.is_dir() and shutil.which("openssl"):
        hashed = directory / "system-certs"
        shutil.copytree(SYSTEM_DIRECTORY, hashed, symlinks=True)
        shutil.copy(ca, hashed / "nuv-bench-test-ca.pem")
        subprocess.run(["openssl", "rehash", str(hashed)], check=True, capture_output=True)
        stores["system directory + test CA"] = {"SSL_CERT_DIR": str(hashed)}
    if SYSTEM_BUNDLE.exists():
        bundle = directory / "system-bundle.pem"
        bundle.write_bytes(SYSTEM_BUNDLE.read_bytes() + ca.read_bytes())
        stores["system bundle + test CA"] = {"CURL_CA_BUNDLE": str(bundle)}
    return stores


# ----- fresh processes -------------------------------------------------------------

FIRST_CALL_CHILD = """
import json, os, sys, time
import nuv
token, first, second = sys.argv[1:4]
start = time.perf_counter()
status, _ = nuv.Cloudflare(api_token=token, api_url=first).get()
first_call = time.perf_counter() - start
start = time.perf_counter()
status2, _ = nuv.Cloudflare(api_token=token, api_url=second).get()
new_host = time.perf_counter() - start
os.write(2, json.dumps([status, status2, first_call, new_host]).encode())
"""


def first_calls(api: str, token: str, stores: dict[str, dict[str, str]], processes: int) -> dict[str, dict]:
    """Per store: (first call, then a new connection to another host name) in
    fresh processes, the stores taking turns. Seconds; a store whose child
    fails has an "error" instead."""
    other = api.replace("127.0.0.1", "localhost")
    samples: dict[str, list[tuple[float, float]]] = {label: [] for label in stores}
    errors: dict[str, str] = {}
    for _ in range(processes):
        for label, variables in stores.items():
            if label in errors:
                continue
            child = subprocess.run(
                [sys.executable, "-c", FIRST_CALL_CHILD, token, api, other],
                env=child_env(NUV_TRACE="off", **variables),
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                text=True,
                timeout=60,
                check=False,
            )
            try:
                status, status2, first, new = json.loads(child.stderr.strip().splitlines()[-1])
            except (ValueError, IndexError):
                errors[label] = "child failed: " + child.stderr.strip()[-200:]
                continue
            if (status, status2) != (200, 200):
                errors[label] = f"answered {status}, {status2}"
                continue
            samples[label].append((first, new))
    results: dict[str, dict] = {}
    for label, pairs in samples.items():
        if label in errors:
            results[label] = {"error": errors[label]}
        else:
            results[label] = {
                "first": median_range([p[0] for p in pairs]),
                "new_host": median_range([p[1] for p in pairs]),
            }
    return results


IMPORT_CHILD = "import time; t = time.perf_counter(); import {module}; print(time.perf_counter() - t)"


def import_times(modules: dict[str, str], processes: int) -> dict[str, tuple[float, float, float]]:
    """`import x` timed inside fresh processes, the modules taking turns; seconds."""
    samples: dict[str, list[float]] = {label: [] for label in modules}
    for _ in range(processes):
        for label, module in modules.items():
            out = subprocess.run(
                [sys.executable, "-c", IMPORT_CHILD.format(module=module)],
                env=child_env(),
                capture_output=True,
                text=True,
                check=True,
            )
            samples[label].append(float(out.stdout))
    return {label: median_range(times) for label, times in samples.items()}


def whole_processes(jobs: dict[str, tuple[list[str], dict[str, str]]], rounds: int, warmup: int = 2) -> dict:
    """Wall time of whole commands, every job once per round in turn. Returns
    per job the median and range, and the per-round samples (for paired
    ratios); a job that fails has an "error" instead and runs no more."""
    samples: dict[str, list[float]] = {label: [] for label in jobs}
    errors: dict[str, str] = {}
    for index in range(warmup + rounds):
        for label, (argv, env) in jobs.items():
            if label in errors:
                continue
            start = time.perf_counter()
            child = subprocess.run(
                argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120, check=False
            )
            elapsed = time.perf_counter() - start
            if child.returncode != 0:
                errors[label] = "failed: " + (child.stderr.strip().splitlines() or ["?"])[-1][-200:]
            elif index >= warmup:
                samples[label].append(elapsed)
    return {
        label: {"error": errors[label]} if label in errors else {"wall": median_range(times), "samples": times}
        for label, times in samples.items()
    }


def paired_ratio(results: dict, label: str, base: str) -> tuple[float, float, float]:
    """Median and range of label/base over the rounds they shared."""
    ratios = [a / b for a, b in zip(results[label]["samples"], results[base]["samples"], strict=True)]
    return median_range(ratios)


# ----- listing parse ------------------------------------------------------------------


def large_listing(zone_name: str, count: int) -> tuple[bytes, dict]:
    """A listing answer of `count` records shaped like the service's; the
    last one is the record the reconciliation is asked for."""
    records = []
    for i in range(count):
        name = f"host{i}.{zone_name}"
        records.append(
            {
                "id": f"{i:032x}",
                "zone_id": "0" * 32,
                "zone_name": zone_name,
                "name": name,
                "type": "A",
                "content": f"198.51.{i // 256 % 256}.{i % 256}",
                "proxiable": True,
                "proxied": False,
                "ttl": 1,
                "settings": {},
                "meta": {"auto_added": False, "managed_by_apps": False, "managed_by_argo_tunnel": False},
                "comment": None,
                "tags": [],
                "created_on": "2026-01-01T00:00:00.000000Z",
                "modified_on": "2026-01-01T00:00:00.000000Z",
            }
        )
    body = {
        "success": True,
        "errors": [],
        "messages": [],
        "result": records,
        "result_info": {"page": 1, "per_page": count, "count": count, "total_count": count, "total_pages": 1},
    }
    return json.dumps(body).encode(), records[-1]


def parse_cost(cf: object, domain: str, wanted: dict, calls: int) -> dict[str, tuple[float, float, float]]:
    """Per call: the reconciliation that finds the record as wanted (one
    listing GET, parsed and planned, no write), the same GET alone, and
    json.loads of the same body. The clients take turns; seconds."""
    args = (domain, "A", wanted["name"], wanted["content"], False, 1)
    body = cf.get(cf_listing_path(cf))[1]  # type: ignore[attr-defined]
    clock = time.perf_counter
    samples: dict[str, list[float]] = {"ensure": [], "get": [], "json.loads": []}
    for _ in range(calls):
        start = clock()
        status = cf.dns_ensured_record(*args)[0]  # type: ignore[attr-defined]
        samples["ensure"].append(clock() - start)
        if int(status) != 200:
            raise RuntimeError(f"reconciliation answered {status}")
        start = clock()
        cf.get(cf_listing_path(cf))  # type: ignore[attr-defined]
        samples["get"].append(clock() - start)
        start = clock()
        json.loads(body)
        samples["json.loads"].append(clock() - start)
    return {label: median_range(times) for label, times in samples.items()}


def cf_listing_path(cf: object) -> str:
    return f"/zones/{cf.zone_id}/dns_records"  # type: ignore[attr-defined]


# ----- the trace into a pipe -------------------------------------------------------------

def trace_costs(api: str, token: str, rounds: int) -> dict[str, dict]:
    """Median seconds per get() by trace target (bench_trace's children),
    the cases taking turns: fd 1 into /dev/null and into a pipe drained by
    another process, "off" and "logging" without a handler."""
    import bench_trace

    labels = ("stdout into /dev/null", "stdout into a pipe", "off", "logging, no handler")
    samples: dict[str, list[float]] = {label: [] for label in labels}
    for _ in range(rounds):
        for label in labels:
            samples[label].append(bench_trace.per_call(api, token, *bench_trace.CASES[label]))
    return {label: {"per_call": median_range(times)} for label, times in samples.items()}


# ----- all of it ---------------------------------------------------------------------------


def evaluate(figures: dict[str, float]) -> list[tuple[str, str, float | None, str]]:
    """(what, target text, figure or None, verdict) for every target."""
    rows = []
    for name, (target, direction, unit, what) in TARGETS.items():
        value = figures.get(name)
        if value is None:
            rows.append((what, f"≤ {target:g} {unit}", None, "not measured"))
            continue
        met = value <= target if direction == "max" else value >= target
        rows.append((what, f"≤ {target:g} {unit}", value, "met" if met else "**not met**"))
    return rows


@contextmanager
def scratch_directory() -> Iterator[Path]:
    directory = Path(tempfile.mkdtemp(prefix="nuv-bench-"))
    directory.chmod(0o755)  # nginx workers run as another user when started by root
    try:
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def commit_of_tree() -> str:
    """The commit the figures describe, with "+changes" when the tree differs."""
    def git(*args: str) -> str:
        return subprocess.run(["git", *args], cwd=BENCH, capture_output=True, text=True, check=False).stdout.strip()

    head = git("rev-parse", "--short=12", "HEAD") or "unknown"
    dirty = git("status", "--porcelain", "--untracked-files=no", "--", "src", "python", "bench")
    return head + ("+changes" if dirty else "")


BIG_ZONE = "big.example"
BIG_ZONE_ID = "b" * 32
BIG_RECORDS = 5000


def write_big_listing(directory: Path) -> dict:
    """Writes the body nginx serves for BIG_ZONE_ID's listing; returns the wanted record."""
    body, wanted = large_listing(BIG_ZONE, BIG_RECORDS)
    (directory / "big_records.json").write_bytes(body)
    return wanted


def measure_targets(
    api: str,
    token: str,
    ca: Path,
    standin_api: str,
    standin_token: str,
    standin_domain: str,
    standin_ca: Path,
    directory: Path,
    wanted: dict,
    *,
    processes: int,
    calls: int,
    pin: Callable[[bool], None],
    peers: bool = False,
) -> tuple[dict, dict[str, float]]:
    """Runs every targeted measure; returns the details (for the report) and
    the figures named as in TARGETS. `pin(True)` puts this process and the
    server on one CPU, `pin(False)` undoes it. With `peers`, the import and
    cron-style rows of requests and the official SDK run in the same rounds."""
    import nuv

    details: dict = {}
    (directory / "nginx-stores").mkdir()
    stores = system_stores(directory / "nginx-stores", ca)
    pin(True)
    details["first_call"] = first_calls(api, token, {"test CA only": {"CURL_CA_BUNDLE": str(ca)}, **stores}, processes)
    os.environ["CURL_CA_BUNDLE"] = str(ca)
    cf = nuv.Cloudflare(api_token=token, api_url=api, rate_limit=0)
    cf.zone, cf.zone_id = BIG_ZONE, BIG_ZONE_ID
    with quiet_trace():
        details["parse"] = parse_cost(cf, BIG_ZONE, wanted, max(10, calls // 100))
    details["trace"] = trace_costs(api, token, rounds=3)
    pin(False)
    modules = {"nuv": "nuv", "requests": "requests", "cloudflare SDK": "cloudflare"} if peers else {"nuv": "nuv"}
    details["import"] = import_times(modules, processes)

    (directory / "standin-stores").mkdir()
    standin_stores = system_stores(directory / "standin-stores", standin_ca)
    cron_env = {
        "BENCH_API_URL": standin_api,
        "BENCH_TOKEN": standin_token,
        "BENCH_DOMAIN": standin_domain,
        "BENCH_RECORD": "cron." + standin_domain,
    }
    test_ca = {"CURL_CA_BUNDLE": str(standin_ca)}
    directory_store = standin_stores.get("system directory + test CA")
    bundle_store = standin_stores.get("system bundle + test CA")
    clients = {"nuv": "cron_nuv.py", "requests": "cron_requests.py", "cloudflare SDK": "cron_sdk.py"}
    jobs: dict[str, tuple[list[str], dict[str, str]]] = {}
    for client, script in clients.items():
        if client != "nuv" and not peers:
            continue
        argv = [sys.executable, str(BENCH / script)]
        jobs[f"{client}, test CA"] = (argv, child_env(**test_ca, **cron_env))
        # nuv reads the hashed directory as it would on a host with no CA
        # variable set; the peers load a bundle (certifi's, on a real host).
        if client == "nuv" and directory_store:
            jobs["nuv, system store"] = (argv, child_env(**directory_store, **cron_env))
        if bundle_store and (peers or client != "nuv"):
            jobs[f"{client}, system bundle"] = (argv, child_env(**bundle_store, **cron_env))
    jobs["bare `python -c pass`"] = ([sys.executable, "-c", "pass"], child_env())
    details["cron"] = whole_processes(jobs, rounds=processes)
    details["cron_jobs"] = jobs

    figures: dict[str, float] = {}
    dir_row = details["first_call"].get("system directory + test CA", {})
    if "first" in dir_row:
        figures["first_call_system_dir_ms"] = dir_row["first"][0] * 1e3
    figures["import_ms"] = details["import"]["nuv"][0] * 1e3
    figures["cron_test_ca_ms"] = details["cron"]["nuv, test CA"]["wall"][0] * 1e3
    if "wall" in details["cron"].get("nuv, system store", {}):
        figures["cron_system_ms"] = details["cron"]["nuv, system store"]["wall"][0] * 1e3
    parse = details["parse"]
    figures["parse_vs_json_loads"] = (parse["ensure"][0] - parse["get"][0]) / parse["json.loads"][0]
    trace = details["trace"]
    figures["trace_pipe_extra_us"] = (
        trace["stdout into a pipe"]["per_call"][0] - trace["stdout into /dev/null"]["per_call"][0]
    ) * 1e6
    return details, figures


@contextmanager
def quiet_stdout() -> Iterator[None]:
    """The default trace goes to file descriptor 1: /dev/null meanwhile (the
    trace is still formatted and written, as a user's would be)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    try:
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


@contextmanager
def quiet_trace() -> Iterator[None]:
    """The trace off for calls made in this process."""
    import nuv

    previous = nuv.get_trace()
    nuv.set_trace("off")
    try:
        yield
    finally:
        nuv.set_trace(previous)


def target_rows(details: dict, figures: dict[str, float]) -> list[str]:
    """The markdown section of the targeted measures."""
    lines = ["| measure | target | measured | |", "|---|---|---:|---|"]
    for what, target, value, verdict in evaluate(figures):
        lines.append(f"| {what} | {target} | {'–' if value is None else f'{value:.2f}'} | {verdict} |")
    return lines
