"""Fixtures shared by every subsystem's tests: the stand-ins (one process per
session), a client environment that trusts their CA and uses no proxy unless a
test says so, and helpers to read the trace (file descriptor 1)."""

from __future__ import annotations

import _nuv
import pytest
from nuv import Cloudflare
from support import TEST_WAIT_SCALE

pytest_plugins = ["nuv.testing.pytest_plugin"]

PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY")


@pytest.fixture(autouse=True, scope="session")
def quick_waits():
    _nuv._set_wait_scale(TEST_WAIT_SCALE)


@pytest.fixture(autouse=True)
def fresh_rate_limits():
    """Every test starts with no token paused or counted by the process-wide
    rate limiter (the stand-in's default token serves them all)."""
    _nuv._forget_rate_limits()


@pytest.fixture
def client_env(monkeypatch, standin):
    """Trust the stand-ins' test CA; no proxy from the environment."""
    monkeypatch.setenv("CURL_CA_BUNDLE", standin.ca_file)
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def cf(fresh_standin, client_env):
    """A client of the Cloudflare stand-in with its default valid token."""
    return Cloudflare(api_token=fresh_standin.token, api_url=fresh_standin.api_url)


@pytest.fixture
def echo_cf(fresh_standin, client_env):
    """A client whose every request is answered by the echo route, which
    reflects method, target, headers and body as JSON."""
    return Cloudflare(api_token="echo-token", api_url=fresh_standin.url("/_test/echo"))
