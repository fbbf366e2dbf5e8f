"""A message is never sent twice: not by a retry, not by libcurl on a dead
reused connection. Only a send that never reached the robot goes again; a
throttled robot pauses the token; the client keeps under the robot's limit."""

from __future__ import annotations

import json
import socket
import threading

import pytest
from nuv import DingTalk
from robot_credentials import SECRET, TOKEN
from support import closed_port, in_new_thread, trace_lines

OK = '{"errcode": 0, "errmsg": "ok"}'
NOTHING = "Server returned nothing (no headers, no data)"
THROTTLED = 410100


def received(standin):
    return [r for r in standin.requests("dingtalk") if r["method"] == "POST"]


@pytest.mark.parametrize("reused", [False, True], ids=["new-thread", "after-a-send"])
@pytest.mark.parametrize(
    "fault, delivered, result",
    [
        pytest.param(dict(drop=True), 0, NOTHING, id="dropped-unprocessed"),
        pytest.param(dict(drop=True, processed=True), 1, NOTHING, id="dropped-processed"),
        pytest.param(dict(status=503), 0, None, id="503"),
        pytest.param(dict(status=429, retry_after=1), 0, None, id="429"),
        pytest.param(dict(delay=1), 1, "Timeout was reached", id="answer-too-late"),
    ],
)
def test_a_send_that_may_have_arrived_is_sent_once(fresh_standin, robot, capfd, fault, delivered, result, reused):
    robot.timeout = 0.3

    def sends():
        if reused:  # the thread's connection to the robot is open and idle
            assert robot.send_text("warm-up") == OK
        fresh_standin.fault(r"^/robot/send$", method="POST", **fault)
        return robot.send_text("once")

    answer = in_new_thread(sends)
    if result is not None:
        assert answer == result
    assert len(received(fresh_standin)) == 1 + reused
    texts = [m["body"]["text"]["content"] for m in fresh_standin.messages(TOKEN)]
    assert texts.count("once") == delivered
    assert not [line for line in trace_lines(capfd) if line.startswith("retry ")]


@pytest.mark.parametrize(
    "tunnel, result, retried",
    [
        (False, "Couldn't connect to server", "7 (Couldn't connect to server)"),
        (True, "SSL connect error", "35 (SSL connect error)"),
    ],
    ids=["proxy-refuses", "handshake-fails-in-the-tunnel"],
)
def test_a_send_that_never_reached_the_robot_is_retried(fresh_standin, robot, robot_env, capfd, tunnel, result, retried):
    connects: list[bytes] = []

    def hang_up_after_connect() -> None:  # the tunnel closes: the TLS handshake with the robot fails
        for _ in range(3):
            with listener.accept()[0] as conn:
                connects.append(conn.recv(4096).split(b" ")[1])
                conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")

    with socket.create_server(("127.0.0.1", 0)) as listener:
        if tunnel:
            threading.Thread(target=hang_up_after_connect, daemon=True).start()
        port = listener.getsockname()[1] if tunnel else closed_port()
        robot_env.setenv("https_proxy", f"http://127.0.0.1:{port}")
        assert robot.send_text("x") == result
    retries = [line.split(": ", 1)[1] for line in trace_lines(capfd) if line.startswith("retry ")]
    assert retries == [retried] * 2
    assert connects == ([b"oapi.dingtalk.com:443"] * 3 if tunnel else [])


def test_a_throttled_robot_is_not_retried_and_pauses_its_token(fresh_standin, robot_env, capfd):
    fresh_standin.add_robot("slow-robot", SECRET, rate_limit=1)
    robot = DingTalk(token="slow-robot", secret=SECRET)
    assert robot.send_text("first") == OK
    throttled = robot.send_text("second")
    assert json.loads(throttled)["errcode"] == THROTTLED
    assert DingTalk(token="slow-robot", secret=SECRET).send_text("third") == throttled  # not sent
    assert len(received(fresh_standin)) == 2
    lines = trace_lines(capfd)
    assert f"no retry: the robot is throttled (errcode {THROTTLED}); sends with this token paused for 600 s" in lines
    assert any(line.startswith("rate limit: not sent, the service paused this token for ") for line in lines)


def test_the_client_keeps_under_the_robots_limit(fresh_standin, robot_env, capfd):
    # The robot's 5 per 60 s, in 0.6 s (the suite's scale, tests/conftest.py).
    fresh_standin.add_robot("busy-robot", SECRET, rate_limit=5, window=0.6)
    robot = DingTalk(token="busy-robot", secret=SECRET, rate_limit=5)
    assert [robot.send_text(f"m{n}") for n in range(8)] == [OK] * 8
    assert len(fresh_standin.messages("busy-robot")) == 8
    assert any(line.startswith("rate limit: 5 requests in 60 s reached, waiting ") for line in trace_lines(capfd))
