"""Ctrl-C (and any signal handler that raises) ends a call at once: during a
transfer, a backoff, a rate-limit wait; a reconciliation stops before its
next write and still puts back what it deleted. Measured in a subprocess,
whose main thread receives the signal from a helper thread."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
LATENCY_BOUND = 0.5
PROXY_VARIABLES = {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}
DOMAIN = "example.com"
ZONE_ID = "0123456789abcdef0123456789abcdef"
NAME = f"n.{DOMAIN}"
RECORD_ID = f"{1:032x}"

SCRIPT = """
import json, os, signal, sys, threading, time
import nuv
from nuv import Cloudflare, DingTalk

result_out = os.fdopen(os.dup(1), "w")  # fd 1 itself may be what the case blocks

def raising_handler(signum, frame):
    raise RuntimeError("handler raised")

signal.signal(signal.SIGUSR1, raising_handler)
cf = Cloudflare(api_token=os.environ["TOKEN"], api_url=os.environ["API_URL"])
cf.zone, cf.zone_id = {domain!r}, {zone_id!r}
fired = []

def fire():
    time.sleep(0.7)
    fired.append(time.monotonic())
    os.kill(os.getpid(), signal.{signal})

threading.Thread(target=fire, daemon=True).start()
try:
    {call}
    outcome = "returned"
    unrestored = None
except BaseException as error:
    outcome = type(error).__name__
    unrestored = getattr(error, "unrestored", None)
print(json.dumps({{"outcome": outcome, "latency": time.monotonic() - fired[0] if fired else None, "unrestored": unrestored}}), file=result_out, flush=True)
"""

# Standard output: a pipe that nobody reads, full, so that the next trace line blocks.
FULL_STDOUT = "import fcntl; _, w = os.pipe(); os.write(w, b'x' * fcntl.fcntl(w, fcntl.F_GETPIPE_SZ)); os.dup2(w, 1)"
CALLS = "[cf.get('/zones') for _ in range(40)]"  # long enough to outlast the signal


def run(standin, call: str, signal: str = "SIGINT", **env: str) -> dict:
    script = SCRIPT.format(domain=DOMAIN, zone_id=ZONE_ID, signal=signal, call=call)
    # The parent's environment (a sanitizer's preload included), no proxy
    # unless the case names one.
    environment = {k: v for k, v in os.environ.items() if k.lower() not in PROXY_VARIABLES}
    environment.update(CURL_CA_BUNDLE=standin.ca_file, TOKEN=standin.token, API_URL=standin.api_url, **env)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], env=environment, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize(
    "fault, call, signal, outcome",
    [
        pytest.param(dict(route=r"/zones$", delay=20), "cf.get('/zones')", "SIGINT", "KeyboardInterrupt", id="slow-answer"),
        pytest.param(dict(route=r"/zones$", delay=20), "cf.get('/zones')", "SIGUSR1", "RuntimeError", id="other-handler"),
        pytest.param(dict(route=r"/zones$", status=429, retry_after=50), "cf.get('/zones')", "SIGINT", "KeyboardInterrupt", id="retry-after-wait"),
        pytest.param(dict(route=r"/zones$", status=503, count=None), "Cloudflare(api_token='t', api_url=os.environ['API_URL'], retries=100).get('/zones')", "SIGINT", "KeyboardInterrupt", id="backoff"),
        pytest.param(None, "c = Cloudflare(api_token='t', api_url=os.environ['API_URL'], rate_limit=1); c.get('/zones'); c.get('/zones')", "SIGINT", "KeyboardInterrupt", id="rate-limit-wait"),
        pytest.param(dict(route=r"^/robot/send$", delay=20), "DingTalk(token='r', secret='').send_text('x')", "SIGINT", "KeyboardInterrupt", id="message"),
        # While a trace line is written: a slow Python target, a full pipe.
        pytest.param(None, "nuv.set_trace(lambda line: time.sleep(0.3)); " + CALLS, "SIGINT", "KeyboardInterrupt", id="slow-trace-target"),
        pytest.param(None, f"{FULL_STDOUT}; {CALLS}", "SIGINT", "KeyboardInterrupt", id="full-trace-pipe"),
        pytest.param(None, f"{FULL_STDOUT}; {CALLS}", "SIGUSR1", "RuntimeError", id="full-trace-pipe-other-handler"),
    ],
)
def test_a_raising_signal_handler_ends_the_call_promptly(fresh_standin, fault, call, signal, outcome):
    if fault is not None:
        fresh_standin.fault(fault.pop("route"), **fault)
    fresh_standin.add_robot("r", None)
    proxy = {"https_proxy": fresh_standin.proxy_url} if "DingTalk" in call else {}
    result = run(fresh_standin, call, signal, **proxy)
    assert result["outcome"] == outcome
    assert result["latency"] < LATENCY_BOUND


ENSURE = f"cf.dns_ensured_record({DOMAIN!r}, 'A', {NAME!r}, '192.0.2.1', False, 1)"


@pytest.fixture
def cname(fresh_standin):
    fresh_standin.add_zone(DOMAIN, id=ZONE_ID)
    fresh_standin.add_record(ZONE_ID, id=RECORD_ID, type="CNAME", name=NAME, content="t.example.net", ttl=1, proxied=False)
    fresh_standin.clear_requests()


def writes(standin):
    return [r["method"] for r in standin.requests("cloudflare") if r["method"] != "GET"]


def test_a_reconciliation_interrupted_during_its_listing_writes_nothing(fresh_standin, cname):
    fresh_standin.fault(r"/dns_records$", method="GET", delay=20)
    result = run(fresh_standin, ENSURE)
    assert result["outcome"] == "KeyboardInterrupt" and result["latency"] < LATENCY_BOUND
    assert writes(fresh_standin) == []


@pytest.mark.parametrize(
    "fault, writes_made, kept",
    [
        # The create hangs (unseen by the service) until the interrupt; the
        # interrupt goes up once the restore (a request of its own) is done.
        (dict(method="POST", status=503, delay=20), ["POST", "DELETE", "POST", "POST"], "CNAME"),
        # The delete is applied and its answer hangs: the name is listed
        # again and the record put back.
        (dict(method="DELETE", processed=True, delay=20), ["POST", "DELETE", "POST"], "CNAME"),
        # The restore waits for the pause the create's 429 asked for; an
        # interrupt ends the wait and the exception carries the record.
        (dict(method="POST", status=429, retry_after=100), ["POST", "DELETE", "POST"], None),
    ],
    ids=["during-create", "during-delete", "during-restore-wait"],
)
def test_an_interrupted_swap_puts_back_or_hands_over_the_deleted_record(fresh_standin, cname, fault, writes_made, kept):
    fresh_standin.refuse_batches(405)  # the one-write-at-a-time path
    fresh_standin.fault(r"/dns_records(/[0-9a-f]+)?$", **fault)
    result = run(fresh_standin, ENSURE)
    assert result["outcome"] == "KeyboardInterrupt"
    assert writes(fresh_standin) == writes_made
    records = [(r["name"], r["type"], r["content"]) for r in fresh_standin.records(ZONE_ID)]
    if kept:
        assert records == [(NAME, "CNAME", "t.example.net")] and result["unrestored"] is None
    else:
        assert records == [] and [r["type"] for r in result["unrestored"]] == ["CNAME"]
