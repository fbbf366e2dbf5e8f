"""Whole-zone sync: the plan against the stand-in, what is sent, the scope,
the safety threshold, batches and their failures."""

import json

import _nuv
import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid, sent
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from nuv import Cloudflare, CloudflareError, UnsafeSyncError
from support import TEST_WAIT_SCALE

W = f"www.{DOMAIN}"
A1 = {"type": "A", "name": "www", "content": "192.0.2.1"}
CAA = {"type": "CAA", "name": "@", "content": '0 issue "ca.example"', "data": {"flags": 0, "tag": "issue", "value": "ca.example"}}
SRV = {"type": "SRV", "name": "_sip._tcp", "content": "5 5060 sip.example.net", "data": {"priority": 1, "weight": 5, "port": 5060, "target": "sip.example.net"}}
DS = {"type": "DS", "name": "@", "content": "1 13 2 ABCD", "data": {"key_tag": 1, "algorithm": 13, "digest_type": 2, "digest": "ABCD"}}


def summary(plan):
    return [(w["action"], w["type"], w["name"], sorted(w["changes"])) for w in plan]


def batches(standin):
    return [json.loads(r["body"]) for r in sent(standin, "POST") if r["path"].endswith("/batch")]


def sent_writes(standin):
    """(action, id or content) of every batch item, in the order sent."""
    out = []
    for body in batches(standin):
        out += [("delete", i["id"]) for i in body["deletes"]]
        out += [("update", i["id"]) for i in body["patches"]]
        out += [("create", i.get("data", i.get("content"))) for i in body["posts"]]
    return out


def planned_writes(plan):
    return [(w["action"], w.get("data", w["content"]) if w["action"] == "create" else w["id"]) for w in plan if w["action"] != "skip"]


@pytest.mark.parametrize(
    ("listed", "wanted", "expected"),
    [
        ([], [A1], [("create", "A", W, [])]),
        ([A1], [dict(A1, content="192.0.2.2")], [("update", "A", W, ["content"])]),
        ([A1], [dict(A1, ttl=300)], [("update", "A", W, ["ttl"])]),
        ([A1], [dict(A1, proxied=True, ttl=300)], [("update", "A", W, ["proxied"])]),
        ([dict(A1, ttl=300, comment="c", tags=["a:1"])], [A1], []),  # left out: kept
        ([dict(A1, comment="c")], [dict(A1, comment="d", tags=["b:2"])], [("update", "A", W, ["comment", "tags"])]),
        ([A1], [], [("delete", "A", W, [])]),
        ([dict(A1, content="2001:DB8::1", type="AAAA")], [dict(A1, type="AAAA", content="2001:db8:0::1")], []),
        ([{"type": "TXT", "name": "@", "content": '"v=1"'}], [{"type": "txt", "name": "", "content": "v=1"}], []),
        (
            [{"type": "MX", "name": "@", "content": "mx.example.net", "priority": 10}],
            [{"type": "MX", "name": f"{DOMAIN}.", "content": "MX.example.net.", "priority": 20}],
            [("update", "MX", DOMAIN, ["priority"])],
        ),
        ([A1], [{"type": "CNAME", "name": "www", "content": "t.example.net"}], [("delete", "A", W, []), ("create", "CNAME", W, [])]),
        (
            [{"type": "NS", "name": "@", "content": "ada.ns.cloudflare.com"}, {"type": "SOA", "name": "@", "content": "x"}],
            [],
            [],  # the apex NS and SOA are the service's
        ),
        # Records described by data: compared by their data as the service stores it.
        ([], [CAA], [("create", "CAA", DOMAIN, [])]),
        ([CAA], [{"type": "caa", "name": "@", "data": {"flags": "0", "tag": "ISSUE", "value": "ca.example"}}], []),
        ([SRV], [dict(SRV, content="?", data=dict(SRV["data"], port=5060.0, target="SIP.example.net.", priority=None), priority=1)], []),
        ([DS], [dict(DS, data=dict(DS["data"], digest="ab cd"))], []),
        ([dict(CAA, data=None)], [CAA], []),  # a listing without data: by content
        ([CAA], [dict(CAA, data=dict(CAA["data"], value="pki.example"))], [("update", "CAA", DOMAIN, ["data"])]),
        ([SRV], [dict(SRV, data=dict(SRV["data"], priority=2))], [("update", "SRV", f"_sip._tcp.{DOMAIN}", ["data"])]),
    ],
)
def test_plan_and_sync(zcf, seed, fresh_standin, listed, wanted, expected):
    for n, record in enumerate(listed, 1):
        seed(n, **record)
    plan = zcf.dns_sync_plan(wanted)
    assert summary(plan) == expected
    assert sent(fresh_standin, "POST") == []
    done = zcf.dns_sync(wanted)
    assert sent_writes(fresh_standin) == planned_writes(plan) and done["writes"] == plan
    assert done["batches"] == (1 if plan else 0)
    assert zcf.dns_sync_plan(wanted) == []
    if expected and expected[0][0] == "delete" and len(expected) == 2:  # a type change in one batch
        assert all(any(r["name"] == W for r in s["records"]) for s in fresh_standin.history(ZONE_ID, ["name"]))


SCOPED = [
    {"type": "A", "name": "a", "content": "192.0.2.1", "comment": "owner=ci"},
    {"type": "A", "name": "b", "content": "192.0.2.2", "comment": "hand made"},
    {"type": "TXT", "name": "a", "content": "t", "comment": "owner=ci team:x"},
    {"type": "CNAME", "name": "c", "content": "t.example.net"},
]


@pytest.mark.parametrize(
    ("scope", "wanted", "expected"),
    [
        ({"scope": ["a", f"b.{DOMAIN}."]}, [], [("delete", "A", f"a.{DOMAIN}"), ("delete", "TXT", f"a.{DOMAIN}"), ("delete", "A", f"b.{DOMAIN}")]),
        ({"types": ["txt"]}, [], [("delete", "TXT", f"a.{DOMAIN}")]),
        ({"owner": "ci"}, [], [("delete", "A", f"a.{DOMAIN}"), ("delete", "TXT", f"a.{DOMAIN}")]),
        ({"owned_only": r"^hand"}, [], [("delete", "A", f"b.{DOMAIN}")]),
        (
            {"owner": "ci"},
            [{"type": "A", "name": "b", "content": "192.0.2.2"}, {"type": "A", "name": "c", "content": "192.0.2.3"}, {"type": "A", "name": "d", "content": "192.0.2.4"}],
            [("delete", "A", f"a.{DOMAIN}"), ("delete", "TXT", f"a.{DOMAIN}"), ("create", "A", f"d.{DOMAIN}"), ("skip", "A", f"b.{DOMAIN}"), ("skip", "A", f"c.{DOMAIN}")],
        ),
    ],
)
def test_records_outside_the_scope_are_never_written(zcf, seed, fresh_standin, scope, wanted, expected):
    for n, record in enumerate(SCOPED, 1):
        seed(n, **record)
    plan = zcf.dns_sync_plan(wanted, **scope)
    assert [(w["action"], w["type"], w["name"]) for w in plan] == expected
    done = zcf.dns_sync(wanted, **scope)
    assert [w["action"] for w in done["skipped"]] == ["skip"] * sum(a == "skip" for a, _, _ in expected)
    touched = {i for a, i in sent_writes(fresh_standin) if a != "create"}
    assert all(rid(n) not in touched or expected for n in range(1, 5))
    created = [r for r in fresh_standin.records(ZONE_ID) if r["name"] == f"d.{DOMAIN}"]
    if created:
        assert created[0]["comment"] == "owner=ci"  # the marker goes into what it creates
    assert [w for w in zcf.dns_sync_plan(wanted, **scope) if w["action"] != "skip"] == []


@pytest.mark.parametrize(
    ("changed", "kwargs", "refused"),
    [(3, {}, False), (4, {}, True), (4, {"force": True}, False), (4, {"threshold": 0.5}, False), (9, {"threshold": 1.0}, False)],
)
def test_threshold_refuses_large_changes_unless_forced(zcf, seed, fresh_standin, changed, kwargs, refused):
    wanted = [{"type": "A", "name": f"h{n}", "content": f"192.0.2.{n}"} for n in range(10)]
    for n, record in enumerate(wanted):
        seed(n + 1, **record)
    wanted = [dict(w, content=f"198.51.100.{n}") if n < changed else w for n, w in enumerate(wanted)]
    if not refused:
        assert len(zcf.dns_sync(wanted, **kwargs)["writes"]) == changed
        return
    with pytest.raises(UnsafeSyncError, match="updates 4 and deletes 0 of the 10 records") as raised:
        zcf.dns_sync_plan(wanted, **kwargs)
    assert (raised.value.updates, raised.value.deletes, raised.value.existing, raised.value.threshold) == (4, 0, 10, 0.3)
    with pytest.raises(UnsafeSyncError):
        zcf.dns_sync(wanted[:6], **kwargs)  # deletes count as well
    assert sent(fresh_standin, "POST") == []


@pytest.mark.parametrize(
    ("wanted", "kwargs", "error"),
    [
        ([dict(A1, name="www.example.org.")], {}, "not in the zone"),
        ([A1, dict(A1, ttl=300)], {}, "same record"),
        ([A1, {"type": "CNAME", "name": "www", "content": "t.example.net"}], {}, "CNAME shares"),
        ([dict(A1, comment="x" * 95)], {"owner": "ci"}, "longer than the 100"),
        ([dict(A1, proxied="false")], {}, "must be a bool"),
        ([{"type": "TXT", "name": "t", "content": "x", "proxied": True}], {}, "can be proxied"),
        ([A1], {"owned_only": "("}, "not a regular expression"),
        ([A1], {"threshold": 2}, "between 0 and 1"),
        ([dict(CAA, data={"flags": 0, "tag": "issue"})], {}, "CAA record needs 'value'"),
        ([dict(CAA, data=dict(CAA["data"], flags="zero"))], {}, "'flags' is not a number"),
        ([dict(CAA, data=dict(CAA["data"], flags=True))], {}, "'flags' must be a number"),
        ([dict(CAA, data='0 issue "ca.example"')], {}, "'data' must be a dict"),
    ],
)
def test_wanted_state_the_service_would_refuse_raises_before_any_write(zcf, fresh_standin, wanted, kwargs, error):
    with pytest.raises((ValueError, TypeError), match=error):
        zcf.dns_sync(wanted, **kwargs)
    assert sent(fresh_standin, "POST") == []


def paid_zone(standin, client_env, records=0):
    zone = standin.add_zone(DOMAIN, id=ZONE_ID, plan="pro")
    cf = Cloudflare(api_token=standin.token, api_url=standin.api_url)
    wanted = [{"type": "A", "name": f"h{n}", "content": f"10.0.{n // 250}.{n % 250}"} for n in range(records)]
    standin.clear_requests()
    return zone, cf, wanted


def test_cold_sync_is_a_look_up_a_listing_and_full_batches(fresh_standin, client_env):
    _, cf, wanted = paid_zone(fresh_standin, client_env, 4000)
    done = cf.dns_sync(wanted, DOMAIN)
    assert (done["requests"], done["batches"], len(done["writes"])) == (4, 2, 4000)
    assert [len(b["posts"]) for b in batches(fresh_standin)] == [3500, 500]
    unchanged = Cloudflare(api_token=fresh_standin.token, api_url=fresh_standin.api_url).dns_sync(wanted, DOMAIN)
    assert (unchanged["requests"], unchanged["batches"]) == (2, 0)


def test_a_batch_refused_as_too_large_steps_down(fresh_standin, client_env):
    _, cf, wanted = paid_zone(fresh_standin, client_env, 450)
    too_many = {"success": False, "errors": [{"code": 1004, "message": "DNS Validation Error", "error_chain": [{"code": 81069, "message": "Too many records"}]}], "messages": [], "result": None}
    fresh_standin.fault(r"/batch$", status=400, body=too_many)
    done = cf.dns_sync(wanted, DOMAIN)
    assert [len(b["posts"]) for b in batches(fresh_standin)] == [450, 200, 200, 50]
    assert (done["requests"], done["batches"], len(fresh_standin.records(ZONE_ID))) == (6, 4, 450)


def test_a_refused_record_is_found_by_halving(fresh_standin, client_env):
    _, cf, wanted = paid_zone(fresh_standin, client_env, 40)
    wanted[29] = dict(wanted[29], content="not-an-address")
    with pytest.raises(CloudflareError, match="refused create A h29.example.com not-an-address: HTTP 400: 9005") as raised:
        cf.dns_sync(wanted, DOMAIN)
    error = raised.value
    assert error.record["content"] == "not-an-address" and error.records == [error.record]
    sizes = [len(b["posts"]) for b in batches(fresh_standin)]
    assert sizes[0] == 40 and len(sizes) <= 1 + 2 * 6 and sizes[-1] == 1
    stored = {r["content"] for r in fresh_standin.records(ZONE_ID)}
    assert {w["content"] for w in error.applied} == stored and len(stored) >= 20 and "not-an-address" not in stored


def test_a_lost_batch_answer_lists_again_instead_of_sending_it_twice(fresh_standin, client_env):
    _, cf, wanted = paid_zone(fresh_standin, client_env, 30)
    fresh_standin.fault(r"/batch$", drop=True, processed=True)
    done = cf.dns_sync(wanted, DOMAIN)
    assert len(batches(fresh_standin)) == 1 and len(fresh_standin.records(ZONE_ID)) == 30
    assert done["requests"] == 4 and cf.dns_sync_plan(wanted, DOMAIN) == []


NAMES = ["@", "a", "b"]
CONTENTS = {"A": ["192.0.2.1", "192.0.2.2"], "TXT": ["x", "y"], "MX": ["mx1.example.net", "mx2.example.net"], "CNAME": ["t.example.net"], "CAA": ['0 issue "a"', '0 issue "b"']}


@st.composite
def record_sets(draw):
    records, names_with = [], {}
    for name, type_, content in draw(st.lists(st.tuples(st.sampled_from(NAMES), st.sampled_from(sorted(CONTENTS)), st.integers(0, 1)), max_size=8)):
        content = CONTENTS[type_][content % len(CONTENTS[type_])]
        held = names_with.setdefault(name, set())
        if (name, type_, content) in {(r["name"], r["type"], r["content"]) for r in records}:
            continue
        if (type_ == "CNAME" and (held or name == "@")) or (type_ != "CNAME" and "CNAME" in held):
            continue
        held.add(type_)
        record = {"name": name, "type": type_, "content": content, "ttl": draw(st.sampled_from([1, 300]))}
        if type_ == "MX":
            record["priority"] = draw(st.sampled_from([10, 20]))
        if type_ == "CAA":
            record["data"] = {"flags": 0, "tag": "issue", "value": content[9:-1]}
        if draw(st.booleans()):
            record["comment"] = draw(st.sampled_from(["c", "owner=ci"]))
        records.append(record)
    return records


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(listed=record_sets(), wanted=record_sets(), owner=st.sampled_from([None, "ci"]))
def test_what_is_sent_is_the_plan_and_a_second_sync_plans_nothing(standin, client_env, listed, wanted, owner):
    standin.reset()
    standin.add_zone(DOMAIN, id=ZONE_ID)
    for n, record in enumerate(listed, 1):
        standin.add_record(ZONE_ID, id=rid(n), **record)
    cf = Cloudflare(api_token=standin.token, api_url=standin.api_url, zone_id=ZONE_ID)
    plan = cf.dns_sync_plan(wanted, DOMAIN, owner=owner, force=True)
    done = cf.dns_sync(wanted, DOMAIN, owner=owner, force=True)
    assert sent_writes(standin) == planned_writes(plan) and done["writes"] == [w for w in plan if w["action"] != "skip"]
    assert [w for w in cf.dns_sync_plan(wanted, DOMAIN, owner=owner) if w["action"] != "skip"] == []


def test_the_service_quota_paces_the_batches(fresh_standin, client_env, capfd):
    fresh_standin.add_zone(DOMAIN, id=ZONE_ID, record_quota=None)
    fresh_standin.set_rate_limit(3, window=4.0)  # wide enough that a loaded machine still meets it
    cf = Cloudflare(api_token=fresh_standin.token, api_url=fresh_standin.api_url, zone_id=ZONE_ID)
    wanted = [{"type": "TXT", "name": f"t{n}", "content": "v"} for n in range(250)]
    _nuv._set_wait_scale(1.0)  # the service's window is not scaled
    try:
        done = cf.dns_sync(wanted, DOMAIN)
    finally:
        _nuv._set_wait_scale(TEST_WAIT_SCALE)
    trace = capfd.readouterr().out
    assert "none of the token's requests are left, waiting" in trace and "retry" not in trace
    assert (done["requests"], done["batches"]) == (4, 2)


def test_without_the_batch_endpoint_a_sync_says_so(zcf, fresh_standin):
    fresh_standin.refuse_batches(404)
    with pytest.raises(CloudflareError, match="batch endpoint is not available") as raised:
        zcf.dns_sync([A1])
    assert raised.value.applied == [] and raised.value.record is None


@pytest.mark.parametrize(
    ("records", "keywords", "requests"),
    [
        (150, {"zone_id": ZONE_ID}, 3),  # the zone's details (name, plan), the listing, one batch
        (150, {"zone_id": ZONE_ID, "domain": DOMAIN}, 2),  # one batch fits any plan: no details
        (250, {"zone_id": ZONE_ID, "domain": DOMAIN}, 3),  # the plan's batch size is read when it matters
        (250, {"zone_id": ZONE_ID, "domain": "example.org"}, None),
        (1, {"zone_id": ZONE_ID, "domain": "example.org"}, None),  # its records say so
    ],
)
def test_the_zones_details_are_read_only_when_needed(fresh_standin, client_env, records, keywords, requests):
    _, cf, wanted = paid_zone(fresh_standin, client_env, records)
    fresh_standin.add_record(ZONE_ID, type="TXT", name="@", content="x")
    domain = keywords.pop("domain", None)
    if requests is None:
        with pytest.raises(ValueError, match=f"(is the zone {DOMAIN}, not|holds {DOMAIN}, which is not in) example.org"):
            cf.dns_sync(wanted, domain, **keywords)
        return
    done = cf.dns_sync(wanted, domain, **keywords)
    assert (done["requests"], done["batches"], len(fresh_standin.records(ZONE_ID))) == (requests, 1, records)  # the TXT is not wanted
