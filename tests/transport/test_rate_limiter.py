"""The process-wide rate limiter: one sliding window per token, shared by
every object and thread, a pause when the service says to wait, and a forked
child that starts with no history."""

from __future__ import annotations

import os
import threading

import _nuv
import pytest
from nuv import Cloudflare, RateLimitedError
from support import TEST_WAIT_SCALE, trace_lines

WAITS = "rate limit: 3 requests in 300 s reached, waiting "


def client(standin, token=None, **settings):
    return Cloudflare(api_token=token or standin.token, api_url=standin.api_url, **settings)


def waits(capfd):
    return [line for line in trace_lines(capfd) if line.startswith("rate limit: ")]


def test_a_burst_of_1300_requests_never_meets_the_services_limit(fresh_standin, client_env, capfd):
    # The service's 1,200 per 300 s, in 3 s; the client's window scaled alike.
    window = 3.0
    fresh_standin.set_rate_limit(1200, window=window)
    _nuv._set_wait_scale(window / 300)
    statuses: list[int] = []

    def burst():
        cf = client(fresh_standin)  # one object per thread, one token for all
        statuses.extend(cf.get("/zones")[0] for _ in range(325))

    try:
        threads = [threading.Thread(target=burst) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        _nuv._set_wait_scale(TEST_WAIT_SCALE)
    assert len(statuses) == 1300 and set(statuses) == {200}
    assert len(fresh_standin.requests("cloudflare")) == 1300
    assert waits(capfd), "the burst never filled the window"


def test_objects_sharing_a_token_share_its_window(fresh_standin, client_env, capfd):
    first, second = client(fresh_standin, rate_limit=3), client(fresh_standin, rate_limit=3)
    fresh_standin.add_token("other-token")
    other = client(fresh_standin, "other-token", rate_limit=3)
    for cf in (first, second, first, other, other, other):
        assert cf.get("/zones")[0] == 200
    assert waits(capfd) == []
    assert second.get("/zones")[0] == 200
    (line,) = waits(capfd)
    assert line.startswith(WAITS)


def test_rate_limit_0_never_waits(fresh_standin, client_env, capfd):
    cf = client(fresh_standin, rate_limit=0)
    for _ in range(5):
        assert cf.get("/zones")[0] == 200
    assert waits(capfd) == []


@pytest.mark.parametrize(
    "retry_after, seconds",  # beyond what a clock or an integer holds: a day
    [("120", 120), ("9300000000", 86400), ("1" + "0" * 400, 86400), ("Fri, 31 Dec 9999 23:59:59 GMT", 86400)],
)
def test_a_long_retry_after_pauses_the_token_for_every_object(fresh_standin, client_env, capfd, retry_after, seconds):
    fresh_standin.fault(r"/zones$", status=429, retry_after=retry_after)
    first, second = client(fresh_standin), client(fresh_standin, retries=0)
    refused = first.get("/zones")
    assert refused[0] == 429
    with pytest.raises(RateLimitedError) as raised:
        refused.raise_for_status()
    assert raised.value.retry_after == seconds
    # Not sent at all: the service's own answer stands while the pause lasts.
    assert second.get("/zones") == refused
    assert len(fresh_standin.requests("cloudflare")) == 1
    lines = trace_lines(capfd)
    assert f"no retry: Retry-After {seconds} s is more than 60 s: 429" in lines
    assert any(line.startswith("rate limit: not sent, the service paused this token for ") for line in lines)
    # Another token, and the same one with the limiter off, still send.
    fresh_standin.add_token("other-token")
    assert client(fresh_standin, "other-token").get("/zones")[0] == 200
    assert client(fresh_standin, rate_limit=0).get("/zones")[0] == 200


def test_a_short_retry_after_is_waited_for_by_the_next_call(fresh_standin, client_env, capfd):
    fresh_standin.fault(r"/zones$", status=429, retry_after=30)
    assert client(fresh_standin, retries=0).get("/zones")[0] == 429
    assert client(fresh_standin).get("/zones")[0] == 200
    assert any(line.startswith("rate limit: the service paused this token, waiting ") for line in waits(capfd))


def test_a_forked_child_starts_with_an_empty_window(fresh_standin, client_env, capfd):
    cf = client(fresh_standin, rate_limit=3)
    for _ in range(3):
        assert cf.get("/zones")[0] == 200
    capfd.readouterr()
    pid = os.fork()
    if pid == 0:
        try:
            ok = all(cf.get("/zones")[0] == 200 for _ in range(3))
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert waits(capfd) == []  # the child never waited
    assert cf.get("/zones")[0] == 200  # the parent's window is full
    assert waits(capfd) != []


@pytest.mark.parametrize("value", [0, 1])
def test_a_window_of_one_request_or_none_still_sends(fresh_standin, client_env, value):
    cf = client(fresh_standin, rate_limit=value)
    assert [cf.get("/zones")[0] for _ in range(3)] == [200] * 3
