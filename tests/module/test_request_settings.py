"""retries, timeout, connect_timeout and rate_limit: the documented defaults,
keywords and attributes alike, and every invalid value refused at once."""

from __future__ import annotations

import math

import pytest
from nuv import Cloudflare, DingTalk

DEFAULTS = {
    Cloudflare: {"retries": 2, "timeout": 30.0, "connect_timeout": 10.0, "rate_limit": 1200},
    DingTalk: {"retries": 2, "timeout": 30.0, "connect_timeout": 10.0, "rate_limit": 20},
}
GOOD = {"retries": 0, "timeout": 5, "connect_timeout": 0.25, "rate_limit": 0}

BAD = [
    ("retries", -1, ValueError),
    ("retries", 101, ValueError),
    ("retries", 2**70, ValueError),
    ("retries", True, TypeError),
    ("retries", 1.0, TypeError),
    ("retries", "2", TypeError),
    ("retries", None, TypeError),
    ("timeout", 0, ValueError),
    ("timeout", -1.5, ValueError),
    ("timeout", math.nan, ValueError),
    ("timeout", math.inf, ValueError),
    ("timeout", 86400.5, ValueError),
    ("timeout", 10**400, ValueError),
    ("timeout", "30", TypeError),
    ("timeout", True, TypeError),
    ("timeout", None, TypeError),
    ("connect_timeout", 0.0, ValueError),
    ("connect_timeout", [1], TypeError),
    ("rate_limit", -1, ValueError),
    ("rate_limit", 1000001, ValueError),
    ("rate_limit", 1.5, TypeError),
    ("rate_limit", False, TypeError),
]


@pytest.mark.parametrize("kind", [Cloudflare, DingTalk])
def test_defaults_keywords_and_attributes(kind):
    assert {name: getattr(kind(), name) for name in GOOD} == DEFAULTS[kind]
    given = kind(**GOOD)
    assert {name: getattr(given, name) for name in GOOD} == GOOD
    assert type(given.timeout) is float
    given.timeout, given.rate_limit = 2, 7
    assert (given.timeout, given.rate_limit) == (2.0, 7)
    given.__init__(retries=5)  # a keyword left out keeps its value
    assert (given.retries, given.rate_limit) == (5, 7)


@pytest.mark.parametrize("kind", [Cloudflare, DingTalk])
@pytest.mark.parametrize("name, value, error", BAD)
def test_invalid_values_are_refused_at_construction_and_assignment(kind, name, value, error):
    with pytest.raises(error, match=f"^{name} must be "):
        kind(**{name: value})
    client = kind(retries=1, timeout=3, connect_timeout=1, rate_limit=9)
    before = {n: getattr(client, n) for n in GOOD}
    with pytest.raises(error, match=f"^{name} must be "):
        setattr(client, name, value)
    with pytest.raises(error):
        client.__init__(**{"rate_limit" if name == "retries" else "retries": 0, name: value})  # none is taken
    assert {n: getattr(client, n) for n in GOOD} == before


@pytest.mark.parametrize("kind", [Cloudflare, DingTalk])
def test_settings_are_keyword_only_and_cannot_be_deleted(kind):
    with pytest.raises(TypeError):
        kind("a", "b", "c", "d", "e", 3) if kind is Cloudflare else kind("t", "s", 3)
    with pytest.raises(AttributeError):
        del kind().retries
