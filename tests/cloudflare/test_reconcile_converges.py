"""dns_ensured_record settles in one call: how listed and wanted records are
matched, every page of a name, writes as one atomic batch (split, refused,
failing), comments, and dns_plan showing what a call would do."""

import json
import pickle

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, decisions, error_of, result_of, rid, sent, state, writes
from nuv import KEEP

N = f"n.{DOMAIN}"
P = "192.0.2.1"
T = "t.example.net"
RECORDS = f"/client/v4/zones/{ZONE_ID}/dns_records"
BATCH = f"{RECORDS}/batch"


def ensure(cf, *args, **kwargs):
    return cf.dns_ensured_record(DOMAIN, *args, **kwargs)


def bodies(standin, method):
    return [json.loads(r["body"]) for r in sent(standin, method)]


# ----- matching -------------------------------------------------------------

# (seeded record, wanted arguments and keywords, PATCH body of the first call
# or None when it writes nothing). Every case converges: a second call writes
# nothing.
MATCHING = [
    # names: no ASCII case, one trailing dot, IDNA
    (("A", N, P), ("A", "N.Example.COM", P), None),
    (("A", N, P), ("A", f"{N}.", P), None),
    (("A", "xn--bcher-kva.example.com", P), ("A", "bücher.example.com", P), None),
    (("A", "xn--bcher-kva.example.com", P), ("A", "BÜCHER.example.com.", P), None),
    # types without case
    (("AAAA", N, "2001:db8::10"), ("aaaa", N, "2001:db8::10"), None),
    # addresses as addresses
    (("AAAA", N, "2001:db8::10"), ("AAAA", N, "2001:0DB8:0:0::10"), None),
    (("AAAA", N, "::ffff:192.0.2.1"), ("AAAA", N, "0:0:0:0:0:FFFF:C000:0201"), None),
    # targets without case and trailing dot
    (("CNAME", N, T), ("CNAME", N, "T.Example.NET."), None),
    (("MX", N, "mx1.example.net", {"priority": 10}), ("MX", N, "MX1.example.net.|10"), None),
    # TXT: one quoted string is its text
    (("TXT", N, '"v=spf1 -all"'), ("TXT", N, "v=spf1 -all"), None),
    (("TXT", N, '"say \\"hi\\""'), ("TXT", N, 'say "hi"'), None),
    # compared fields: only what differs is sent
    (("A", N, P, {"ttl": 1}), ("A", N, P, False, 300), {"ttl": 300}),
    (("A", N, P, {"ttl": 1, "proxied": False}), ("A", N, P, True, 300), {"proxied": True}),
    (("MX", N, "mx1.example.net", {"priority": 10}), ("MX", N, "mx1.example.net|20"), {"priority": 20}),
    (("TXT", N, "v=a", {"comment": "old"}), ("TXT", N, "v=a", False, 1, {"comment": "new"}), {"comment": "new"}),
    (("TXT", N, "v=a", {"comment": "kept"}), ("TXT", N, "v=a"), None),
    (("TXT", N, "v=a"), ("TXT", N, "v=a", False, 1, {"comment": "set"}), {"comment": "set"}),
    (("A", N, "192.0.2.9", {"ttl": 300}), ("A", N, P, False, 300), {"content": P}),
    # names resolved against the zone: the apex, relative names
    (("A", DOMAIN, P), ("A", "@", P), None),
    (("A", DOMAIN, P), ("A", "", P), None),
    (("A", N, P), ("A", "n", P), None),
    (("A", f"a.{N}", P), ("A", "A.n", P), None),
    # KEEP: what the record has stays, neither compared nor sent
    (("A", N, "192.0.2.9", {"ttl": 300, "comment": "hand"}), ("A", N, P, KEEP, KEEP, {"comment": KEEP}), {"content": P}),
    (("A", N, P, {"proxied": True}), ("A", N, P, KEEP, 300), None),
    (("A", N, P, {"ttl": 120}), ("A", N, P, KEEP, 300), {"ttl": 300}),
    (("A", N, P, {"ttl": 300}), ("A", N, P, True, KEEP), {"proxied": True}),
]


def split_case(seeded, wanted):
    type_, name, content, *rest = seeded
    fields = rest[0] if rest else {}
    type_w, name_w, content_w, *more = wanted
    kwargs = more.pop() if more and isinstance(more[-1], dict) else {}
    proxied, ttl = (more + [False, 1][len(more) :])[:2]
    return (type_, name, content, fields), (type_w, name_w, content_w, proxied, ttl), kwargs


@pytest.mark.parametrize("seeded, wanted, patch", MATCHING)
def test_spellings_and_fields_converge_in_one_call(zcf, seed, fresh_standin, seeded, wanted, patch):
    (type_, name, content, fields), args, kwargs = split_case(seeded, wanted)
    seed(1, type_, name, content, **{"ttl": 1, **fields})
    first = ensure(zcf, *args, **kwargs)
    if patch is None:
        assert writes(fresh_standin) == [], first
    else:
        result_of(first)
        assert writes(fresh_standin) == [("PATCH", f"{RECORDS}/{rid(1)}")]
        assert bodies(fresh_standin, "PATCH") == [patch]
    fresh_standin.clear_requests()
    assert zcf.dns_plan(DOMAIN, *args, **kwargs) == []
    ensure(zcf, *args, **kwargs)
    assert writes(fresh_standin) == []


@pytest.mark.parametrize(
    "name, full",
    [("@", DOMAIN), ("", DOMAIN), ("home", f"home.{DOMAIN}"), ("vpn.home", f"vpn.home.{DOMAIN}"), (f"Home.{DOMAIN}.", f"Home.{DOMAIN}")],
)
def test_a_created_record_has_the_resolved_name_and_kept_fields_their_defaults(zcf, fresh_standin, name, full):
    (planned,) = zcf.dns_plan(DOMAIN, "A", name, P, KEEP, KEEP, comment=KEEP)
    assert (planned["name"], planned["changes"]) == (full, {})
    result_of(ensure(zcf, "A", name, P, KEEP, KEEP, comment=KEEP))
    assert bodies(fresh_standin, "POST") == [{"content": P, "name": full, "proxied": False, "type": "A", "ttl": 1}]
    assert sent(fresh_standin)[0]["query"]["name"] == [full.lower()]
    assert pickle.loads(pickle.dumps(KEEP)) is KEEP


@pytest.mark.parametrize("name", [f"home.{DOMAIN}.evil.", "example.net.", "."])
def test_a_name_outside_the_zone_is_refused_before_any_request(zcf, fresh_standin, name):
    for call in (zcf.dns_plan, zcf.dns_ensured_record):
        with pytest.raises(ValueError, match=r"is not in the zone example\.com|the DNS root"):
            call(DOMAIN, "A", name, P, False, 1)
    assert sent(fresh_standin) == []


def test_plan_shows_each_change_old_and_new(zcf, seed):
    seed(1, "A", N, P, ttl=1, comment="a")
    (write,) = zcf.dns_plan(DOMAIN, "A", N, "192.0.2.2", True, 1, comment="b")
    assert write["changes"] == {
        "content": {"old": P, "new": "192.0.2.2"}, "proxied": {"old": False, "new": True}, "comment": {"old": "a", "new": "b"},
    }  # fmt: skip


def test_listing_asks_for_the_stored_form_of_the_name(zcf, fresh_standin):
    ensure(zcf, "A", "BÜCHER.Example.com.", P, False, 1, present=False)
    assert sent(fresh_standin)[0]["query"]["name"] == ["xn--bcher-kva.example.com"]


def test_an_update_keeps_what_it_was_not_asked_to_change(zcf, seed, fresh_standin):
    seed(1, "A", N, P, ttl=1, comment="owner: ops", tags=["team:dns"])
    result = result_of(ensure(zcf, "A", N, "192.0.2.2", False, 300))
    assert (result["content"], result["ttl"], result["comment"], result["tags"]) == ("192.0.2.2", 300, "owner: ops", ["team:dns"])


def test_comment_is_sent_by_the_record_writes(zcf, fresh_standin):
    created = result_of(zcf.dns_create_record("TXT", N, "v=a", False, 1, comment="by nuv"))
    assert bodies(fresh_standin, "POST")[0]["comment"] == "by nuv"
    updated = result_of(zcf.dns_update_record(created["id"], "TXT", N, "v=b", False, 1, comment=None))
    assert "comment" not in bodies(fresh_standin, "PUT")[0] and updated["comment"] is None
    with pytest.raises(TypeError, match="comment must be str or None"):
        zcf.dns_create_record("TXT", N, "v=a", False, 1, comment=5)


# ----- every page -----------------------------------------------------------


def test_record_on_the_third_page_of_its_name_is_found(zcf, seed, fresh_standin):
    for i in range(250):
        seed(i + 1, "A", N, f"192.0.{i // 200}.{i % 200 + 1}")
    status, body = ensure(zcf, "A", N, "192.0.1.50", False, 1)
    assert status == 200 and writes(fresh_standin) == []
    assert [r["query"].get("page") for r in sent(fresh_standin)] == [None, ["2"], ["3"]]
    assert json.loads(body)["result_info"]["page"] == 1  # the first page's answer
    assert len(zcf.dns_plan(DOMAIN, "A", N, "192.0.1.50", False, 1)) == 0


def test_too_many_pages_write_nothing(zcf, fresh_standin):
    listing = {"success": True, "errors": [], "messages": [], "result": [], "result_info": {"page": 1, "total_pages": 101}}
    fresh_standin.add_fault("GET", r"/dns_records$", status=200, body=listing)
    with pytest.raises(Exception, match=rf"^The records of {N} fill 101 pages, more than the 100 this call reads"):
        ensure(zcf, "A", N, P, False, 1)
    assert len(sent(fresh_standin)) == 1


# ----- batches ----------------------------------------------------------------


def no_state_lacks(standin, name):
    return all(any(r["name"] == name for r in s["records"]) for s in standin.history(ZONE_ID, fields=["name"]))


@pytest.mark.parametrize("listed, wanted", [([("A", P), ("AAAA", "2001:db8::1")], ("CNAME", T)), ([("CNAME", T)], ("A", P))])
def test_swap_is_one_batch_and_the_name_never_disappears(zcf, seed, fresh_standin, listed, wanted):
    for n, (type_, content) in enumerate(listed, 1):
        seed(n, type_, N, content)
    fresh_standin.clear_history(ZONE_ID)
    assert result_of(ensure(zcf, wanted[0], N, wanted[1], False, 1))["type"] == wanted[0]
    assert writes(fresh_standin) == [("POST", BATCH)]
    assert state(fresh_standin) == [(N, wanted[0], wanted[1], False)]
    assert no_state_lacks(fresh_standin, N)


@pytest.mark.parametrize("refusal", [400, 403, 404, 405])
def test_refused_batch_falls_back_to_one_write_at_a_time(zcf, seed, fresh_standin, capfd, refusal):
    seed(1, "CNAME", N, T)
    fresh_standin.refuse_batches(refusal)
    assert result_of(ensure(zcf, "A", N, P, False, 1))["type"] == "A"
    assert writes(fresh_standin) == [("POST", BATCH), ("DELETE", f"{RECORDS}/{rid(1)}"), ("POST", RECORDS)]
    assert f"batch unavailable ({refusal}): sending the 2 writes one at a time" in decisions(capfd)
    assert state(fresh_standin) == [(N, "A", P, False)]


# A 404 with a record's error code is a failed item, not a missing endpoint.
@pytest.mark.parametrize("status, code, message", [(400, 1004, "DNS Validation Error"), (404, 81044, "Record does not exist.")])
def test_failed_batch_item_leaves_the_zone_as_it_was(zcf, seed, fresh_standin, status, code, message):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    before = fresh_standin.records(ZONE_ID)
    fresh_standin.fail_batch_item("deletes", 1, status=status, code=code, message=message)
    assert error_of(ensure(zcf, "TXT", N, "v=c", False, 1)) == (status, code, message)
    assert fresh_standin.records(ZONE_ID) == before
    assert writes(fresh_standin) == [("POST", BATCH)]


def test_large_replacement_is_split_into_batches_of_200(zcf, seed, fresh_standin, capfd):
    for i in range(250):
        seed(i + 1, "TXT", N, f"v={i}")
    fresh_standin.clear_history(ZONE_ID)
    result_of(ensure(zcf, "TXT", N, "v=new", False, 1))
    assert writes(fresh_standin) == [("POST", BATCH), ("POST", BATCH)]
    first, second = (json.loads(r["body"]) for r in sent(fresh_standin, "POST"))
    # The wanted value goes in with the first part: the name always holds it or the old ones.
    assert (len(first["deletes"]), len(first["posts"]), len(second["deletes"])) == (199, 1, 51)
    lines = decisions(capfd)
    assert "batch split: 251 writes in 2 batches of at most 200, each all or nothing" in lines
    assert sum(line.startswith(("batch 1/2: ", "batch 2/2: ")) for line in lines) == 2
    assert state(fresh_standin) == [(N, "TXT", "v=new", False)]
    assert no_state_lacks(fresh_standin, N)


# ----- dns_plan -------------------------------------------------------------


def test_plan_lists_the_writes_and_sends_none(zcf, seed, fresh_standin):
    seed(1, "TXT", N, "v=a", ttl=1)
    seed(2, "TXT", N, "v=b", ttl=1, comment="c")
    plan = zcf.dns_plan(DOMAIN, "TXT", N, "v=c", False, 300)
    assert writes(fresh_standin) == []
    common = {"type": "TXT", "name": N, "proxied": False, "priority": None}
    assert plan == [
        {"action": "delete", "id": rid(1), "content": "v=a", "ttl": 1, "comment": None, "reason": "stale TXT value", "changes": {}, **common},
        {"action": "delete", "id": rid(2), "content": "v=b", "ttl": 1, "comment": "c", "reason": "stale TXT value", "changes": {}, **common},
        {"action": "create", "id": None, "content": "v=c", "ttl": 300, "comment": None, "reason": "missing", "changes": {}, **common},
    ]


def test_plan_of_an_update_shows_the_record_it_leaves(zcf, seed):
    seed(1, "MX", N, "mx1.example.net", priority=10, ttl=1, comment="mail")
    (write,) = zcf.dns_plan(DOMAIN, "mx", N, "mx2.example.net|20", True, 1)
    assert write == {
        "action": "update", "id": rid(1), "type": "MX", "name": N, "content": "mx2.example.net", "proxied": False,
        "ttl": 1, "priority": 20, "comment": "mail", "reason": "content differs, priority differs",
        "changes": {"content": {"old": "mx1.example.net", "new": "mx2.example.net"}, "priority": {"old": 10, "new": 20}},
    }  # fmt: skip


def test_plan_takes_the_arguments_of_dns_ensured_record(zcf, fresh_standin):
    with pytest.raises(OverflowError):
        zcf.dns_plan(DOMAIN, "A", N, P, False, -1)
    with pytest.raises(TypeError):
        zcf.dns_plan(DOMAIN, "A", N, P, False, 1, True, True, None, "extra")
    assert zcf.dns_plan(domain=DOMAIN, type="A", name=N, content=P, proxied=False, ttl=1, present=False, replace=True, comment=None) == []
    assert sent(fresh_standin, "POST") == []
