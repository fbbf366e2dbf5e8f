"""Speed of nuv against the HTTP clients people use today; `make bench` runs it.

Everything runs on loopback: nginx (HTTPS, HTTP/1.1, keep-alive) serving
static Cloudflare-shaped JSON for the per-call loops, and the project's
stand-in (nuv.testing) for the cron-style jobs, which write records. Prints a
markdown report and writes it to bench/RESULTS.md.

Environment knobs: BENCH_CALLS (timed calls per client, default 2000),
BENCH_PROCESSES (runs per fresh-process measurement, default 20).
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import datetime
import functools
import http.client
import importlib.metadata
import io
import ipaddress
import json
import os
import platform
import resource
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import targets
from nuv.testing import StandIn

BENCH = Path(__file__).resolve().parent
CALLS = int(os.environ.get("BENCH_CALLS", "2000"))
PROCESSES = int(os.environ.get("BENCH_PROCESSES", "20"))
ROUNDS = 4  # each client's calls are split into rounds, interleaved with the others
REPEATS = 3  # the whole interleaved loop, for a median and a range
WARMUP = 20
THREADS, CALLS_PER_THREAD, THREAD_REPEATS = 8, 200, 5
SLOW_ANSWER = 0.005  # seconds the stand-in waits before answering in the latency-bound case
SYSTEM_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
ZONES_QUERY = "?page=1&per_page=20&order=status&direction=desc&match=all"  # what nuv's get() sends
DOMAIN = "example.com"
NUV_GET = "nuv `get()` (zone listing)"
NUV_GET_PARSED = "nuv `get()` + json.loads (zone listing)"
SDK_PARSED = "cloudflare SDK zones.list"
SDK_RAW = "cloudflare SDK zones.list, raw response (not parsed into models)"
FLOOR_ZONES = "raw libcurl in C, reused handle (zone listing)"
FLOOR_RECORDS = "raw libcurl in C, reused handle (DNS listing)"



# ----- set-up: certificates, bodies, servers ---------------------------------


def key_usage(ca: bool) -> x509.KeyUsage:
    # Python 3.13's default context verifies strictly (VERIFY_X509_STRICT) and wants these.
    return x509.KeyUsage(
        digital_signature=True,
        content_commitment=False,
        key_encipherment=False,
        data_encipherment=False,
        key_agreement=False,
        key_cert_sign=ca,
        crl_sign=ca,
        encipher_only=False,
        decipher_only=False,
    )


def make_ca_and_leaf(directory: Path, hosts: list[str]) -> Path:
    """Writes ca.pem, server.pem and server.key (EC P-256); returns ca.pem."""
    now = datetime.datetime.now(datetime.UTC)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "nuv bench test CA")])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=7))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(key_usage(ca=True), critical=True)
        .add_extension(ca_ski, critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key = ec.generate_private_key(ec.SECP256R1())
    names: list[x509.GeneralName] = []
    for host in hosts:
        try:
            names.append(x509.IPAddress(ipaddress.ip_address(host)))
        except ValueError:
            names.append(x509.DNSName(host))
    leaf = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, hosts[0])]))
        .issuer_name(ca_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=7))
        .add_extension(x509.SubjectAlternativeName(names), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(key_usage(ca=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    (directory / "ca.pem").write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    (directory / "server.pem").write_bytes(leaf.public_bytes(serialization.Encoding.PEM))
    (directory / "server.key").write_bytes(
        key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    )
    return directory / "ca.pem"


def standin_get(standin: StandIn, path: str) -> bytes:
    """A body exactly as the stand-in answers it (so the official SDK's models accept it)."""
    host, port = "127.0.0.1", standin.https_port
    context = ssl.create_default_context(cafile=standin.ca_file)
    connection = http.client.HTTPSConnection(host, port, context=context, timeout=10)
    try:
        connection.request("GET", "/client/v4" + path, headers={"Authorization": "Bearer " + standin.token})
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    if response.status != 200:
        raise RuntimeError(f"stand-in answered {response.status} to {path}: {body[:200]!r}")
    return body


def seed(standin: StandIn) -> str:
    """An account of three zones; the first, DOMAIN, holds eight records. Returns its id."""
    zone_id = standin.add_zone(DOMAIN)["id"]
    standin.add_zone("example.net")
    standin.add_zone("example.org")
    for i in range(5):
        standin.add_record(
            zone_id, type="A", name=f"host{i}.{DOMAIN}", content=f"192.0.2.{i + 1}", proxied=i % 2 == 0, ttl=1
        )
    standin.add_record(zone_id, type="AAAA", name=f"www.{DOMAIN}", content="2001:db8::1", proxied=True, ttl=1)
    standin.add_record(zone_id, type="MX", name=DOMAIN, content=f"mail.{DOMAIN}", priority=10, ttl=3600)
    standin.add_record(zone_id, type="TXT", name=DOMAIN, content="v=spf1 -all", ttl=3600)
    return zone_id


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ipv6_loopback_works() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@contextlib.contextmanager
def nginx(directory: Path, zone_id: str) -> Iterator[str]:
    """Starts nginx on a free loopback port; yields its base API URL on 127.0.0.1."""
    port = free_port()
    listen6 = f"listen [::1]:{port} ssl;" if ipv6_loopback_works() else ""
    conf = (BENCH / "nginx.conf.in").read_text()
    names = {
        "DIR": str(directory),
        "PORT": str(port),
        "ZONE_ID": zone_id,
        "BIG_ZONE_ID": targets.BIG_ZONE_ID,
        "LISTEN_IPV6": listen6,
    }
    for key, value in names.items():
        conf = conf.replace(f"@{key}@", value)
    (directory / "nginx.conf").write_text(conf)
    process = subprocess.Popen(
        ["nginx", "-p", str(directory), "-c", str(directory / "nginx.conf")], stdin=subprocess.DEVNULL
    )
    try:
        deadline = time.monotonic() + 10
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
                break
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("nginx did not start: " + (directory / "error.log").read_text(errors="replace"))
            time.sleep(0.05)
        yield f"https://127.0.0.1:{port}/client/v4"
    finally:
        process.terminate()  # SIGTERM: fast shutdown of master and workers
        process.wait(10)


def compile_floor(directory: Path) -> Path:
    binary = directory / "floor"
    subprocess.run(["cc", "-O2", "-o", str(binary), str(BENCH / "floor.c"), "-lcurl"], check=True)
    return binary


# ----- per-call loops --------------------------------------------------------


def per_call_clients(api: str, ca: Path, token: str, zone_id: str) -> tuple[dict[str, Callable[[], object]], list[str]]:
    """Label -> one call; every call is checked once here before timing."""
    import cloudflare
    import httpx
    import requests

    import nuv

    zones_url = api + "/zones" + ZONES_QUERY
    auth = {"Authorization": "Bearer " + token}
    notes: list[str] = []

    # The client's rate limiter off: the measures send far more than a token
    # may (its cost is in the resilience section).
    cf = nuv.Cloudflare(api_token=token, api_url=api, rate_limit=0)
    cf_records = nuv.Cloudflare(api_token=token, api_url=api, rate_limit=0)
    cf_records.zone, cf_records.zone_id = DOMAIN, zone_id
    session = requests.Session()
    session.headers.update(auth)
    session.verify = str(ca)
    httpx_client = httpx.Client(headers=auth, verify=ssl.create_default_context(cafile=ca))
    sdk = cloudflare.Cloudflare(
        api_token=token,
        base_url=api,
        max_retries=0,
        timeout=10,
        http_client=httpx.Client(verify=ssl.create_default_context(cafile=ca)),
    )

    def checked(status: object, body: object) -> None:
        if int(status) != 200 or not body:  # type: ignore[call-overload]
            raise RuntimeError(f"bad answer: {status} {str(body)[:200]}")

    clients: dict[str, Callable[[], object]] = {
        NUV_GET: cf.get,
        "nuv `dns_get_records()`": cf_records.dns_get_records,
        "requests.get (zone listing)": lambda: requests.get(zones_url, headers=auth, verify=str(ca), timeout=10),
        "requests.Session (zone listing)": lambda: session.get(zones_url, timeout=10),
        "httpx.Client (zone listing)": lambda: httpx_client.get(zones_url),
        SDK_PARSED: lambda: sdk.zones.list(
            page=1, per_page=20, order="status", direction="desc", match="all"
        ),
        "cloudflare SDK dns.records.list": lambda: sdk.dns.records.list(zone_id=zone_id),
        # The SDK parses every answer into models; these two rows compare like with like.
        NUV_GET_PARSED: lambda: json.loads(cf.get()[1]),
        SDK_RAW: lambda: sdk.zones.with_raw_response.list(
            page=1, per_page=20, order="status", direction="desc", match="all"
        ).http_response,
    }
    try:
        import pycurl

        handle = pycurl.Curl()
        handle.setopt(pycurl.URL, zones_url)
        handle.setopt(pycurl.CAINFO, str(ca))
        handle.setopt(pycurl.HTTPHEADER, ["Content-Type: application/json", "Authorization: Bearer " + token])
        handle.setopt(pycurl.TIMEOUT, 10)

        def pycurl_get() -> tuple[int, bytes]:
            buffer = io.BytesIO()
            handle.setopt(pycurl.WRITEDATA, buffer)
            handle.perform()
            return handle.getinfo(pycurl.RESPONSE_CODE), buffer.getvalue()

        clients["pycurl, reused handle (zone listing)"] = pycurl_get
    except ImportError:
        notes.append("pycurl is not installed (it did not build): its row is skipped.")

    with targets.quiet_stdout():
        for label, call in clients.items():
            answer = call()
            if isinstance(answer, tuple):
                checked(*answer)
            elif isinstance(answer, dict):
                checked(200 if answer.get("success") else 0, answer.get("result"))
            elif hasattr(answer, "status_code"):
                checked(answer.status_code, answer.content)  # type: ignore[attr-defined]
            elif not getattr(answer, "result", None):
                raise RuntimeError(f"{label}: empty answer {answer!r}")
    return clients, notes


def time_calls(clients: dict[str, Callable[[], object]]) -> dict[str, float]:
    """Median seconds per call; the clients take turns, CALLS // ROUNDS calls at a time."""
    samples: dict[str, list[float]] = {label: [] for label in clients}
    clock = time.perf_counter
    with targets.quiet_stdout():
        for call in clients.values():
            for _ in range(WARMUP):
                call()
        for _ in range(ROUNDS):
            for label, call in clients.items():
                times = samples[label]
                for _ in range(CALLS // ROUNDS):
                    start = clock()
                    call()
                    times.append(clock() - start)
    return {label: statistics.median(times) for label, times in samples.items()}


def repeated_calls(clients: dict[str, Callable[[], object]]) -> dict[str, tuple[float, float, float]]:
    """time_calls REPEATS times: the median of the medians, and their range."""
    runs = [time_calls(clients) for _ in range(REPEATS)]
    return {label: targets.median_range([run[label] for run in runs]) for label in clients}


def time_floor(binary: Path, url: str, ca: Path, token: str) -> float:
    out = subprocess.run([str(binary), url, str(ca), token, str(CALLS)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


# ----- where processes run ----------------------------------------------------
# On this kind of 2-vCPU VM, waking a process on the other, idle vCPU costs
# tens of microseconds, so a loopback round trip takes about 25 us when client
# and nginx share a CPU and 80-100 us when they do not, and the scheduler picks
# either. The per-call loops and the fresh processes therefore run with the
# client and nginx on one CPU: what they measure is work, not the placement.


def nginx_pids(directory: Path) -> list[int]:
    master = int((directory / "nginx.pid").read_text())
    children = Path(f"/proc/{master}/task/{master}/children").read_text().split()
    return [master, *map(int, children)]


def place(directory: Path, cpus: set[int]) -> None:
    """Runs this (single-threaded) process, its future children and nginx on `cpus`."""
    os.sched_setaffinity(0, cpus)
    for pid in nginx_pids(directory):
        os.sched_setaffinity(pid, cpus)


def cpu_seconds(pids: list[int]) -> float:
    """CPU time used so far by the processes `pids` (schedstat: nanoseconds, not ticks)."""
    total = 0
    for pid in pids:
        with contextlib.suppress(OSError):
            total += int(Path(f"/proc/{pid}/schedstat").read_text().split()[0])
    return total / 1e9


# ----- threads ---------------------------------------------------------------


Rate = tuple[float, float, float]  # calls per second, cores busy in the client, in the server
Case = tuple[Callable[[int, int], Rate], int, int]  # run(workers, calls each), calls of 1 worker, of each of many


def busy(work: Callable[[], object], server_pids: list[int], children: bool = False) -> tuple[float, float, float]:
    """Runs `work`; returns its wall time and the cores busy meanwhile in this
    process (or in its children) and in the server."""
    who = resource.RUSAGE_CHILDREN if children else resource.RUSAGE_SELF
    usage, server = resource.getrusage(who), cpu_seconds(server_pids)
    start = time.perf_counter()
    work()
    elapsed = time.perf_counter() - start
    usage_after, server_after = resource.getrusage(who), cpu_seconds(server_pids)
    client = usage_after.ru_utime + usage_after.ru_stime - usage.ru_utime - usage.ru_stime
    return elapsed, client / elapsed, (server_after - server) / elapsed


def thread_rate(
    make_call: Callable[[], Callable[[], object]], server_pids: list[int], threads: int, calls: int
) -> Rate:
    """`threads` threads each making `calls` calls with its own `make_call()`."""
    barrier = threading.Barrier(threads + 1)
    failures: list[object] = []

    def worker() -> None:
        call = make_call()
        barrier.wait()
        for _ in range(calls):
            status = call()
            if status != 200:
                failures.append(status)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()

    def run() -> None:
        barrier.wait()
        for w in workers:
            w.join()

    elapsed, client, server = busy(run, server_pids)
    if failures:
        raise RuntimeError(f"thread benchmark: {failures[0]}")
    return threads * calls / elapsed, client, server


def floor_rate(
    binary: Path, url: str, ca: Path, token: str, server_pids: list[int], processes: int, calls: int
) -> Rate:
    """`processes` copies of the C floor at once, each making `calls` calls."""

    def run() -> None:
        children = [
            subprocess.Popen([str(binary), url, str(ca), token, str(calls)], stdout=subprocess.DEVNULL)
            for _ in range(processes)
        ]
        if any(child.wait() != 0 for child in children):
            raise RuntimeError("the C floor failed")

    elapsed, client, server = busy(run, server_pids, children=True)
    return processes * calls / elapsed, client, server


def thread_scaling(cases: dict[str, Case]) -> dict[str, dict[str, object]]:
    """Per case: 1 worker against THREADS workers, alternating, THREAD_REPEATS times."""
    results: dict[str, dict[str, object]] = {}
    with targets.quiet_stdout():
        for label, (run, single_calls, calls_each) in cases.items():
            run(1, 20)  # warm-up
            one, many = [], []
            for _ in range(THREAD_REPEATS):
                one.append(run(1, single_calls))
                many.append(run(THREADS, calls_each))
            results[label] = {
                "one": statistics.median(r[0] for r in one),
                "one_range": (min(r[0] for r in one), max(r[0] for r in one)),
                "many": statistics.median(r[0] for r in many),
                "one_cores": (statistics.median(r[1] for r in one), statistics.median(r[2] for r in one)),
                "many_cores": (statistics.median(r[1] for r in many), statistics.median(r[2] for r in many)),
            }
    return results


def thread_cases(api: str, ca: Path, token: str, directory: Path, standin: StandIn, floor: Path) -> dict[str, Case]:
    import nuv

    def nuv_get() -> Callable[[], object]:
        get = nuv.Cloudflare(api_token=token, api_url=api, rate_limit=0).get
        return lambda: get()[0]

    def nuv_slow() -> Callable[[], object]:
        get = nuv.Cloudflare(api_token=token, api_url=f"https://127.0.0.1:{standin.https_port}", rate_limit=0).get
        return lambda: get(f"/_test/slow?seconds={SLOW_ANSWER}")[0]

    pids = nginx_pids(directory)
    total = THREADS * CALLS_PER_THREAD
    cases: dict[str, Case] = {
        f"nginx, sharing the {os.cpu_count()} cores: nuv `get()`": (
            functools.partial(thread_rate, nuv_get, pids),
            total,
            CALLS_PER_THREAD,
        )
    }
    with contextlib.suppress(ImportError):
        import pycurl

        def pycurl_get() -> Callable[[], object]:
            handle = pycurl.Curl()
            handle.setopt(pycurl.URL, api + "/zones" + ZONES_QUERY)
            handle.setopt(pycurl.CAINFO, str(ca))
            handle.setopt(pycurl.HTTPHEADER, ["Authorization: Bearer " + token])
            handle.setopt(pycurl.WRITEFUNCTION, len)

            def call() -> int:
                handle.perform()
                return handle.getinfo(pycurl.RESPONSE_CODE)

            return call

        cases["nginx, the same: pycurl, one handle per thread"] = (
            functools.partial(thread_rate, pycurl_get, pids),
            total,
            CALLS_PER_THREAD,
        )
    # Ten times the calls: each process also starts up and shakes hands.
    url = api + "/zones" + ZONES_QUERY
    cases["nginx, the same: raw libcurl in C, processes instead of threads"] = (
        functools.partial(floor_rate, floor, url, ca, token, pids),
        10 * total,
        10 * CALLS_PER_THREAD,
    )
    # Like a remote API: each answer waits, the client's CPU is mostly idle.
    cases[f"stand-in answering after {SLOW_ANSWER * 1e3:.0f} ms: nuv `get()`"] = (
        functools.partial(thread_rate, nuv_slow, []),
        CALLS_PER_THREAD,
        CALLS_PER_THREAD,
    )
    return cases


# ----- report ----------------------------------------------------------------


def versions() -> list[tuple[str, str]]:
    curl = ctypes.CDLL(ctypes.util.find_library("curl"))
    curl.curl_version.restype = ctypes.c_char_p
    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        platform.processor(),
    )
    nginx_version = subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip().split("/", 1)[-1]
    hyperfine = shutil.which("hyperfine")
    rows = [
        ("date (UTC)", datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M")),
        ("CPU", f"{cpu}, {os.cpu_count()} cores"),
        ("memory", f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB"),
        ("kernel", f"{platform.system()} {platform.release()}"),
        ("load average at start (1, 5, 15 min)", ", ".join(f"{x:.2f}" for x in os.getloadavg())),
        ("Python", platform.python_version()),
        (
            "libcurl (as loaded)",
            curl.curl_version().decode().split()[0] + " " + curl.curl_version().decode().split()[1],
        ),
        ("OpenSSL (Python's ssl)", ssl.OPENSSL_VERSION),
        ("nginx", nginx_version),
        ("cc", subprocess.run(["cc", "--version"], capture_output=True, text=True).stdout.splitlines()[0]),
        (
            "hyperfine",
            subprocess.run([hyperfine, "--version"], capture_output=True, text=True).stdout.strip()
            if hyperfine
            else "not installed",
        ),
    ]
    for package in ("nuv", "requests", "urllib3", "httpx", "httpcore", "pycurl", "cloudflare", "pydantic"):
        try:
            rows.append((package, importlib.metadata.version(package)))
        except importlib.metadata.PackageNotFoundError:
            rows.append((package, "not installed"))
    return rows


def row(*cells: object) -> str:
    return "| " + " | ".join(map(str, cells)) + " |"


def verdict(met: bool) -> str:
    return "met" if met else "**not met**"


def tls_stacks() -> list[tuple[str, str]]:
    """Which libcurl and OpenSSL each client uses: pycurl's wheel bundles its own."""
    curl = ctypes.CDLL(ctypes.util.find_library("curl"))
    curl.curl_version.restype = ctypes.c_char_p
    system_curl = " ".join(curl.curl_version().decode().split()[:2])
    python_ssl = f"no libcurl; Python's ssl: {ssl.OPENSSL_VERSION}"
    rows = [
        ("nuv", f"{system_curl} (the system's, linked)"),
        ("raw libcurl in C", f"{system_curl} (the system's)"),
    ]
    try:
        import pycurl

        rows.append(("pycurl", " ".join(pycurl.version.split()[:2]) + " (bundled in its wheel)"))
    except ImportError:
        rows.append(("pycurl", "not installed"))
    rows += [("requests, httpx, the official SDK (httpx)", python_ssl)]
    return rows


PEAK_RSS = """
import atexit, os, runpy, sys
def report():
    with open("/proc/self/status") as status:
        peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
    os.write(2, ("\\n" + peak + "\\n").encode())
atexit.register(report)
if len(sys.argv) > 1:
    sys.argv = sys.argv[1:]
    runpy.run_path(sys.argv[0], run_name="__main__")
"""


def peak_rss(jobs: dict[str, tuple[list[str], dict[str, str]]], runs: int = 5) -> dict[str, float]:
    """Median peak resident memory (KiB) of each job, reported by the child
    itself: ru_maxrss of a child also counts the parent it was forked from."""
    peaks: dict[str, float] = {}
    for label, (argv, env) in jobs.items():
        script = argv[1:] if argv[1:2] != ["-c"] else []
        values = []
        for _ in range(runs):
            child = subprocess.run(
                [sys.executable, "-c", PEAK_RSS, *script], env=env, capture_output=True, text=True, check=True
            )
            values.append(int(child.stderr.split()[-1]))
        peaks[label] = statistics.median(values)
    return peaks


def ms(value: tuple[float, float, float] | float, digits: int = 1) -> str:
    if isinstance(value, tuple):
        median, low, high = value
        return f"{median * 1e3:.{digits}f} ms ({low * 1e3:.{digits}f}–{high * 1e3:.{digits}f})"
    return f"{value * 1e3:.{digits}f} ms"


def us(value: tuple[float, float, float]) -> str:
    median, low, high = value
    return f"{median * 1e6:.1f} µs ({low * 1e6:.1f}–{high * 1e6:.1f})"


def report(ctx: dict) -> str:
    per_call: dict[str, tuple[float, float, float]] = ctx["per_call"]
    fastest = min(v[0] for v in per_call.values())
    lines = [
        "# nuv benchmark results",
        "",
        f"Written by `make bench` (bench/run.py) at commit `{ctx['commit']}`; the figures are from the run below "
        "and are also in bench/results.json, which `make bench-check` compares a short run against.",
        "",
    ]
    lines += ["## Machine and versions", "", "| | |", "|---|---|"]
    lines += [f"| {k} | {v} |" for k, v in ctx["versions"]]
    lines += ["", "Which libcurl and TLS library each client runs on:", "", "| client | TLS stack |", "|---|---|"]
    lines += [row(*r) for r in ctx["tls"]]

    lines += ["", f"## Per call: nginx on 127.0.0.1, HTTPS, HTTP/1.1 keep-alive ({CALLS} timed calls each)", ""]
    lines += [
        f"Median wall time of one call after warm-up; the clients take turns in rounds, and the whole loop runs "
        f"{REPEATS} times (median of its medians, range in brackets). "
        "Zone listing: `GET /client/v4/zones" + ZONES_QUERY + "` "
        f"({ctx['sizes']['zones']} bytes); DNS listing: `GET /client/v4/zones/<id>/dns_records` "
        f"({ctx['sizes']['records']} bytes). Certificate verification on everywhere, against a one-certificate "
        "CA file. Client and nginx run on one CPU (see below). The official SDK parses every answer into models: "
        "compare it with nuv + `json.loads`, and its raw response with nuv alone.",
        "",
    ]
    lines += ["| client | median per call (range) | × fastest |", "|---|---:|---:|"]
    for label, value in sorted(per_call.items(), key=lambda item: item[1][0]):
        lines.append(f"| {label} | {us(value)} | {value[0] / fastest:.2f} |")
    lines += [f"- {note}" for note in ctx["notes"]]
    lines += [
        "",
        "Left to the scheduler (not pinned), the same loops in the same run:",
        "",
        "| client | median per call (range) |",
        "|---|---:|",
    ]
    lines += [f"| {label} | {us(value)} |" for label, value in ctx["unpinned"].items()]
    lines += [
        "",
        "On this 2-vCPU VM a loopback round trip costs about 25 µs when client and nginx share a CPU and "
        "80–100 µs when the other, idle vCPU has to be woken; the scheduler picks either, and may change its mind "
        "between runs. Pinning both to one CPU makes the per-call figures measure work, not placement.",
    ]

    details = ctx["targets"]
    lines += ["", f"## Fresh process (median of {PROCESSES} processes, range in brackets)", ""]
    lines += [
        "`get()` timed inside a new Python process after `import nuv`: the first call (trust store, TCP, TLS "
        "handshake), then a new object on `localhost` (a new connection to another host name; the certificate "
        "names both). The stores take turns. The system rows add the test CA to a copy of the machine's store, so "
        "nothing is trusted that the machine does not trust: the hashed directory (`SSL_CERT_DIR`, what nuv reads "
        "when no CA variable is set) and the bundle file (`CURL_CA_BUNDLE`). Client and nginx on one CPU.",
        "",
    ]
    lines += ["| trust store | first call | then another host |", "|---|---:|---:|"]
    for label, entry in details["first_call"].items():
        if "error" in entry:
            lines.append(row(label, entry["error"], "–"))
        else:
            lines.append(row(label, ms(entry["first"], 2), ms(entry["new_host"], 2)))

    cron = details["cron"]
    base = "nuv, test CA"
    lines += ["", "## Cron-style job against the stand-in (nuv.testing)", ""]
    lines += [
        f"One process: start Python, import, look the zone up, ensure one A record (present after the first run: "
        f"two GETs). Whole-process wall time over {PROCESSES} rounds in which every job runs once, in turn; "
        "× nuv is the median of the per-round ratios, so it compares runs made at the same moments. Peak resident "
        "memory: VmHWM reported by the child at exit, median of 5. Scripts: bench/cron_*.py.",
        "",
    ]
    lines += ["| job | whole process (range) | × nuv, test CA (range) | peak RSS |", "|---|---:|---:|---:|"]
    for label, entry in cron.items():
        if "error" in entry:
            lines.append(row(label, entry["error"], "–", "–"))
            continue
        ratio = targets.paired_ratio(cron, label, base)
        rss = ctx["rss"].get(label)
        rss_text = f"{rss / 1024:.1f} MiB" if rss else "–"
        lines.append(row(label, ms(entry["wall"]), f"{ratio[0]:.2f} ({ratio[1]:.2f}–{ratio[2]:.2f})", rss_text))
    lines += ["", "Import alone (`import x` timed inside a fresh process; the modules take turns):", ""]
    lines += ["| module | import (range) |", "|---|---:|"]
    lines += [row(label, ms(value)) for label, value in details["import"].items()]

    parse = details["parse"]
    lines += ["", f"## A {targets.BIG_RECORDS:,}-record listing", ""]
    lines += [
        "`dns_ensured_record` for a record that is already as wanted (one listing GET of "
        f"{ctx['sizes']['big']:,} bytes, parsed and planned, no write) against `get()` of the same listing and "
        "Python's `json.loads` of the same text; the three take turns. nuv's parse and plan = ensure − get.",
        "",
        "| | per call (range) |",
        "|---|---:|",
        row("`dns_ensured_record` (GET + parse + plan)", ms(parse["ensure"], 2)),
        row("`get()` of the same listing", ms(parse["get"], 2)),
        row("nuv's parse and plan (difference of medians)", f"{(parse['ensure'][0] - parse['get'][0]) * 1e3:.2f} ms"),
        row("`json.loads` of the same text", ms(parse["json.loads"], 2)),
    ]

    lines += ["", "## The trace", ""]
    lines += [
        "`get()` per call in a child process, by trace target: the default (file descriptor 1) into /dev/null and "
        "into a pipe drained by another process (as under cron, systemd or `| tee`), and the targets \"off\" and "
        "\"logging\" (a logger without handlers). Rounds take turns; client and nginx on one CPU.",
        "",
        "| trace | per call (range) |",
        "|---|---:|",
    ]
    lines += [row(label, us(entry["per_call"])) for label, entry in details["trace"].items()]

    for section in ctx["extra_sections"]:
        lines += ["", *section]

    threads = ctx["threads"]
    lines += [
        "",
        f"## Threads: {THREADS} threads × {CALLS_PER_THREAD} calls, each thread on its own object, against 1 thread",
        "",
    ]
    lines += [
        f"Not pinned. Medians of {THREAD_REPEATS} alternating runs; cores busy = CPU time / wall time of this "
        "process + of nginx. The C row runs processes, so neither the interpreter lock nor nuv takes part: it shows "
        "what this machine allows with nginx on the same cores. The stand-in row waits like a remote API, so the "
        "client's CPU is not the limit.",
        "",
    ]
    lines += [
        row("server: client", "1 thread, calls/s (range)", "8 threads, calls/s", "× 1 thread", "cores busy, 1", "8"),
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, r in threads.items():
        low, high = r["one_range"]
        busy_cells = [
            f"{client:.2f} + {server:.2f}" if "nginx" in label else f"{client:.2f}"
            for client, server in (r["one_cores"], r["many_cores"])
        ]
        one = f"{r['one']:.0f} ({low:.0f}–{high:.0f})"
        lines.append(row(label, one, f"{r['many']:.0f}", f"{r['many'] / r['one']:.2f}", *busy_cells))

    lines += ["", "## Targets", ""]
    lines += targets.target_rows(details, ctx["figures"])
    get, floor = per_call[NUV_GET][0], per_call[FLOOR_ZONES][0]
    session = per_call["requests.Session (zone listing)"][0]
    sdk_raw, sdk_parsed, nuv_parsed = per_call[SDK_RAW][0], per_call[SDK_PARSED][0], per_call[NUV_GET_PARSED][0]
    lines += [
        "",
        "Standing figures, no target of their own:",
        "",
        "| measure | figure |",
        "|---|---|",
        row("repeated `get()` against the raw libcurl floor", f"{get / floor:.2f} × ({get * 1e6:.0f} vs {floor * 1e6:.0f} µs)"),
        row("requests.Session against `get()`", f"{session / get:.1f} × slower"),
        row("the official SDK, raw response, against `get()`", f"{sdk_raw / get:.1f} × slower"),
        row("the official SDK, parsed, against `get()` + json.loads", f"{sdk_parsed / nuv_parsed:.1f} × slower"),
    ]
    return "\n".join(lines) + "\n"


def clean_environment() -> None:
    """Drops variables that would send a client elsewhere or make it trust another CA
    (requests, for one, lets REQUESTS_CA_BUNDLE override a session's own `verify`)."""
    for name in list(os.environ):
        if name.lower().endswith("_proxy") or name in (
            "REQUESTS_CA_BUNDLE",
            "SSL_CERT_FILE",
            "SSL_CERT_DIR",
            "CURL_CA_BUNDLE",
        ):
            del os.environ[name]


def serve_bodies(standin: StandIn, directory: Path) -> tuple[str, dict[str, int]]:
    """Seeds the stand-in and writes the bodies nginx serves; returns the zone
    id and the bodies' sizes."""
    zone_id = seed(standin)
    zones_body = standin_get(standin, "/zones" + ZONES_QUERY)
    records_body = standin_get(standin, f"/zones/{zone_id}/dns_records")
    (directory / "zones.json").write_bytes(zones_body)
    (directory / "dns_records.json").write_bytes(records_body)
    sizes = {"zones": len(zones_body), "records": len(records_body)}
    big = directory / "big_records.json"
    if big.exists():
        sizes["big"] = big.stat().st_size
    return zone_id, sizes


def extra_sections(api: str, token: str, standin: StandIn) -> list[list[str]]:
    """Sections measured by the bench modules of each subsystem (bench/bench_*.py):
    each module's `section(api, token, standin)` returns markdown lines."""
    sections = []
    for module_file in sorted(BENCH.glob("bench_*.py")):
        module = importlib.import_module(module_file.stem)
        print(f"{module_file.stem} ...", file=sys.stderr)
        sections.append(module.section(api, token, standin))
    return sections


def main() -> None:
    clean_environment()
    with targets.scratch_directory() as directory:
        ca = make_ca_and_leaf(directory, ["127.0.0.1", "localhost", "::1"])
        wanted = targets.write_big_listing(directory)
        floor = compile_floor(directory)
        ctx: dict = {"versions": versions(), "tls": tls_stacks(), "commit": targets.commit_of_tree()}
        # Thousands of requests of one token: the service's rate limit would stop them.
        with StandIn.start(cloudflare_rate_limit="off") as standin:
            zone_id, ctx["sizes"] = serve_bodies(standin, directory)
            token = standin.token
            with nginx(directory, zone_id) as api:
                os.environ["CURL_CA_BUNDLE"] = str(ca)  # nuv in this process and in its children
                clients, ctx["notes"] = per_call_clients(api, ca, token, zone_id)
                all_cpus = os.sched_getaffinity(0)

                def pin(on: bool) -> None:
                    place(directory, {min(all_cpus)} if on else all_cpus)

                pin(True)
                print("per-call loops ...", file=sys.stderr)
                per_call = repeated_calls(clients)
                floors = {FLOOR_ZONES: api + "/zones" + ZONES_QUERY, FLOOR_RECORDS: f"{api}/zones/{zone_id}/dns_records"}
                for label, url in floors.items():
                    per_call[label] = targets.median_range([time_floor(floor, url, ca, token) for _ in range(REPEATS)])
                ctx["per_call"] = per_call
                pin(False)
                ctx["unpinned"] = repeated_calls({NUV_GET: clients[NUV_GET]})
                ctx["unpinned"][FLOOR_ZONES] = targets.median_range(
                    [time_floor(floor, api + "/zones" + ZONES_QUERY, ca, token) for _ in range(REPEATS)]
                )
                print("targeted measures: fresh processes, parse, trace, cron-style jobs ...", file=sys.stderr)
                ctx["targets"], ctx["figures"] = targets.measure_targets(
                    api,
                    token,
                    ca,
                    standin.api_url,
                    token,
                    DOMAIN,
                    Path(standin.ca_file),
                    directory,
                    wanted,
                    processes=PROCESSES,
                    calls=CALLS,
                    pin=pin,
                    peers=True,
                )
                cron_jobs = {
                    label: (argv, env)
                    for label, (argv, env) in ctx["targets"]["cron_jobs"].items()
                    if "test CA" in label or label.startswith("bare")
                }
                ctx["rss"] = peak_rss(cron_jobs)
                os.environ["CURL_CA_BUNDLE"] = str(ca)
                ctx["extra_sections"] = extra_sections(api, token, standin)
                print("threads ...", file=sys.stderr)
                both = directory / "both.pem"  # nginx's CA and the stand-in's
                both.write_bytes(ca.read_bytes() + Path(standin.ca_file).read_bytes())
                os.environ["CURL_CA_BUNDLE"] = str(both)
                ctx["threads"] = thread_scaling(thread_cases(api, ca, token, directory, standin, floor))
        text = report(ctx)
        print(text)
        # Sections measured by hand (the install, the wheel) follow a marker
        # and are kept as they are.
        results = BENCH / "RESULTS.md"
        previous = results.read_text() if results.exists() else ""
        if HAND_MEASURED in previous:
            text = text.rstrip("\n") + "\n\n" + previous[previous.index(HAND_MEASURED) :]
        results.write_text(text)
        figures = {"commit": ctx["commit"], "date": ctx["versions"][0][1], "figures": ctx["figures"]}
        (BENCH / "results.json").write_text(json.dumps(figures, indent=2) + "\n")


HAND_MEASURED = "<!-- measured by hand; make bench keeps everything below -->"


if __name__ == "__main__":
    main()
