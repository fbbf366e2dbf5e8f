"""nuv.ping: heartbeats over the library's transport, the URL never shown."""

from __future__ import annotations

import nuv
import pytest
from support import closed_port, trace_lines

CHECK = "0b1c2d3e-aaaa-bbbb-cccc-123456789abc"


@pytest.mark.parametrize(
    ("path", "message", "outcome"),
    [
        (f"/ping/{CHECK}/start", None, ("healthchecks", "start", "")),
        (f"/ping/{CHECK}", None, ("healthchecks", "success", "")),
        (f"/ping/{CHECK}/fail", "A: no answer", ("healthchecks", "fail", "A: no answer")),
        (f"/ping/{CHECK}/fail", "é" * 6000, ("healthchecks", "fail", "é" * 5120)),  # cut to 10 KiB, whole characters
        ("/api/push/tok-0123456789abcdef?status=down&msg=A%3A%20x&ping=", None, ("kuma", "down", "A: x")),
        ("/nothing-here", None, 404),
        ("/_test/redirect?to=https://127.0.0.1/ping/x", None, 302),
        ("closed", None, "Couldn't connect"),
    ],
)
def test_ping_reports_and_never_shows_its_url(fresh_standin, client_env, capfd, path, message, outcome):
    nuv.set_trace("stdout")
    url = f"http://127.0.0.1:{closed_port()}/ping/{CHECK}" if path == "closed" else fresh_standin.url(path)
    try:
        if isinstance(outcome, tuple):
            assert nuv.ping(url, message=message, proxy="", retries=0) == 200
            [ping] = fresh_standin.pings()
            assert (ping["service"], ping["kind"], ping["text"]) == outcome
        else:
            with pytest.raises(nuv.PingError) as failed:
                nuv.ping(url, message=message, proxy="", retries=0)
            assert failed.value.status == (outcome if isinstance(outcome, int) else None)
            assert str(outcome) in str(failed.value) and CHECK not in str(failed.value)
            assert fresh_standin.pings() == []
    finally:
        nuv.set_trace("off")
    traced = "\n".join(trace_lines(capfd))
    assert "http_method" in traced and CHECK not in traced and "tok-0123456789abcdef" not in traced


def test_ping_refuses_other_schemes_without_showing_the_url():
    with pytest.raises(ValueError) as refused:
        nuv.ping("ftp://secret-check-url/x")
    assert "secret-check-url" not in str(refused.value)
