"""pytest fixtures for the stand-ins: ``pytest_plugins = ["nuv.testing.pytest_plugin"]``.

``standin`` starts one stand-in process for the whole session; ``fresh_standin``
hands the same process over after a reset, so each test starts from a clean slate
without paying for a new process: no zones, faults or robots, the batch endpoint
available, and the Cloudflare rate limit (1,200 requests per 300 s per token, on
by default) with fresh counters. A test that sends more switches it off with
``fresh_standin.set_rate_limit(None)`` or scales it with
``set_rate_limit(1200, window=3.0)``.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from . import StandIn


@pytest.fixture(scope="session")
def standin() -> Iterator[StandIn]:
    server = StandIn.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def fresh_standin(standin: StandIn) -> StandIn:
    standin.reset()
    return standin
