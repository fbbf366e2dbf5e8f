"""Record listing and the three record writes: paths and filters as sent,
the zone they settle on, the JSON record body, and the service's answers
(its refusals come back as values, never as exceptions)."""

import json

import pytest
from cloudflare_support import (
    DOMAIN,
    OTHER_DOMAIN,
    OTHER_ZONE_ID,
    ZONE_ID,
    chain_of,
    client_for,
    decisions,
    error_of,
    result_of,
    rid,
    sent,
    state,
)
from nuv import AuthenticationError, ZoneNotFoundError
from support import echoed, trace_lines

RECORDS = f"/client/v4/zones/{ZONE_ID}/dns_records"
N = f"www.{DOMAIN}"

# ----- listing ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, query",
    [
        ((), {}, ""),
        ((None, "A"), {}, "&type=A"),
        ((None, "", "mail"), {}, "&type=&name=mail"),
        ((None, "A", "mail", "c1"), {}, "&type=A&name=mail&content=c1"),
        ((), {"content": "c1", "type": "TXT"}, "&type=TXT&content=c1"),
        ((), {"name": "x y", "domain": None}, "&name=x%20y"),
        ((None, "TXT", "a&b=c", "v=1 #x/../é~"), {}, "&type=TXT&name=a%26b%3Dc&content=v%3D1%20%23x%2F..%2F%C3%A9~"),
    ],
)
def test_listing_path_and_encoded_filters(zcf, fresh_standin, capfd, args, kwargs, query):
    status, _ = zcf.dns_get_records(*args, **kwargs)
    assert status == 200
    (request,) = sent(fresh_standin)
    assert request["target"] == RECORDS + "?" + query
    if args[3:]:
        assert request["query"]["content"] == [args[3]]
    assert decisions(capfd) == []


def test_filters_find_records_without_case_and_with_blanks(zcf, seed):
    seed(1, "TXT", N, "hello world & more")
    seed(2, "TXT", N, "other")
    seed(3, "A", f"mail.{DOMAIN}", "192.0.2.1")
    found = result_of(zcf.dns_get_records(None, "txt", "WWW.example.com", "HELLO WORLD & more"))
    assert [r["id"] for r in found] == [rid(1)]


def test_pagination_at_the_default_page_size(zcf, fresh_standin):
    for i in range(120):
        fresh_standin.add_record(ZONE_ID, type="A", name=f"h{i}", content="192.0.2.1")
    _, body = zcf.dns_get_records()
    payload = json.loads(body)
    assert len(payload["result"]) == 100
    assert payload["result_info"] == {"page": 1, "per_page": 100, "count": 100, "total_count": 120, "total_pages": 2}


def test_no_domain_and_no_zone_id(cf, fresh_standin, capfd):
    with pytest.raises(TypeError, match="^domain should be a string$"):
        cf.dns_get_records()
    assert sent(fresh_standin) == [] and trace_lines(capfd) == []


def test_domain_equal_to_the_zone_needs_no_lookup(zcf, fresh_standin, capfd):
    zcf.dns_get_records(DOMAIN)
    assert [r["target"] for r in sent(fresh_standin)] == [RECORDS + "?"]
    assert decisions(capfd) == [f"current_domain: {DOMAIN}"]


def test_domain_in_other_case_is_looked_up(zcf, fresh_standin, capfd):
    zcf.dns_get_records("EXAMPLE.com")
    assert [r["path"] for r in sent(fresh_standin)] == ["/client/v4/zones", RECORDS]
    assert decisions(capfd) == [f"current_domain: {DOMAIN}"]
    assert zcf.zone == "EXAMPLE.com"


def test_two_calls_from_no_zone_look_up_once(cf, zone, fresh_standin, capfd):
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    cf.dns_get_records(domain=OTHER_DOMAIN)
    assert [r["path"] for r in sent(fresh_standin)] == ["/client/v4/zones", f"/client/v4/zones/{OTHER_ZONE_ID}/dns_records"]
    assert decisions(capfd) == []
    fresh_standin.clear_requests()
    cf.dns_get_records(OTHER_DOMAIN, "A")
    assert [r["target"] for r in sent(fresh_standin)] == [f"/client/v4/zones/{OTHER_ZONE_ID}/dns_records?&type=A"]
    assert decisions(capfd) == [f"current_domain: {OTHER_DOMAIN}"]


def test_failed_lookup_keeps_its_exception_as_cause(zcf):
    with pytest.raises(TypeError, match="^Domain not found: missing.com\n") as caught:
        zcf.dns_get_records("missing.com")
    cause = caught.value.__cause__
    assert type(cause) is ZoneNotFoundError and str(cause) == "Domain not found: missing.com"
    assert (zcf.zone, zcf.zone_id) == (DOMAIN, ZONE_ID)


def test_rejected_token_stays_visible_as_cause(fresh_standin, client_env, zone):
    cf = client_for(fresh_standin, "revoked-token")
    with pytest.raises(TypeError, match=f"^Domain not found: {DOMAIN}\n") as caught:
        cf.dns_get_records(DOMAIN)
    cause = caught.value.__cause__
    assert type(cause) is AuthenticationError and json.loads(cause.args[0])["errors"][0]["code"] == 9109


def test_zone_without_zone_id(cf, fresh_standin, capfd):
    cf.zone = DOMAIN
    with pytest.raises(TypeError, match="^Domain not found!\n"):
        cf.dns_get_records(DOMAIN)
    assert decisions(capfd) == [f"current_domain: {DOMAIN}"]
    assert sent(fresh_standin) == []


def test_reading_the_unset_zone_does_not_make_the_empty_domain_current(cf, fresh_standin, capfd):
    assert cf.zone == ""
    with pytest.raises(TypeError, match="^Domain not found: \n"):
        cf.dns_get_records("")
    assert decisions(capfd) == []  # no current zone, so a lookup
    assert [r["path"] for r in sent(fresh_standin)] == ["/client/v4/zones"]


@pytest.mark.parametrize("args", [(None, None), (None, "A", 1), (DOMAIN, "A", "n", "c", "x")])
def test_listing_argument_errors(zcf, fresh_standin, args):
    with pytest.raises(TypeError):
        zcf.dns_get_records(*args)
    assert sent(fresh_standin) == []


@pytest.mark.parametrize(
    "zone_id, token, expected",
    [
        ("not-an-id", None, (400, 7003, "Could not route to /client/v4/zones/not-an-id/dns_records, perhaps your object identifier is invalid?")),
        (OTHER_ZONE_ID, None, (400, 7003, f"Could not route to {RECORDS.replace(ZONE_ID, OTHER_ZONE_ID)}, perhaps your object identifier is invalid?")),
        (ZONE_ID, "limited-token", (403, 10000, "Authentication error")),
        (ZONE_ID, "revoked-token", (403, 9109, "Invalid access token")),
        (ZONE_ID, "bad token", (400, 6003, "Invalid request headers")),
    ],
)
def test_service_refusals_of_a_listing_are_values(fresh_standin, client_env, zone, zone_id, token, expected):
    fresh_standin.add_token("limited-token", zones=[OTHER_ZONE_ID])
    cf = client_for(fresh_standin, token)
    cf.zone_id = zone_id
    response = cf.dns_get_records()
    assert error_of(response) == expected
    if expected[1] == 6003:
        assert chain_of(response) == [6111]


# ----- record body --------------------------------------------------------


def body(*fields: tuple[str, object]) -> str:
    """json-c's pretty layout: one member per line, two blanks, '/' escaped."""
    lines = [f"  {json.dumps(k)}: {json.dumps(v).replace('/', chr(92) + '/')}" for k, v in fields]
    return "{\n" + ",\n".join(lines) + "\n}"


@pytest.mark.parametrize(
    "args, expected",
    [
        (("A", N, "192.0.2.1", True, 1), body(("content", "192.0.2.1"), ("name", N), ("proxied", True), ("type", "A"), ("ttl", 1))),
        (("CNAME", N, "t.example.net", 0, 300), body(("content", "t.example.net"), ("name", N), ("proxied", False), ("type", "CNAME"), ("ttl", 300))),
        (("AAAA", N, "2001:db8::1", 2, 120), body(("content", "2001:db8::1"), ("name", N), ("proxied", True), ("type", "AAAA"), ("ttl", 120))),
        (("TXT", N, "a|b", True, 1), body(("content", "a|b"), ("name", N), ("type", "TXT"), ("ttl", 1))),
        (("MX", N, "mx1|20", True, 1), body(("content", "mx1"), ("priority", 20), ("name", N), ("type", "MX"), ("ttl", 1))),
        (("MX", N, "mx1", False, 1), body(("content", "mx1"), ("priority", 10), ("name", N), ("type", "MX"), ("ttl", 1))),
        (("mx", N, "mx1|20", True, 1), body(("content", "mx1|20"), ("name", N), ("type", "mx"), ("ttl", 1))),
        (("Cname", "a/b", 'say "hi"\n', True, 2**31 - 1), body(("content", 'say "hi"\n'), ("name", "a/b"), ("type", "Cname"), ("ttl", 2**31 - 1))),
        (("TXT", N, "x", False, 0), body(("content", "x"), ("name", N), ("type", "TXT"), ("ttl", 0))),
    ],
)
def test_record_body_byte_for_byte(echo_cf, args, expected):
    echo_cf.zone_id = ZONE_ID
    created = echoed(echo_cf.dns_create_record(*args))
    assert created["method"] == "POST" and created["target"].endswith(f"/zones/{ZONE_ID}/dns_records")
    assert created["body"] == expected
    updated = echoed(echo_cf.dns_update_record(rid(1), *args))
    assert updated["method"] == "PUT" and updated["target"].endswith(f"/zones/{ZONE_ID}/dns_records/{rid(1)}")
    assert updated["body"] == expected


@pytest.mark.parametrize(
    "content, host, priority",
    [
        ("mx1||5", "mx1", 5),
        ("mx1|x", "mx1", 0),
        ("mx1|5|9", "mx1", 5),
        ("mx1| 7", "mx1", 7),
        ("mx1|+8z", "mx1", 8),
        ("mx1|0", "mx1", 0),
        ("mx1|65535", "mx1", 65535),
    ],
)
def test_mx_content_splits_into_host_and_priority(echo_cf, content, host, priority):
    echo_cf.zone_id = ZONE_ID
    sent_body = json.loads(echoed(echo_cf.dns_create_record("MX", N, content, False, 1))["body"])
    assert (sent_body["content"], sent_body["priority"]) == (host, priority)


@pytest.mark.parametrize("content", ["", "|", "|||", "|5"])
def test_mx_content_without_host_is_refused_before_any_request(zcf, fresh_standin, content):
    message = f"^MX content names no mail host: '{content}'"
    with pytest.raises(ValueError, match=message):
        zcf.dns_create_record("MX", N, content, False, 1)
    with pytest.raises(ValueError, match=message):
        zcf.dns_update_record(rid(1), "MX", N, content, False, 1)
    assert sent(fresh_standin) == []


OUT_OF_RANGE = [
    ("ttl", ("A", N, "192.0.2.1", False, -1)),
    ("ttl", ("A", N, "192.0.2.1", False, 2**31)),
    ("ttl", ("A", N, "192.0.2.1", False, 2**32 + 120)),
    ("ttl", ("A", N, "192.0.2.1", False, 2**64)),
    ("MX priority", ("MX", N, "mx1|-1", False, 1)),
    ("MX priority", ("MX", N, "mx1|65536", False, 1)),
    ("MX priority", ("MX", N, "mx1|99999999999", False, 1)),
    ("MX priority", ("MX", N, "mx1|-99999999999", False, 1)),
]


@pytest.mark.parametrize("what, args", OUT_OF_RANGE)
def test_values_out_of_range_are_refused_by_every_write_before_any_request(zcf, fresh_standin, what, args):
    calls = [
        lambda: zcf.dns_create_record(*args),
        lambda: zcf.dns_update_record(rid(1), *args),
        lambda: zcf.dns_ensured_record(DOMAIN, *args),
        lambda: zcf.dns_ensured_record(DOMAIN, *args, present=False),
    ]
    for call in calls:
        with pytest.raises(OverflowError, match=f"^{what} must be between 0 and "):
            call()
    assert sent(fresh_standin) == []


def test_mx_check_comes_after_the_argument_and_zone_checks(cf, fresh_standin):
    with pytest.raises(TypeError, match="Zone id is null"):
        cf.dns_create_record("MX", N, "|", False, 1)
    cf.zone_id = ZONE_ID
    with pytest.raises(TypeError):
        cf.dns_create_record("MX", N, "|", False)


# ----- write requests -----------------------------------------------------


def test_delete_sends_no_body_and_the_encoded_record_id(echo_cf):
    echo_cf.zone_id = "z 1/2"
    echo = echoed(echo_cf.dns_delete_record(record_id="../x y"))
    assert echo["method"] == "DELETE" and echo["body"] == ""
    assert echo["target"].endswith("/zones/z%201%2F2/dns_records/%2E%2E%2Fx%20y")


def test_encoded_ids_never_reach_another_resource(zcf, seed, fresh_standin):
    seed(1, "A", N, "192.0.2.1")
    response = zcf.dns_delete_record(f"../../{ZONE_ID}/dns_records/{rid(1)}")
    assert error_of(response)[:2] == (400, 7003)
    assert len(fresh_standin.records(ZONE_ID)) == 1


def test_empty_zone_id_counts_as_set(echo_cf):
    echo_cf.zone_id = ""
    assert echoed(echo_cf.dns_create_record("A", N, "192.0.2.1", False, 1))["target"].endswith("/zones//dns_records")


@pytest.mark.parametrize(
    "call",
    [
        lambda cf: cf.dns_create_record("A", N, "192.0.2.1", False, 1),
        lambda cf: cf.dns_update_record(rid(1), "A", N, "192.0.2.1", False, 1),
        lambda cf: cf.dns_delete_record(rid(1)),
    ],
)
def test_writes_need_a_zone_id(cf, fresh_standin, call):
    with pytest.raises(TypeError, match=r"^Zone id is null, please query domain first\.\n"):
        call(cf)
    assert sent(fresh_standin) == []


@pytest.mark.parametrize(
    "call",
    [
        lambda cf: cf.dns_create_record("A", N, "192.0.2.1", False),
        lambda cf: cf.dns_create_record("A", N, None, False, 1),
        lambda cf: cf.dns_create_record("A", N, "192.0.2.1", False, 1.0),
        lambda cf: cf.dns_update_record("A", N, "192.0.2.1", False, 1),
        lambda cf: cf.dns_delete_record(),
        lambda cf: cf.dns_delete_record(rid(1), ttl=1),
    ],
)
def test_argument_errors_win_over_the_zone_check(cf, fresh_standin, call):
    with pytest.raises(TypeError) as caught:
        call(cf)
    assert "Zone id is null" not in str(caught.value)
    assert sent(fresh_standin) == []


def test_writes_by_keyword_create_update_and_delete(zcf, fresh_standin):
    created = result_of(zcf.dns_create_record(ttl=300, proxied=False, content="192.0.2.1", name=N, type="A"))
    assert state(fresh_standin) == [(N, "A", "192.0.2.1", False)]
    updated = result_of(
        zcf.dns_update_record(record_id=created["id"], type="A", name=N, content="192.0.2.2", proxied=True, ttl=1)
    )
    assert updated["id"] == created["id"]
    assert state(fresh_standin) == [(N, "A", "192.0.2.2", True)]
    assert result_of(zcf.dns_delete_record(record_id=created["id"])) == {"id": created["id"]}
    assert state(fresh_standin) == []


def test_proxied_aaaa_can_be_made(zcf, fresh_standin):
    result_of(zcf.dns_create_record("AAAA", N, "2001:db8::1", True, 1))
    assert state(fresh_standin) == [(N, "AAAA", "2001:db8::1", True)]


def test_proxied_is_never_sent_for_types_the_service_cannot_proxy(zcf, fresh_standin):
    # The service would refuse with 1004/9004; the client never asks.
    result_of(zcf.dns_create_record("MX", N, "mx1.example.net|10", True, 1))
    result_of(zcf.dns_create_record("TXT", N, "v=1", True, 1))
    assert state(fresh_standin) == [(N, "MX", "mx1.example.net", False), (N, "TXT", "v=1", False)]


# ----- the service's refusals, one per error it models -------------------

ROUTE_MESSAGE = "Could not route to {}, perhaps your object identifier is invalid?"


@pytest.mark.parametrize(
    "seeded, call, expected",
    [
        (
            [("A", N, "192.0.2.1")],
            lambda cf: cf.dns_create_record("A", N, "192.0.2.1", False, 1),
            (400, 81058, "An identical record already exists."),
        ),
        (
            [("A", N, "192.0.2.1")],
            lambda cf: cf.dns_create_record("CNAME", N, "t.example.net", False, 1),
            (400, 81053, "An A, AAAA, or CNAME record with that host already exists."),
        ),
        (
            [("CNAME", N, "t.example.net")],
            lambda cf: cf.dns_create_record("AAAA", N, "2001:db8::1", False, 1),
            (
                400,
                81054,
                "A CNAME record with that host already exists. For more details, refer to "
                "<https://developers.cloudflare.com/dns/manage-dns-records/troubleshooting/records-with-same-name/>.",
            ),
        ),
        ([], lambda cf: cf.dns_create_record("A", N, "192.0.2.300", False, 1), (400, 9005, "Content for A record must be a valid IPv4 address.")),
        ([], lambda cf: cf.dns_create_record("AAAA", N, "2001:db8::g", False, 1), (400, 9006, "Content for AAAA record must be a valid IPv6 address.")),
        ([], lambda cf: cf.dns_create_record("CNAME", N, N, False, 1), (400, 9007, "Content for CNAME record is invalid.")),
        (
            [],
            lambda cf: cf.dns_create_record("A", N, "192.0.2.1", False, 30),
            (400, 9021, "Invalid TTL. Must be between 60 and 86400 seconds, or 1 for automatic."),
        ),
        ([], lambda cf: cf.dns_create_record("FOO", N, "x", False, 1), (400, 1004, "DNS Validation Error")),
        ([], lambda cf: cf.dns_update_record(rid(9), "A", N, "192.0.2.1", False, 1), (404, 81044, "Record does not exist.")),
        ([], lambda cf: cf.dns_delete_record(rid(9)), (404, 81044, "Record does not exist.")),
        ([], lambda cf: cf.dns_delete_record("r1"), (400, 7003, ROUTE_MESSAGE.format(RECORDS + "/r1"))),
    ],
)
def test_service_refusals_of_a_write_are_values(zcf, seed, fresh_standin, seeded, call, expected):
    for n, (type_, name, content) in enumerate(seeded, 1):
        seed(n, type_, name, content)
    before = state(fresh_standin)
    response = call(zcf)
    assert error_of(response) == expected
    if expected[1] == 1004:
        assert chain_of(response) == [9207]  # the schema's refusal, naming the field
    assert state(fresh_standin) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda cf, proxied: cf.dns_create_record("A", N, "192.0.2.1", proxied, 1),
        lambda cf, proxied: cf.dns_update_record(rid(1), "A", N, "192.0.2.1", proxied, 1),
        lambda cf, proxied: cf.dns_ensured_record(DOMAIN, "A", N, "192.0.2.1", proxied, 1),
        lambda cf, proxied: cf.dns_plan(DOMAIN, "A", N, "192.0.2.1", proxied, 1),
    ],
    ids=["create", "update", "ensured", "plan"],
)
def test_proxied_as_text_is_refused_before_any_request(zcf, fresh_standin, call):
    """"false" would be true: a text is refused, a bool or an int is read as before."""
    for text in ("false", b"false"):
        with pytest.raises(TypeError, match="proxied must be a bool"):
            call(zcf, text)
    assert sent(fresh_standin) == []
