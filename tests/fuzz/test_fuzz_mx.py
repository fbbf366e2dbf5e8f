"""MX contents and priorities: for any "host|priority" text the body the
service receives carries the first non-empty piece as content and the second
read like atoi as priority (10 when there is none); a content without any
non-empty piece, or that starts with "|" (no host), is refused with ValueError, a priority outside 0..65535 with
OverflowError, before any request."""

from __future__ import annotations

import json
import re

import pytest
from fuzz_helpers import DOMAIN, zone_client
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pieces = st.one_of(
    st.sampled_from(["mx.example.net", "", " ", "mail", "10", " 5", "+7", "-3", "12abc", "0x10", "99999999999",
                     "-99999999999", "2147483647", "2147483648", "-2147483648", "-2147483649", "\t\n 42", "٣"]),
    st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), max_size=12),
)
contents = st.one_of(
    st.lists(pieces, max_size=4).map("|".join),
    st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), max_size=20),
)
ATOI = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)")


def expected(content: str):
    """(host, priority), host None when the content names none."""
    parts = [p for p in content.split("|") if p]
    if not parts or content.startswith("|"):
        return None, None
    priority = 10
    if len(parts) > 1:
        # atoi reads bytes: the UTF-8 of the piece, C-locale blanks and digits.
        match = ATOI.match(parts[1])
        priority = int(match.group(1)) if match else 0
    return parts[0], priority


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(content=contents, ensured=st.integers(0, 3))
def test_mx_body_carries_host_and_priority(standin, client_env, content, ensured):
    client = zone_client(standin)
    standin.clear_requests()
    host, priority = expected(content)
    name = f"mail.{DOMAIN}"
    if ensured == 0:
        call = lambda: client.dns_ensured_record(DOMAIN, "MX", name, content, False, 300)  # noqa: E731
    elif ensured == 1:
        call = lambda: client.dns_update_record("0" * 32, "MX", name, content, False, 300)  # noqa: E731
    else:
        call = lambda: client.dns_create_record("MX", name, content, False, 300)  # noqa: E731
    if host is None or not 0 <= priority <= 65535:
        with pytest.raises(ValueError if host is None else OverflowError):
            call()
        assert standin.requests("cloudflare") == []
        return
    status, text = call()
    assert isinstance(status, int) and isinstance(text, str)
    bodies = [json.loads(r["body"]) for r in standin.requests("cloudflare") if r["method"] in ("POST", "PUT")]
    assert bodies, standin.requests("cloudflare")
    for body in bodies:
        assert body["type"] == "MX" and body["name"] == name
        assert body["content"] == host
        assert body["priority"] == priority
        assert "proxied" not in body
