"""The reconciliation's promises to people who run it from cron jobs, checked
on generated zones and randomly spelled wanted records through _nuv and the
stand-in: what it sends is what dns_plan showed, it converges in one call
(the second plans and writes nothing), present=False only ever removes, A
and AAAA never remove each other, a batch swap never leaves the name without
a record, a failing batch leaves the zone exactly as it was, and without the
batch endpoint a failed create loses no record."""

import ipaddress
import json
from collections import Counter

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid, sent
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from nuv import KEEP, Cloudflare

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
    if type_ == "TXT" and draw(st.booleans()):
        record["content"] = f'"{record["content"]}"'  # the service's quoted form
    comment = draw(st.sampled_from([None, "a", "b"]))
    if comment is not None:
        record["comment"] = comment
    return record


@st.composite
def zones(draw):
    records = []
    for candidate in draw(st.lists(listed_record(), max_size=6)):
        if allowed_beside(records, candidate):
            records.append(candidate)
    return records


def respelled_name(draw, name: str) -> str:
    """The same DNS name in other ASCII case, perhaps with a trailing dot."""
    mask = draw(st.integers(0, 2 ** len(name) - 1))
    spelled = "".join(c.upper() if mask >> i & 1 else c for i, c in enumerate(name))
    return spelled + ("." if draw(st.booleans()) else "")


def respelled_content(draw, type_: str, content: str) -> str:
    if type_ == "AAAA":
        address = ipaddress.IPv6Address(content)
        return draw(st.sampled_from([content, address.exploded, address.exploded.upper(), content.upper()]))
    if type_ in ("CNAME", "MX"):
        return respelled_name(draw, content)
    return content


@st.composite
def wanted_records(draw):
    type_ = draw(st.sampled_from(TYPES))
    content = respelled_content(draw, type_, draw(st.sampled_from(CONTENTS[type_])))
    if type_ == "MX":
        content += draw(st.sampled_from(["", "|10", "|20"]))
    kwargs = {}
    for flag in ("present", "replace"):
        value = draw(st.sampled_from([None, True, False, 0, 2]))
        if value is not None:
            kwargs[flag] = value
    if draw(st.booleans()):
        kwargs["comment"] = draw(st.sampled_from(["a", "b"]))
    name = respelled_name(draw, draw(st.sampled_from(NAMES)))
    spelled_type = draw(st.sampled_from([type_, type_.lower()]))
    proxied = draw(st.sampled_from([True, False, KEEP]))
    args = (DOMAIN, spelled_type, name, content, proxied, draw(st.sampled_from([1, 120, 3600, 30, KEEP])))
    return args, kwargs


def snapshot(standin) -> Counter:
    return Counter((r["name"], r["type"], r["content"], r["proxied"]) for r in standin.records(ZONE_ID))


def write_requests(standin) -> list[dict]:
    return [r for r in sent(standin) if r["method"] != "GET"]


def sent_as_plan(requests: list[dict]) -> list[tuple[str, str | None]]:
    """(action, record id) of the writes sent, a batch's items in the order the service applies them."""
    actions = {"POST": "create", "PATCH": "update", "DELETE": "delete"}
    out = []
    for request in requests:
        if request["path"].endswith("/batch"):
            body = json.loads(request["body"])
            out += [("delete", item["id"]) for item in body["deletes"]]
            out += [("update", item["id"]) for item in body["patches"]]
            out += [("create", None) for _ in body["posts"]]
        else:
            record_id = None if request["method"] == "POST" else request["path"].rsplit("/", 1)[1]
            out.append((actions[request["method"]], record_id))
    return out


@pytest.fixture
def world(standin, client_env):
    """The session's stand-in, reset for each example by the test itself."""
    return standin


MODES = ["batch", "failing batch item", "batch refused", "batch refused, failing create"]


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(listing=zones(), wanted=wanted_records(), mode=st.sampled_from(MODES))
def test_reconciliation_invariants(world, listing, wanted, mode):
    args, kwargs = wanted
    _, type_, name, _, _, _ = args
    type_ = type_.upper()
    listed_name = name.rstrip(".").lower()
    present = bool(kwargs.get("present", True))
    world.reset()
    world.add_zone(DOMAIN, id=ZONE_ID)
    by_id = {}
    for n, record in enumerate(listing, 1):
        by_id[rid(n)] = world.add_record(ZONE_ID, id=rid(n), **record)
    # One round: a failing create's 503 is the call's answer, not a reason to list again.
    cf = Cloudflare(api_token=world.token, api_url=world.api_url, retries=0)
    cf.zone, cf.zone_id = DOMAIN, ZONE_ID
    before = world.records(ZONE_ID)
    had_name = any(r["name"] == listed_name for r in before)

    plan = cf.dns_plan(*args, **kwargs)
    assert write_requests(world) == []
    planned = [(w["action"], w["id"]) for w in plan]
    if mode == "failing batch item" and len(plan) > 1:
        section = {"delete": "deletes", "update": "patches", "create": "posts"}[plan[-1]["action"]]
        world.fail_batch_item(section, 0, status=400, code=1004, message="DNS Validation Error")
    if mode.startswith("batch refused"):
        world.refuse_batches(404)
    if mode.endswith("failing create"):
        world.add_fault("POST", r"/dns_records$", status=503, body=FAILED)
    world.clear_history(ZONE_ID)

    first = cf.dns_ensured_record(*args, **kwargs)
    done = write_requests(world)
    methods = [r["method"] for r in done]
    event(f"{mode}; writes: {' '.join(methods) or 'none'}; answer {first[0]}")
    succeeded = first[0] == "404" or 200 <= first[0] <= 299

    # What is sent is the plan (one at a time: the same writes, creates first).
    if mode in ("batch", "failing batch item") or len(plan) < 2:
        assert sent_as_plan(done) == planned, (plan, done)
    elif succeeded:
        assert sorted(sent_as_plan(d for d in done if not d["path"].endswith("/batch")), key=str) == sorted(planned, key=str)
    if not present:
        assert {action for action, _ in planned} <= {"delete"}, plan
    if type_ in ADDRESSES:
        deleted = [by_id[i] for action, i in planned if action == "delete"]
        assert not [r for r in deleted if r["type"] in ADDRESSES - {type_}], deleted
    if isinstance(first[0], int) and first[0] >= 400:
        # Never a write that duplicates a record the listing showed.
        assert json.loads(first[1])["errors"][0]["code"] != 81058, (first, done)
    if mode == "failing batch item" and len(plan) > 1:
        assert world.records(ZONE_ID) == before and first[0] == 400
    if mode == "batch refused, failing create" and not succeeded:
        assert snapshot_of(before) == snapshot(world), done
    if mode == "batch" and had_name and present:
        states = world.history(ZONE_ID, fields=["name"])
        assert all(any(r["name"] == listed_name for r in s["records"]) for s in states), states

    world.clear_faults()
    if succeeded:
        world.clear_requests()
        assert cf.dns_plan(*args, **kwargs) == []
        second = cf.dns_ensured_record(*args, **kwargs)
        assert write_requests(world) == [], (first, second)


def snapshot_of(records) -> Counter:
    return Counter((r["name"], r["type"], r["content"], r["proxied"]) for r in records)
