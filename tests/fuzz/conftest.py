"""Fixtures of the fuzz tests."""

from __future__ import annotations

import pytest
from support import closed_port


@pytest.fixture
def offline(client_env):
    """A base URL on which every transfer fails at once with libcurl's code 7;
    the https_proxy of the environment names the same closed port, so a
    DingTalk send (fixed host) goes nowhere either."""
    port = closed_port()
    client_env.setenv("https_proxy", f"http://127.0.0.1:{port}")
    return f"https://127.0.0.1:{port}/client/v4"
