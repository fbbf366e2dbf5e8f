"""The process: its JSON line, its CA, reset, and stopping when the parent goes away."""

from __future__ import annotations

import http.client
import json
import os
import subprocess
import sys
from pathlib import Path

import nuv.testing
from nuv.testing import StandIn


def test_json_line_describes_every_listener(standin):
    info = standin.info
    assert info["api_url"] == f"https://127.0.0.1:{info['https_port']}/client/v4"
    assert info["proxy_url"] == f"http://127.0.0.1:{info['proxy_port']}"
    assert info["control_url"].startswith("http://127.0.0.1:")
    assert Path(info["ca_file"]).read_text().startswith("-----BEGIN CERTIFICATE-----")
    ports = [info[k] for k in ("https_port", "proxy_port", "expired_port", "wrong_host_port", "refusing_proxy_port")]
    assert len(set(ports)) == len(ports)
    assert standin.url("/_test/echo") == f"https://127.0.0.1:{info['https_port']}/_test/echo"


def test_the_control_api_needs_the_runs_key_and_the_log_masks_credentials(fresh_standin, tunnel):
    token, port = fresh_standin.token, int(fresh_standin.control_url.rsplit(":", 1)[1])
    api = tunnel("api.cloudflare.com", proxy_auth="Basic dXNlcjpwYXNz")
    assert api.request("GET", "/client/v4/zones", headers={"Authorization": f"Bearer {token}"}).status == 200
    for key in (None, "Bearer guess", f"Bearer {fresh_standin.control_key}x", f"Basic {fresh_standin.control_key}"):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/requests", headers={} if key is None else {"Authorization": key})
        assert connection.getresponse().status == 401, key
        connection.close()
    [logged] = fresh_standin.requests()
    assert [v for k, v in logged["headers"] if k.lower() == "authorization"] == [f"Bearer ***{token[-4:]}"]
    assert logged["connect"]["proxy_authorization"] == "Basic ***"
    assert token not in json.dumps(logged) and "dXNlcjpwYXNz" not in json.dumps(logged)


def test_reset_restores_the_start_up_state(fresh_standin, api):
    zone = fresh_standin.add_zone("example.com")
    fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    fresh_standin.add_token("extra")
    fresh_standin.add_robot("bot", "SEC1")
    fresh_standin.add_fault(None, ".", status=500)
    fresh_standin.reset()
    assert fresh_standin.zones() == [] and fresh_standin.requests() == []
    assert api("GET", "/zones", token="extra").status == 403
    assert api("GET", "/zones").status == 200  # the default token survives, the fault is gone


def test_stops_when_stdin_reaches_eof():
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join([str(Path(nuv.testing.__file__).parents[2]), os.environ.get("PYTHONPATH", "")]),
    )
    process = subprocess.Popen(
        [sys.executable, "-m", "nuv.testing"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    info = json.loads(process.stdout.readline())
    process.stdin.close()
    assert process.wait(timeout=20) == 0
    process.stdout.close()
    assert not Path(info["ca_file"]).exists()


def test_start_and_stop_through_the_python_api():
    with StandIn.start() as standin:
        assert "nuv stand-ins up" in standin.log
        process = standin._process
    assert process.poll() == 0
