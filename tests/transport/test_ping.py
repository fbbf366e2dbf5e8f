"""nuv.ping: heartbeats over the library's transport in each service's
convention, the URL never shown."""

from __future__ import annotations

import nuv
import pytest
from support import closed_port, trace_lines

CHECK = "0b1c2d3e-aaaa-bbbb-cccc-123456789abc"
PUSH = "/api/push/tok-0123456789abcdef?status=up&msg=OK&ping="


@pytest.mark.parametrize(
    ("path", "event", "message", "outcome"),
    [
        (f"/ping/{CHECK}", "start", None, ("healthchecks", "start", "")),
        (f"/ping/{CHECK}/", "success", None, ("healthchecks", "success", "")),
        (f"/ping/{CHECK}", "fail", "A: no answer", ("healthchecks", "fail", "A: no answer")),
        (f"/ping/{CHECK}/fail", None, "é" * 6000, ("healthchecks", "fail", "é" * 5120)),  # 10 KiB, whole characters
        (PUSH, "fail", "A: x & y", ("kuma", "down", "A: x & y")),
        (PUSH, "success", None, ("kuma", "up", "OK")),
        (PUSH, "start", None, None),  # Uptime Kuma has no start: nothing sent
        ("/nothing-here", None, None, 404),
        ("/_test/redirect?to=https://127.0.0.1/ping/x", None, None, 302),
        ("closed", "success", None, "Couldn't connect"),
    ],
)
def test_ping_reports_and_never_shows_its_url(fresh_standin, client_env, capfd, path, event, message, outcome):
    nuv.set_trace("stdout")
    url = f"http://127.0.0.1:{closed_port()}/ping/{CHECK}" if path == "closed" else fresh_standin.url(path)
    try:
        if outcome is None or isinstance(outcome, tuple):
            sent = nuv.ping(url, event=event, message=message, proxy="", retries=0)
            assert sent == (200 if outcome else None)
            assert [(p["service"], p["kind"], p["text"]) for p in fresh_standin.pings()] == ([outcome] if outcome else [])
        else:
            with pytest.raises(nuv.PingError) as failed:
                nuv.ping(url, event=event, message=message, proxy="", retries=0)
            assert failed.value.status == (outcome if isinstance(outcome, int) else None)
            assert str(outcome) in str(failed.value) and CHECK not in str(failed.value)
            assert fresh_standin.pings() == []
    finally:
        nuv.set_trace("off")
    traced = "\n".join(trace_lines(capfd))
    assert CHECK not in traced and "tok-0123456789abcdef" not in traced


@pytest.mark.parametrize(("url", "event"), [("ftp://secret-check-url/x", None), ("https://secret-check-url/x", "up")])
def test_ping_refuses_what_it_cannot_send_without_showing_the_url(url, event):
    with pytest.raises(ValueError) as refused:
        nuv.ping(url, event=event)
    assert "secret-check-url" not in str(refused.value)
