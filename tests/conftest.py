"""Fixtures shared by every subsystem's tests: the stand-ins (one process per
session), a client environment that trusts their CA and uses no proxy unless a
test says so, and helpers to read the trace (file descriptor 1)."""

from __future__ import annotations

import _nuv
import pytest
from nuv import Cloudflare

pytest_plugins = ["nuv.testing.pytest_plugin"]

PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY")


# Backoffs, Retry-After waits and rate-limit windows run 100 times faster in
# the suite: the policy decides as it would, the suite does not sleep for it.
TEST_WAIT_SCALE = 0.01


@pytest.fixture(autouse=True, scope="session")
def quick_waits():
    _nuv._set_wait_scale(TEST_WAIT_SCALE)


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
