"""Whatever the listing of the reconciliation answers (arbitrary JSON and
text, huge numbers, wrong types, missing keys, deep nesting), dns_ensured_record
ends in a documented value: an (int, str) response, a ("404", str) tuple, or
Exception carrying the body text when the answer has no "result" array; it
never crashes or hangs, and writes only to records the listing named."""

from __future__ import annotations

import json
import urllib.parse

from fuzz_helpers import DOMAIN, ZONE_ID, zone_client
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from nuv import CloudflareError

NAME = f"host.{DOMAIN}"
TYPES = ["A", "AAAA", "CNAME", "TXT", "MX", "NS"]
CONTENTS = ["192.0.2.1", "2001:db8::1", "t.example.net", "v=a", "mx.example.net", ""]
NUMBER_TEXTS = [
    "0", "-0", "1", "-1", "10", "300", "2147483647", "2147483648", "-2147483649", "4294967296",
    "9223372036854775807", "9223372036854775808", "-9223372036854775809",
    "123456789012345678901234567890123456789", "1e400", "-1e400", "1.5", "1e-400",
    "NaN", "Infinity", "-Infinity",
]

# Text the stand-in can send: no lone surrogates (they have no UTF-8).
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=30)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), texts,
)
json_values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(texts, inner, max_size=4)),
    max_leaves=12,
)
number_literals = st.sampled_from(NUMBER_TEXTS)


class Literal:
    """A JSON value written as given (numbers json.dumps cannot make)."""

    def __init__(self, text: str) -> None:
        self.text = text


def dump(value) -> str:
    """json.dumps that also writes Literal values as they are."""
    if isinstance(value, Literal):
        return value.text
    if isinstance(value, dict):
        return "{" + ", ".join(f"{json.dumps(k)}: {dump(v)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(dump(v) for v in value) + "]"
    return json.dumps(value)


@st.composite
def listed_elements(draw):
    """A listed record, often well formed, with fields missing, mistyped or
    holding extreme numbers."""
    if draw(st.integers(0, 9)) == 0:
        return draw(json_values)  # not even an object
    good = {
        "id": draw(st.sampled_from(["r1", "r2", "r 3/../x", "r\u00e9", "r\x00nul"])),
        "name": draw(st.sampled_from([NAME, NAME, NAME.upper(), f"other.{DOMAIN}"])),
        "type": draw(st.sampled_from(TYPES)),
        "content": draw(st.sampled_from(CONTENTS)),
        "proxied": draw(st.sampled_from([False, True, None, 0, 1, "yes", []])),
        "priority": draw(st.one_of(st.sampled_from([10, 20]), number_literals.map(Literal))),
        "ttl": draw(st.one_of(st.sampled_from([1, 300]), number_literals.map(Literal))),
    }
    element = {}
    for key, value in good.items():
        choice = draw(st.integers(0, 9))
        if choice == 0:
            continue  # missing
        element[key] = draw(json_values) if choice == 1 else value
    return element


@st.composite
def listing_bodies(draw) -> str:
    shape = draw(st.integers(0, 7))
    if shape <= 2:
        # The service's envelope around generated elements.
        envelope = {
            "success": draw(st.sampled_from([True, False, None, "true"])),
            "errors": [],
            "messages": [],
            "result": draw(st.one_of(st.lists(listed_elements(), max_size=5), json_values)),
        }
        if draw(st.booleans()):
            envelope["result_info"] = {"page": Literal(draw(number_literals)), "count": 1}
        if draw(st.integers(0, 5)) == 0:
            del envelope["result"]
        return dump(envelope)
    if shape == 3:
        return dump(draw(json_values))
    if shape == 4:
        return draw(st.text(st.characters(exclude_categories=("Cs",)), max_size=60))
    if shape == 5:
        # Deep nesting, inside "result" or as the whole body.
        depth = draw(st.integers(1, 400))
        opener, closer = draw(st.sampled_from([("[", "]"), ('{"a": ', "}")]))
        nested = opener * depth + "1" + closer * depth
        return nested if draw(st.booleans()) else '{"result": [' + nested + "]}"
    if shape == 6:
        # A good answer cut short, or with something after it.
        body = dump({"result": draw(st.lists(listed_elements(), max_size=3))})
        if draw(st.booleans()):
            return body[: draw(st.integers(0, len(body)))]
        return body + draw(st.sampled_from(["", " ", "x", "\x00", "\x00{}", "]", "{}"]))
    return '{"result": [' + ", ".join(draw(st.lists(number_literals, max_size=4))) + "]}"


def depth_of(value) -> int:
    if isinstance(value, dict):
        return 1 + max((depth_of(v) for v in value.values()), default=0)
    if isinstance(value, list):
        return 1 + max((depth_of(v) for v in value), default=0)
    return 0


def python_reading(body: str):
    """(parsed, ok) with Python's own parser; ok False when it refuses."""
    try:
        return json.loads(body), True
    except (ValueError, RecursionError):
        return None, False


def listed_ids(parsed) -> set[str]:
    ids = set()
    if isinstance(parsed, dict) and isinstance(parsed.get("result"), list):
        for element in parsed["result"]:
            if isinstance(element, dict) and all(isinstance(element.get(k), str) for k in ("id", "name", "type", "content")):
                ids.add(element["id"])
    return ids


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(
    body=listing_bodies(),
    status=st.sampled_from([200, 200, 200, 404, 500]),
    type_=st.sampled_from(TYPES),
    content=st.sampled_from(CONTENTS[:-1] + ["mx.example.net|20"]),
    proxied=st.booleans(),
    present=st.booleans(),
    replace=st.booleans(),
)
def test_any_listing_ends_in_a_documented_outcome(standin, client_env, body, status, type_, content, proxied, present, replace):
    # The client's answer text ends at the body's first NUL.
    seen = body.partition("\x00")[0]
    client = zone_client(standin)
    standin.add_fault(method="GET", path_regex="dns_records", status=status, body=body, count=1)
    standin.clear_requests()

    try:
        outcome = client.dns_ensured_record(DOMAIN, type_, NAME, content, proxied, 300, present, replace)
    except Exception as error:  # noqa: BLE001 - the type is the point
        assert isinstance(error, CloudflareError), repr(error)
        assert error.args == (seen,)
        outcome = None
    event("Exception" if outcome is None else f"{type(outcome[0]).__name__} outcome")
    received = standin.requests("cloudflare")
    assert received[0]["method"] == "GET" and "name=" in received[0]["target"]
    standin.clear_faults()

    parsed, parsed_ok = python_reading(seen)
    has_result = isinstance(parsed, dict) and isinstance(parsed.get("result"), list)
    if outcome is None:
        # Nothing is written after a listing that could not be read.
        assert len(received) == 1, received
        if parsed_ok and depth_of(parsed) < 30:
            assert not has_result, seen
        return

    assert isinstance(outcome, tuple) and len(outcome) == 2
    first, text = outcome
    assert isinstance(text, str)
    assert type(first) is int or first == "404", outcome
    if parsed_ok:
        assert has_result, seen
    event(f"{len(received) - 1} writes")
    if not present:
        # Deletes only, one by one or as one batch.
        for request in received[1:]:
            if request["path"].endswith("/batch"):
                batch = json.loads(request["body"])
                assert not batch["patches"] and not batch["posts"], batch
            else:
                assert request["method"] == "DELETE", request
    if parsed_ok:
        # Every update and delete names a record of the listing.
        # (ids are one path segment each: "." is encoded too)
        ids = {
            urllib.parse.quote(i.encode("utf-8", "surrogatepass"), safe="").replace(".", "%2E")
            for i in listed_ids(parsed)
        }
        prefix = f"/client/v4/zones/{ZONE_ID}/dns_records/"
        for request in received[1:]:
            if request["method"] in ("PUT", "DELETE"):
                assert request["path"].startswith(prefix), request
                assert request["path"][len(prefix):] in ids, (request["path"], ids)
