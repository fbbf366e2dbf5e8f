"""The reconciliation's promises to people who run it from cron jobs, checked
on generated zones through _nuv and the stand-in: it converges, present=False
only ever removes, A and AAAA never remove each other, and a failed create
loses no record."""

import json
from collections import Counter

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid, sent
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from nuv import Cloudflare

NAMES = [f"a.{DOMAIN}", f"b.{DOMAIN}"]
CONTENTS = {
    "A": ["192.0.2.1", "192.0.2.2"],
    "AAAA": ["2001:db8::1", "2001:db8::2"],
    "CNAME": ["t1.example.net", "t2.example.net"],
    "MX": ["mx1.example.net", "mx2.example.net"],
    "TXT": ["v=a", "v=b", "v=c"],
}
TYPES = sorted(CONTENTS)
PROXIABLE = {"A", "AAAA", "CNAME"}
ADDRESSES = {"A", "AAAA"}
FAILED = {"success": False, "errors": [{"code": 10001, "message": "service unavailable"}], "messages": [], "result": None}


def allowed_beside(records, new) -> bool:
    """Whether the service would let `new` join `records` (no identical
    record; a CNAME shares its name with no A, AAAA or CNAME)."""
    same_name = [r for r in records if r["name"] == new["name"]]
    if any(r["type"] == new["type"] and r["content"] == new["content"] for r in same_name):
        return False
    if new["type"] == "CNAME":
        return not any(r["type"] in PROXIABLE for r in same_name)
    if new["type"] in ADDRESSES:
        return not any(r["type"] == "CNAME" for r in same_name)
    return True


@st.composite
def listed_record(draw):
    type_ = draw(st.sampled_from(TYPES))
    record = {
        "name": draw(st.sampled_from(NAMES)),
        "type": type_,
        "content": draw(st.sampled_from(CONTENTS[type_])),
        "proxied": type_ in PROXIABLE and draw(st.booleans()),
        "ttl": draw(st.sampled_from([1, 300])),
    }
    if type_ == "MX":
        record["priority"] = draw(st.sampled_from([10, 20]))
    return record


@st.composite
def zones(draw):
    records = []
    for candidate in draw(st.lists(listed_record(), max_size=6)):
        if allowed_beside(records, candidate):
            records.append(candidate)
    return records


@st.composite
def wanted_records(draw):
    type_ = draw(st.sampled_from(TYPES))
    content = draw(st.sampled_from(CONTENTS[type_]))
    if type_ == "MX":
        content += draw(st.sampled_from(["", "|10", "|20"]))
    kwargs = {}
    for flag in ("present", "replace"):
        value = draw(st.sampled_from([None, True, False, 0, 2]))
        if value is not None:
            kwargs[flag] = value
    args = (DOMAIN, type_, draw(st.sampled_from(NAMES)), content, draw(st.booleans()), draw(st.sampled_from([1, 120, 3600, 30])))
    return args, kwargs


def snapshot(standin) -> Counter:
    return Counter((r["name"], r["type"], r["content"], r["proxied"]) for r in standin.records(ZONE_ID))


def write_requests(standin) -> list[dict]:
    return [r for r in sent(standin) if r["method"] != "GET"]


@pytest.fixture
def world(standin, client_env):
    """The session's stand-in, reset for each example by the test itself."""
    return standin


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(listing=zones(), wanted=wanted_records(), failing_create=st.booleans())
def test_reconciliation_invariants(world, listing, wanted, failing_create):
    args, kwargs = wanted
    _, type_, _, _, _, _ = args
    present = bool(kwargs.get("present", True))
    world.reset()
    world.add_zone(DOMAIN, id=ZONE_ID)
    by_id = {}
    for n, record in enumerate(listing, 1):
        by_id[rid(n)] = world.add_record(ZONE_ID, id=rid(n), **record)
    if failing_create:
        world.add_fault("POST", r"/dns_records$", status=503, body=FAILED)
    cf = Cloudflare(api_token=world.token, api_url=world.api_url)
    cf.zone, cf.zone_id = DOMAIN, ZONE_ID
    before = snapshot(world)

    first = cf.dns_ensured_record(*args, **kwargs)
    done = write_requests(world)
    after = snapshot(world)
    methods = [r["method"] for r in done]
    event(f"writes: {' '.join(methods) or 'none'}; answer {first[0]}")

    if not present:
        assert "POST" not in methods and "PUT" not in methods, done
        assert methods in ([], ["DELETE"])
    if type_ in ADDRESSES:
        deleted = [by_id[r["path"].rsplit("/", 1)[1]] for r in done if r["method"] == "DELETE"]
        assert not [r for r in deleted if r["type"] in ADDRESSES - {type_}], deleted
    if isinstance(first[0], int) and first[0] >= 400:
        # Never a write that duplicates a record the listing showed.
        assert json.loads(first[1])["errors"][0]["code"] != 81058, (first, done)
    create_failed = "POST" in methods and not (isinstance(first[0], int) and 200 <= first[0] <= 299)
    if create_failed:
        assert not before - after, (before - after, done)

    world.clear_faults()
    all_written = first[0] == "404" or 200 <= first[0] <= 299
    if all_written:
        world.clear_requests()
        second = cf.dns_ensured_record(*args, **kwargs)
        assert write_requests(world) == [], (first, second)
        assert snapshot(world) == after
