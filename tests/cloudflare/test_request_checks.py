"""Texts that would change a request behind the caller's back are refused
before anything is sent."""

import pytest
from nuv import Cloudflare


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("api_token", "abc\r\nX-Injected: 1", "api_token must not contain line breaks"),
        ("api_token", "abc\nX-Injected: 1", "api_token must not contain line breaks"),
        ("api_token", "abc\0def", "api_token must not contain NUL characters"),
        ("api_url", "https://127.0.0.1:1\0/x", "api_url must not contain NUL characters"),
    ],
)
def test_texts_that_would_change_the_request_are_refused(fresh_standin, echo_cf, field, value, message):
    setattr(echo_cf, field, value)
    fresh_standin.clear_requests()
    with pytest.raises(ValueError, match=f"^{message}$"):
        echo_cf.get()
    assert fresh_standin.requests() == []


def test_a_proxy_holding_a_nul_is_refused(fresh_standin, client_env):
    cf = Cloudflare("", "", "t", "http://127.0.0.1:1\0x", fresh_standin.url("/_test/echo"))
    with pytest.raises(ValueError, match="^proxy must not contain NUL characters$"):
        cf.get()
