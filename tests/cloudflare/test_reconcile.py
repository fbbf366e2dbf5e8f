"""dns_ensured_record against the stand-in: the worked cases, each with the
requests it makes, the trace lines it prints and the value it returns."""

import json

import pytest
from cloudflare_support import (
    DOMAIN,
    OTHER_DOMAIN,
    OTHER_ZONE_ID,
    ZONE_ID,
    client_for,
    decisions,
    error_of,
    result_of,
    rid,
    sent,
    state,
    writes,
)
from nuv import AuthenticationError, CloudflareError, RateLimitedError
from support import trace_lines

N = f"n.{DOMAIN}"
P, Q = "192.0.2.1", "192.0.2.2"
T = "t.example.net"
H1, H2 = "mx1.example.net", "mx2.example.net"
RECORDS = f"/client/v4/zones/{ZONE_ID}/dns_records"
LISTING = f"{RECORDS}?&name={N}"
BATCH = f"{RECORDS}/batch"
CURRENT = f"current_domain: {DOMAIN}"
DIFFERS = "record found content or proxy not the same: {} {}, {}, {}, {}"


def ensure(cf, *args, **kwargs):
    return cf.dns_ensured_record(DOMAIN, *args, **kwargs)


def listed_by_fault(standin, *records):
    """The next listing answers with these elements, in this order."""
    body = {"success": True, "errors": [], "messages": [], "result": list(records)}
    standin.add_fault("GET", r"/dns_records$", status=200, body=body)


def element(n, type_, name, content, proxied=False, **extra):
    return {"id": rid(n), "name": name, "type": type_, "content": content, "proxied": proxied, "ttl": 1, **extra}


def body_of(request):
    return json.loads(request["body"])


@pytest.fixture
def one_at_a_time(zcf, fresh_standin):
    """The batch endpoint refused as missing: the writes go out one by one."""
    fresh_standin.refuse_batches(404)
    return zcf


def batch_of(standin):
    (batch,) = [r for r in sent(standin, "POST") if r["target"] == BATCH]
    return body_of(batch)


# ----- empty listing and nothing to decide --------------------------------


def test_empty_listing_creates_the_wanted_record(zcf, fresh_standin, capfd):
    response = ensure(zcf, "A", N, P, True, 1)
    assert result_of(response)["content"] == P
    get, post = sent(fresh_standin)
    assert get["target"] == LISTING
    assert (post["method"], post["target"]) == ("POST", RECORDS)
    assert body_of(post) == {"content": P, "name": N, "proxied": True, "type": "A", "ttl": 1}
    assert decisions(capfd) == [CURRENT]


def test_empty_listing_and_present_false(zcf, fresh_standin):
    assert ensure(zcf, "A", N, P, True, 1, 0) == ("404", f"Record not found: {N}, A, {P}, 1")
    assert writes(fresh_standin) == []


def test_records_of_other_names_are_not_even_listed(zcf, seed, fresh_standin):
    seed(1, "A", f"other.{DOMAIN}", P)
    assert ensure(zcf, "A", N, P, True, 1, present=False) == ("404", f"Record not found: {N}, A, {P}, 1")
    assert result_of(ensure(zcf, "A", N, P, True, 1))["name"] == N


def test_same_name_records_that_decide_nothing(zcf, seed, fresh_standin):
    seed(1, "AAAA", N, "2001:db8::1")
    seed(2, "MX", N, H1, priority=10)
    assert ensure(zcf, "A", N, P, False, 1, 0) == ("404", f"Nothing to do, Record not found: {N}, A, {P}, 0")
    assert writes(fresh_standin) == []
    result_of(ensure(zcf, "A", N, P, False, 1))
    assert writes(fresh_standin) == [("POST", RECORDS)]


def test_record_beyond_the_first_page_is_found_by_its_name(zcf, fresh_standin):
    for i in range(119):
        fresh_standin.add_record(ZONE_ID, type="A", name=f"h{i}", content=P)
    fresh_standin.add_record(ZONE_ID, id=rid(1), type="A", name=N, content=P, proxied=True)
    assert len(result_of(zcf.dns_get_records())) == 100
    fresh_standin.clear_requests()
    status, body = ensure(zcf, "A", N, P, True, 1)
    assert [r["id"] for r in json.loads(body)["result"]] == [rid(1)]
    assert writes(fresh_standin) == []


# ----- a record with the wanted content exists ----------------------------


def test_unchanged_returns_the_listings_own_answer(zcf, seed, fresh_standin, capfd):
    seed(1, "A", N, P, proxied=True)
    listing = zcf.dns_get_records(name=N)
    capfd.readouterr()
    assert ensure(zcf, "A", N, P, True, 3600) == listing
    assert writes(fresh_standin) == []
    assert decisions(capfd) == [CURRENT]


def test_other_proxied_flag_updates_the_record(zcf, seed, fresh_standin, capfd):
    seed(1, "A", N, P, proxied=True)
    result_of(ensure(zcf, "A", N, P, False, 1))
    (patch,) = sent(fresh_standin, "PATCH")
    assert patch["target"] == f"{RECORDS}/{rid(1)}"
    assert body_of(patch) == {"proxied": False}
    assert decisions(capfd) == [CURRENT, DIFFERS.format(rid(1), N, "A", P, 1)]


@pytest.mark.parametrize("present", [0, False])
def test_present_false_deletes_the_exact_record(zcf, seed, fresh_standin, capfd, present):
    seed(1, "A", N, P, proxied=True)
    assert result_of(ensure(zcf, "A", N, P, True, 1, present)) == {"id": rid(1)}
    assert writes(fresh_standin) == [("DELETE", f"{RECORDS}/{rid(1)}")]
    assert decisions(capfd) == [CURRENT, f"record found delete: {rid(1)} {N}, A, {P}, 1"]


def test_match_is_looked_for_before_walking(zcf, seed, fresh_standin):
    seed(1, "A", N, Q)
    seed(2, "A", N, P)
    seed(3, "TXT", N, "v=a")
    seed(4, "TXT", N, "v=c")
    assert ensure(zcf, "A", N, P, False, 1)[0] == 200
    assert ensure(zcf, "TXT", N, "v=c", False, 1, True, False)[0] == 200
    assert writes(fresh_standin) == []


def test_match_after_a_cname_in_the_listing_is_unchanged(zcf, seed, fresh_standin):
    seed(1, "A", N, P, proxied=True)
    listed_by_fault(fresh_standin, element(2, "CNAME", N, T), element(1, "A", N, P, True))
    status, body = ensure(zcf, "A", N, P, True, 1)
    assert [r["id"] for r in json.loads(body)["result"]] == [rid(2), rid(1)]
    assert writes(fresh_standin) == []


def test_later_match_with_other_proxied_flag_is_the_one_updated(zcf, seed, fresh_standin, capfd):
    seed(1, "A", N, Q)
    seed(2, "A", N, P)
    result_of(ensure(zcf, "A", N, P, True, 1))
    assert writes(fresh_standin) == [("PATCH", f"{RECORDS}/{rid(2)}")]
    assert decisions(capfd)[1:] == [DIFFERS.format(rid(2), N, "A", P, 0)]
    assert state(fresh_standin) == [(N, "A", Q, False), (N, "A", P, True)]


def test_txt_match_with_replace_removes_the_other_txt_records(zcf, seed, fresh_standin, capfd):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=c")
    seed(3, "TXT", N, "v=b")
    seed(4, "A", N, P)
    status, body = ensure(zcf, "TXT", N, "v=c", True, 1)
    assert status == 200 and len(json.loads(body)["result"]) == 4  # the listing's answer
    assert writes(fresh_standin) == [("POST", BATCH)]
    assert batch_of(fresh_standin) == {"deletes": [{"id": rid(1)}, {"id": rid(3)}], "patches": [], "posts": []}
    assert decisions(capfd)[1:] == [
        DIFFERS.format(rid(1), N, "TXT", "v=a", 0),
        DIFFERS.format(rid(3), N, "TXT", "v=b", 0),
        f"batch 1/1: delete {rid(1)}, {rid(3)}; update -; create -",
    ]
    assert state(fresh_standin) == [(N, "TXT", "v=c", False), (N, "A", P, False)]


def test_txt_is_never_proxied(zcf, seed, fresh_standin):
    seed(1, "TXT", N, "v=c")
    assert ensure(zcf, "TXT", N, "v=c", True, 1)[0] == 200
    assert writes(fresh_standin) == []


# ----- CNAME against A and AAAA -------------------------------------------


@pytest.mark.parametrize("extra", [(), (True,), (True, 0)])
def test_cname_is_swapped_for_an_address(zcf, seed, fresh_standin, capfd, extra):
    seed(1, "CNAME", N, T)
    result = result_of(ensure(zcf, "A", N, P, False, 1, *extra))
    assert writes(fresh_standin) == [("POST", BATCH)]
    assert batch_of(fresh_standin)["deletes"] == [{"id": rid(1)}]
    assert state(fresh_standin) == [(N, "A", P, False)]
    assert result["type"] == "A"
    assert decisions(capfd) == [CURRENT, f"record found: {rid(1)} {N}, CNAME, {T}, 0", f"batch 1/1: delete {rid(1)}; update -; create A {N} {P}"]


def test_cname_swap_with_present_false_touches_nothing(zcf, seed, fresh_standin):
    seed(1, "CNAME", N, T)
    assert ensure(zcf, "A", N, P, False, 1, 0) == ("404", f"Nothing to do, Record not found: {N}, A, {P}, 0")
    assert writes(fresh_standin) == []


def test_swap_trace_is_exact(zcf, seed, fresh_standin, capfd):
    seed(1, "A", N, P)
    ensure(zcf, "CNAME", N, T, True, 1)
    url = fresh_standin.api_url
    transport = ["Content-Type: application/json", f"Authorization: Bearer ***{fresh_standin.token[-4:]}", "user_proxy: "]
    assert trace_lines(capfd) == [
        CURRENT,
        *transport,
        f"http_method: get url: {url}/zones/{ZONE_ID}/dns_records?&name={N}",
        f"record found: {rid(1)} {N}, A, {P}, 0",
        f"batch 1/1: delete {rid(1)}; update -; create CNAME {N} {T}",
        *transport,
        f"http_method: post url: {url}/zones/{ZONE_ID}/dns_records/batch",
    ]
    assert state(fresh_standin) == [(N, "CNAME", T, True)]


@pytest.mark.parametrize("wanted, kept", [(("A", P), ("AAAA", "2001:db8::1")), (("AAAA", "2001:db8::1"), ("A", P))])
def test_a_and_aaaa_live_together(zcf, seed, fresh_standin, wanted, kept):
    seed(1, kept[0], N, kept[1])
    result_of(ensure(zcf, wanted[0], N, wanted[1], False, 1))
    assert writes(fresh_standin) == [("POST", RECORDS)]
    assert state(fresh_standin) == [(N, kept[0], kept[1], False), (N, wanted[0], wanted[1], False)]
    assert ensure(zcf, wanted[0], N, wanted[1], False, 1)[0] == 200
    assert len(writes(fresh_standin)) == 1


def test_proxied_aaaa_converges(zcf, seed, fresh_standin):
    seed(1, "AAAA", N, "2001:db8::1")
    result_of(ensure(zcf, "AAAA", N, "2001:db8::1", True, 1))
    assert body_of(sent(fresh_standin, "PATCH")[0]) == {"proxied": True}
    ensure(zcf, "AAAA", N, "2001:db8::1", True, 1)
    assert writes(fresh_standin) == [("PATCH", f"{RECORDS}/{rid(1)}")]


# ----- restoring what a failed swap deleted --------------------------------

FAILED = {"success": False, "errors": [{"code": 10001, "message": "service unavailable"}], "messages": [], "result": None}


def test_failed_create_restores_the_deleted_record(one_at_a_time, seed, fresh_standin, capfd):
    one_at_a_time.retries = 0  # the 503 is the create's last word: no second listing
    seed(1, "CNAME", N, T, proxied=True)
    fresh_standin.add_fault("POST", r"/dns_records$", status=503, body=FAILED)
    assert ensure(one_at_a_time, "A", N, P, True, 1) == (503, json.dumps(FAILED))
    posts = [r for r in sent(fresh_standin, "POST") if r["target"] == RECORDS]
    assert body_of(posts[1]) == {"content": T, "name": N, "proxied": True, "type": "CNAME", "ttl": 1}
    (new_id,) = [r["id"] for r in fresh_standin.records(ZONE_ID)]
    assert state(fresh_standin) == [(N, "CNAME", T, True)]
    assert decisions(capfd) == [
        CURRENT,
        f"record found: {rid(1)} {N}, CNAME, {T}, 1",
        f"batch 1/1: delete {rid(1)}; update -; create A {N} {P}",
        "batch unavailable (404): sending the 2 writes one at a time",
        f"write outcome unknown: listing {N} again before restoring",
        f"record restored: {new_id} {N}, CNAME, {T}, 1",
    ]


def test_restore_without_an_id_in_the_answer_names_the_old_one(one_at_a_time, seed, fresh_standin, capfd):
    one_at_a_time.retries = 0  # the 503 is the create's last word: no second listing
    seed(1, "CNAME", N, T)
    fresh_standin.add_fault("POST", r"/dns_records$", status=503, body=FAILED)
    fresh_standin.add_fault("POST", r"/dns_records$", status=200, body={"success": True, "result": None})
    ensure(one_at_a_time, "A", N, P, False, 1)
    assert decisions(capfd)[-1] == f"record restored: {rid(1)} {N}, CNAME, {T}, 0"


UNRESTORED = [{"type": "CNAME", "name": N, "content": T, "ttl": 1, "proxied": False, "priority": None, "comment": "c"}]


@pytest.mark.parametrize(
    "faults, retries, outcome",
    [
        # The DELETE went through, its answer did not: put back, or the swap done anew.
        ([dict(method="DELETE", status=503, processed=True)], 0, 503),
        ([dict(method="DELETE", drop=True, processed=True)], 0, 52),
        ([dict(method="DELETE", status=503, processed=True), dict(method="DELETE", status=503, count=2)], 2, "A"),
        # Our own limiter, paused for 120 s by the create's 429, waits for the restore.
        ([dict(method="POST", status=429, retry_after=120)], 0, 429),
        # What cannot be put back is handed to the caller, in the exception.
        ([dict(method="POST", status=429, retry_after=10**6)], 0, RateLimitedError),
        ([dict(method="POST", status=503, body=FAILED, count=None)], 0, CloudflareError),
    ],
    ids=["delete-5xx", "delete-dropped", "delete-5xx-retried", "restore-waits-for-pause", "pause-too-long", "restore-fails"],
)
def test_a_record_deleted_for_the_swap_is_never_lost(one_at_a_time, seed, fresh_standin, capfd, faults, retries, outcome):
    one_at_a_time.retries = retries
    seed(1, "CNAME", N, T, comment="c")
    for fault in faults:
        fresh_standin.fault(r"/dns_records(/[0-9a-f]+)?$", **fault)
    if isinstance(outcome, type):
        with pytest.raises(outcome, match=f"^1 record.* could not be put back .*: CNAME {N} {T}") as raised:
            ensure(one_at_a_time, "A", N, P, False, 1)
        assert raised.value.unrestored == UNRESTORED
        assert state(fresh_standin) == []
        return
    result = ensure(one_at_a_time, "A", N, P, False, 1)
    if outcome == "A":
        assert result_of(result)["content"] == P and state(fresh_standin) == [(N, "A", P, False)]
    else:
        assert result[0] == outcome and state(fresh_standin) == [(N, "CNAME", T, False)]
        assert fresh_standin.records(ZONE_ID)[0]["comment"] == "c"


def test_cname_replaces_every_address_record_of_its_name(zcf, seed, fresh_standin, capfd):
    seed(1, "A", N, P)
    seed(2, "AAAA", N, "2001:db8::1")
    result = result_of(ensure(zcf, "CNAME", N, T, False, 1))
    assert result["type"] == "CNAME"
    assert state(fresh_standin) == [(N, "CNAME", T, False)]
    assert decisions(capfd)[1:] == [
        f"record found: {rid(1)} {N}, A, {P}, 0",
        f"record found: {rid(2)} {N}, AAAA, 2001:db8::1, 0",
        f"batch 1/1: delete {rid(1)}, {rid(2)}; update -; create CNAME {N} {T}",
    ]
    fresh_standin.clear_requests()
    assert ensure(zcf, "CNAME", N, T, False, 1)[0] == 200
    assert writes(fresh_standin) == []


def test_refused_create_restores_every_record_it_replaced(one_at_a_time, seed, fresh_standin, capfd):
    seed(1, "A", N, P)
    seed(2, "AAAA", N, "2001:db8::1")
    response = ensure(one_at_a_time, "CNAME", N, T, False, 30)
    assert error_of(response)[:2] == (400, 9021)
    assert sorted(state(fresh_standin)) == [(N, "A", P, False), (N, "AAAA", "2001:db8::1", False)]
    assert [line.split(":")[0] for line in decisions(capfd)[-2:]] == ["record restored", "record restored"]


def test_refused_delete_is_the_answer_and_nothing_follows(one_at_a_time, seed, fresh_standin, capfd):
    one_at_a_time.retries = 0  # the 503 is the delete's last word
    seed(1, "A", N, P)
    seed(2, "AAAA", N, "2001:db8::1")
    fresh_standin.add_fault("DELETE", rf"/{rid(2)}$", status=503, body=FAILED)
    assert ensure(one_at_a_time, "CNAME", N, T, False, 1) == (503, json.dumps(FAILED))
    assert [m for m, _ in writes(fresh_standin)] == ["POST", "DELETE", "DELETE", "POST"]  # batch refused  # the last one restores the A
    assert sorted(state(fresh_standin)) == [(N, "A", P, False), (N, "AAAA", "2001:db8::1", False)]
    assert decisions(capfd)[-3:] == [
        f"record perhaps deleted: {rid(2)} {N}, AAAA, 2001:db8::1, 0",
        f"write outcome unknown: listing {N} again before restoring",
        decisions_restored(fresh_standin, "A"),
    ]


def decisions_restored(standin, type_):
    (record,) = [r for r in standin.records(ZONE_ID) if r["type"] == type_]
    return f"record restored: {record['id']} {N}, {type_}, {record['content']}, 0"


def test_create_that_throws_after_a_delete_still_restores(run_preloaded, seed, fresh_standin):
    seed(1, "CNAME", N, T)
    fresh_standin.refuse_batches(404)
    # The wanted content is built twice: in the refused batch, then in the create.
    done = run_preloaded(f"cf.dns_ensured_record({DOMAIN!r}, 'A', {N!r}, {P!r}, False, 1)", fail_text=P, fail_after=1)
    assert "MemoryError" in done.stderr, (done.returncode, done.stderr, done.stdout)
    assert state(fresh_standin) == [(N, "CNAME", T, False)]
    assert writes(fresh_standin) == [("POST", BATCH), ("DELETE", f"{RECORDS}/{rid(1)}"), ("POST", RECORDS)]
    assert done.stdout.splitlines()[-1].startswith("record restored: ")


# ----- TXT ----------------------------------------------------------------


def test_txt_replace_is_one_batch(zcf, seed, fresh_standin, capfd):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    result = result_of(ensure(zcf, "TXT", N, "v=c", True, 1))
    assert result["content"] == "v=c"
    assert writes(fresh_standin) == [("POST", BATCH)]
    assert batch_of(fresh_standin) == {
        "deletes": [{"id": rid(1)}, {"id": rid(2)}],
        "patches": [],
        "posts": [{"content": "v=c", "name": N, "type": "TXT", "ttl": 1}],
    }
    assert decisions(capfd) == [
        CURRENT,
        DIFFERS.format(rid(1), N, "TXT", "v=a", 0),
        DIFFERS.format(rid(2), N, "TXT", "v=b", 0),
        f"batch 1/1: delete {rid(1)}, {rid(2)}; update -; create TXT {N} v=c",
    ]
    assert state(fresh_standin) == [(N, "TXT", "v=c", False)]


def test_txt_replace_one_at_a_time_creates_first_then_removes_the_others(one_at_a_time, seed, fresh_standin):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    result = result_of(ensure(one_at_a_time, "TXT", N, "v=c", True, 1))
    assert result["content"] == "v=c"
    assert writes(fresh_standin)[1:] == [("POST", RECORDS), ("DELETE", f"{RECORDS}/{rid(1)}"), ("DELETE", f"{RECORDS}/{rid(2)}")]
    assert state(fresh_standin) == [(N, "TXT", "v=c", False)]


@pytest.mark.parametrize("batches", [True, False])
def test_txt_replace_keeps_everything_when_the_create_fails(zcf, seed, fresh_standin, capfd, batches):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    if not batches:
        fresh_standin.refuse_batches(405)
    response = ensure(zcf, "TXT", N, "v=c", True, 30)
    assert error_of(response)[:2] == (400, 9021)
    assert writes(fresh_standin) == ([("POST", BATCH)] if batches else [("POST", BATCH), ("POST", RECORDS)])
    assert state(fresh_standin) == [(N, "TXT", "v=a", False), (N, "TXT", "v=b", False)]
    if batches:
        assert decisions(capfd)[-1] == "batch 1/1 not applied (400): none of its writes was made"


@pytest.mark.parametrize("wanted", ["v=c", "v=b"])
def test_failed_removal_of_a_stale_txt_value_is_the_answer(one_at_a_time, seed, fresh_standin, capfd, wanted):
    one_at_a_time.retries = 0  # the 503 is the delete's last word
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    fresh_standin.add_fault("DELETE", rf"/{rid(1)}$", status=503, body=FAILED)
    assert ensure(one_at_a_time, "TXT", N, wanted, False, 1) == (503, json.dumps(FAILED))
    assert f"record perhaps deleted: {rid(1)} {N}, TXT, v=a, 0" in decisions(capfd)
    assert (N, "TXT", "v=a", False) in state(fresh_standin)


def test_txt_without_replace_keeps_the_others(zcf, seed, fresh_standin, capfd):
    seed(1, "TXT", N, "v=a")
    seed(2, "TXT", N, "v=b")
    result_of(ensure(zcf, "TXT", N, "v=c", False, 1, True, 0))
    assert writes(fresh_standin) == [("POST", RECORDS)]
    assert decisions(capfd) == [CURRENT, DIFFERS.format(rid(1), N, "TXT", "v=a", 0)]
    assert len(state(fresh_standin)) == 3


def test_type_is_read_without_case_and_sent_upper_case(zcf, seed, fresh_standin):
    seed(1, "TXT", N, "v=a")
    result_of(ensure(zcf, "txt", N, "v=c", True, 1))
    assert batch_of(fresh_standin)["posts"] == [{"content": "v=c", "name": N, "type": "TXT", "ttl": 1}]
    assert state(fresh_standin) == [(N, "TXT", "v=c", False)]
    assert ensure(zcf, "Txt", N, "v=d", True, 1, 0) == ("404", f"Nothing to do, Record not found: {N}, TXT, v=d, 0")


# ----- MX -----------------------------------------------------------------


def test_mx_of_the_wanted_host_gets_the_wanted_priority(zcf, seed, fresh_standin):
    seed(1, "MX", N, H1, priority=10)
    result = result_of(ensure(zcf, "MX", N, f"{H1}|20", True, 1, True, 0))
    assert (result["content"], result["priority"]) == (H1, 20)
    assert [m for m, _ in writes(fresh_standin)] == ["PATCH"]
    assert body_of(sent(fresh_standin, "PATCH")[0]) == {"priority": 20}
    assert ensure(zcf, "MX", N, f"{H1}|20", True, 1)[0] == 200
    assert len(writes(fresh_standin)) == 1


@pytest.mark.parametrize("content, deleted", [(f"{H1}|20", None), (H1, rid(1)), (f"{H1}|30", rid(2))])
def test_mx_removal_needs_host_and_priority(zcf, seed, fresh_standin, content, deleted):
    seed(1, "MX", N, H1, priority=10)
    seed(2, "MX", N, H1, priority=30)
    ensure(zcf, "MX", N, content, False, 1, False)
    assert writes(fresh_standin) == ([] if deleted is None else [("DELETE", f"{RECORDS}/{deleted}")])


def test_mx_of_the_wanted_priority_is_reported(zcf, seed, fresh_standin, capfd):
    seed(1, "MX", N, H2, priority=20)
    assert ensure(zcf, "MX", N, f"{H1}|20", False, 1, True, 0) == (200, f"Record found: {rid(1)} {N}, MX, {H2}, 0 20")
    assert writes(fresh_standin) == []
    assert decisions(capfd) == [CURRENT, DIFFERS.format(rid(1), N, "MX", H2, 0)]


def test_mx_of_another_priority(zcf, seed, fresh_standin, capfd):
    seed(1, "MX", N, H2, priority=20)
    result_of(ensure(zcf, "MX", N, f"{H1}|30", False, 1, True, 0))
    (post,) = sent(fresh_standin, "POST")
    assert body_of(post) == {"content": H1, "priority": 30, "name": N, "type": "MX", "ttl": 1}
    assert decisions(capfd) == [CURRENT, DIFFERS.format(rid(1), N, "MX", H2, 0)]


def test_mx_with_replace_updates(zcf, seed, fresh_standin):
    seed(1, "MX", N, H2, priority=20)
    result_of(ensure(zcf, "MX", N, f"{H1}|30", False, 1))
    (patch,) = sent(fresh_standin, "PATCH")
    assert patch["target"] == f"{RECORDS}/{rid(1)}"
    assert body_of(patch) == {"content": H1, "priority": 30}


@pytest.mark.parametrize("content, host, priority", [(H1, H1, 10), (f"{H1}||20", H1, 20)])
def test_mx_wanted_content_and_priority(zcf, fresh_standin, content, host, priority):
    ensure(zcf, "MX", N, content, False, 1)
    post = body_of(sent(fresh_standin, "POST")[0])
    assert (post["content"], post["priority"]) == (host, priority)


def test_mx_beside_a_wanted_address_is_skipped(zcf, seed, fresh_standin):
    seed(1, "MX", N, H1, priority=10)
    result_of(ensure(zcf, "A", N, P, False, 1))
    assert writes(fresh_standin) == [("POST", RECORDS)]


@pytest.mark.parametrize("content", ["", "|", "||", "|5", "|mx1|5"])
def test_mx_without_host(zcf, fresh_standin, content):
    with pytest.raises(ValueError, match="^MX content names no mail host"):
        ensure(zcf, "MX", N, content, False, 1, False)
    assert sent(fresh_standin) == []


# ----- arguments and preconditions ----------------------------------------


@pytest.mark.parametrize(
    "flags, created",
    [
        ((2,), True),
        ((True,), True),
        ((0,), False),
        ((), True),
    ],
)
def test_present_values(zcf, fresh_standin, flags, created):
    response = ensure(zcf, "A", N, P, False, 1, *flags)
    assert (response[0] == 200) is created


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("kwargs, outcome", [({"present": False}, "404"), ({"present": Index(0)}, "404"), ({"present": Index(7)}, 200)])
def test_present_by_keyword_and_index(zcf, kwargs, outcome):
    assert ensure(zcf, "A", N, P, False, 1, **kwargs)[0] == outcome


@pytest.mark.parametrize("bad", [None, 1.0, "yes", [], Index(1.5)])
@pytest.mark.parametrize("which", ["present", "replace"])
def test_flags_without_an_integer_value_are_refused(zcf, fresh_standin, capfd, bad, which):
    with pytest.raises(TypeError):
        ensure(zcf, "A", N, P, False, 1, **{which: bad})
    assert sent(fresh_standin) == [] and trace_lines(capfd) == []


def test_all_arguments_by_keyword(zcf, fresh_standin):
    response = zcf.dns_ensured_record(
        replace=False, present=True, ttl=120, proxied=False, content=P, name=N, type="A", domain=DOMAIN
    )
    assert result_of(response)["ttl"] == 120


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((DOMAIN, "A", N, P, False), {}),
        ((DOMAIN, "A", N, P, False, 2**31), {}),
        ((DOMAIN, "A", N, P, False, 1.0), {}),
        ((DOMAIN, "A", N, None, False, 1), {}),
        ((DOMAIN, "A", N, P, False, 1), {"force": True}),
        ((DOMAIN, "A", N, P, False, 1, True, True, True), {}),
    ],
)
def test_argument_errors(zcf, fresh_standin, args, kwargs):
    with pytest.raises((TypeError, OverflowError)):
        zcf.dns_ensured_record(*args, **kwargs)
    assert sent(fresh_standin) == []


def test_zone_id_is_needed_even_though_the_listing_could_look_it_up(cf, zone, fresh_standin, capfd):
    with pytest.raises(TypeError, match=r"^Zone id is null, please query domain first\.\n"):
        ensure(cf, "A", N, P, False, 1)
    assert sent(fresh_standin) == [] and trace_lines(capfd) == []


# ----- the listing --------------------------------------------------------


def test_unknown_domain_keeps_the_lookups_exception_as_cause(zcf, fresh_standin):
    with pytest.raises(TypeError, match="^Domain not found: missing.com\n") as caught:
        zcf.dns_ensured_record("missing.com", "A", N, P, False, 1)
    assert str(caught.value.__cause__) == "Domain not found: missing.com"
    assert writes(fresh_standin) == []


def test_rejected_token_stays_visible_as_cause(fresh_standin, client_env, zone):
    cf = client_for(fresh_standin, "revoked-token")
    cf.zone_id = ZONE_ID
    with pytest.raises(TypeError, match=f"^Domain not found: {DOMAIN}\n") as caught:
        ensure(cf, "A", N, P, False, 1)
    assert type(caught.value.__cause__) is AuthenticationError
    assert json.loads(caught.value.__cause__.args[0])["errors"][0]["code"] == 9109


def test_writes_go_to_the_zone_the_listing_settled_on(zcf, fresh_standin, capfd):
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    result_of(zcf.dns_ensured_record(OTHER_DOMAIN, "A", f"n.{OTHER_DOMAIN}", P, False, 1))
    assert writes(fresh_standin) == [("POST", f"/client/v4/zones/{OTHER_ZONE_ID}/dns_records")]
    assert (zcf.zone, zcf.zone_id) == (OTHER_DOMAIN, OTHER_ZONE_ID)
    assert decisions(capfd) == [CURRENT]


def test_name_is_percent_encoded_in_the_listing(zcf, fresh_standin):
    ensure(zcf, "TXT", "a b&c#d.example.com", "v", False, 1, False)
    assert sent(fresh_standin)[0]["target"] == f"{RECORDS}?&name=a%20b%26c%23d.example.com"


@pytest.mark.parametrize(
    "status, answer",
    [
        (200, "not json"),
        (200, {"success": True, "result": {"id": rid(1)}}),
        (200, {"success": True}),
        (403, {"success": False, "errors": [{"code": 10000, "message": "Authentication error"}], "messages": [], "result": None}),
    ],
)
def test_listing_without_a_result_array_raises_with_its_body(zcf, fresh_standin, status, answer):
    fresh_standin.add_fault("GET", r"/dns_records$", status=status, body=answer)
    with pytest.raises(Exception) as caught:
        ensure(zcf, "A", N, P, False, 1)
    assert isinstance(caught.value, CloudflareError)
    (message,) = caught.value.args
    assert message == answer if isinstance(answer, str) else json.loads(message) == answer
    assert writes(fresh_standin) == []


def test_token_restricted_to_another_zone(fresh_standin, client_env, zone):
    fresh_standin.add_token("limited-token", zones=[OTHER_ZONE_ID])
    cf = client_for(fresh_standin, "limited-token")
    cf.zone, cf.zone_id = DOMAIN, ZONE_ID
    with pytest.raises(Exception) as caught:
        ensure(cf, "A", N, P, False, 1)
    assert json.loads(caught.value.args[0])["errors"][0]["code"] == 10000


def test_elements_without_text_fields_are_skipped(zcf, seed, fresh_standin):
    seed(1, "A", N, Q)
    listed_by_fault(
        fresh_standin,
        {"id": 5, "name": N, "type": "A", "content": P},
        {"name": N, "type": "A", "content": P},
        element(1, "A", N, Q),
        "not an object",
    )
    result_of(ensure(zcf, "A", N, P, False, 1))
    assert writes(fresh_standin) == [("PATCH", f"{RECORDS}/{rid(1)}")]


def test_listing_of_skipped_elements_only_is_not_empty(zcf, fresh_standin):
    listed_by_fault(fresh_standin, {"id": rid(1), "name": N, "type": "A"})
    assert ensure(zcf, "A", N, P, False, 1, 0) == ("404", f"Nothing to do, Record not found: {N}, A, {P}, 0")


def test_listing_answer_that_is_not_utf8_fails_like_a_lookup(fresh_standin, client_env):
    cf = client_for(fresh_standin)
    cf.api_url = fresh_standin.url("/_test/invalid-utf8")
    cf.zone, cf.zone_id = DOMAIN, ZONE_ID
    with pytest.raises(TypeError, match=f"^Domain not found: {DOMAIN}\n") as caught:
        ensure(cf, "A", N, P, False, 1)
    assert type(caught.value.__cause__) is UnicodeDecodeError
    assert [r["method"] for r in fresh_standin.requests("test")] == ["GET"]


MATCH = '{"id": "%s", "name": "%s", "type": "A", "content": "%s", "proxied": false, "ttl": 1}' % (rid(1), N, P)


@pytest.mark.parametrize(
    "text, written",
    [
        # Members in any order, keys and values with escapes, unknown members of any shape.
        ('{"result": [%s], "success": true}' % MATCH, []),
        ('{"result": [{"i\\u0064": "%s", "n\\u0061me": "%s", "type": "A", "content": "\\u0031\\u00392.0.2.1"}]}' % (rid(1), N), []),
        ('{"x": {"a": [1, -2.5e3, {"b": null}], "c": "\\ud83d\\ude00"}, "result": [%s], "n": NaN}' % MATCH, []),
        # A later member of the same key replaces an earlier one.
        ('{"result": [%s], "result": []}' % MATCH, ["POST"]),
        ('{"result": [{"id": "%s", "name": "%s", "type": "A", "content": "%s", "content": 5}]}' % (rid(1), N, P), ["POST"]),
        ('{"result": [%s], "result_info": {"total_pages": 1, "per_page": "x"}}' % MATCH, []),
    ],
)
def test_listing_text_is_read_as_json(zcf, fresh_standin, text, written):
    fresh_standin.add_fault("GET", r"/dns_records$", status=200, body=text)
    result_of(ensure(zcf, "A", N, P, False, 1)) if written else ensure(zcf, "A", N, P, False, 1)
    assert [m for m, _ in writes(fresh_standin)] == written


@pytest.mark.parametrize("text", ['{"result": []} x', '{"result": [1,]}', '{"result": ["\\x"]}', '{"result": [], }', '{"x": ' + "[" * 70 + "]" * 70 + ', "result": []}'])
def test_listing_that_is_not_json_writes_nothing(zcf, fresh_standin, text):
    fresh_standin.add_fault("GET", r"/dns_records$", status=200, body=text)
    with pytest.raises(Exception):
        ensure(zcf, "A", N, P, False, 1)
    assert writes(fresh_standin) == []
