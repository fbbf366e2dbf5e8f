"""Fixtures of the Cloudflare tests: one zone in the stand-in, a client that
has selected it, and a seeder of its records."""

from __future__ import annotations

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid


@pytest.fixture
def zone(fresh_standin):
    return fresh_standin.add_zone(DOMAIN, id=ZONE_ID)


@pytest.fixture
def zcf(cf, zone, fresh_standin):
    """A client whose zone is example.com, selected as a successful query
    leaves it but without a request; the request log starts empty."""
    cf.zone = DOMAIN
    cf.zone_id = ZONE_ID
    fresh_standin.clear_requests()
    return cf


@pytest.fixture
def seed(fresh_standin, zone):
    """Stores a record of example.com as given (no validation) under rid(n)."""

    def add(n: int, type: str, name: str, content: str, **fields):
        return fresh_standin.add_record(ZONE_ID, id=rid(n), type=type, name=name, content=content, **fields)

    return add
