"""Zone lookup: what `query` sends, what it stores, and how each failure of
the service or the network reaches the caller."""

import json

import pytest
from cloudflare_support import (
    DOMAIN,
    OTHER_DOMAIN,
    OTHER_ZONE_ID,
    ZONE_ID,
    client_for,
    sent,
)
from nuv import AuthenticationError, CloudflareError, TransportError
from support import closed_port

LOOKUP = "/client/v4/zones?page=1&per_page=20&order=status&direction=desc&match=all&name="



def test_success_selects_the_zone_and_returns_the_lookup_answer(cf, zone, fresh_standin):
    status, body = cf.query(DOMAIN)
    assert status == 200
    assert [z["id"] for z in json.loads(body)["result"]] == [ZONE_ID]
    assert (cf.zone, cf.zone_id) == (DOMAIN, ZONE_ID)
    assert [r["target"] for r in sent(fresh_standin)] == [LOOKUP + DOMAIN]


def test_zone_keeps_the_callers_spelling(cf, zone):
    cf.query(domain="Example.COM")
    assert (cf.zone, cf.zone_id) == ("Example.COM", ZONE_ID)


def test_domain_is_percent_encoded(cf, zone, fresh_standin):
    with pytest.raises(TypeError, match="^Domain not found: a b&name=example.com#/é\n"):
        cf.query("a b&name=example.com#/é")
    request = sent(fresh_standin)[-1]
    assert request["target"] == LOOKUP + "a%20b%26name%3Dexample.com%23%2F%C3%A9"
    assert request["query"]["name"] == ["a b&name=example.com#/é"]


def test_second_lookup_replaces_the_first_and_a_failed_one_keeps_it(cf, zone, fresh_standin):
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    cf.query(DOMAIN)
    cf.query(OTHER_DOMAIN)
    assert (cf.zone, cf.zone_id) == (OTHER_DOMAIN, OTHER_ZONE_ID)
    with pytest.raises(TypeError, match="^Domain not found: missing.com\n"):
        cf.query("missing.com")
    assert (cf.zone, cf.zone_id) == (OTHER_DOMAIN, OTHER_ZONE_ID)


def test_unknown_domain_leaves_the_fields_unset(cf, zone):
    with pytest.raises(TypeError, match="^Domain not found: missing.com\n"):
        cf.query("missing.com")
    assert (cf.zone, cf.zone_id) == ("", "")
    with pytest.raises(TypeError, match="Zone id is null"):
        cf.purge_cache()  # reading the properties above left them unset


@pytest.mark.parametrize("domain", ["contains:example", "not_equal:one-example.com", "ends_with:example.com"])
def test_operator_in_the_domain_selects_no_zone(cf, fresh_standin, domain):
    fresh_standin.add_zone("one-example.com")
    fresh_standin.add_zone("two-example.com")
    with pytest.raises(TypeError, match=f"^Domain not found: {domain}\n"):
        cf.query(domain)
    assert (cf.zone, cf.zone_id) == ("", "")


def listing_zones(standin, *names):
    zones = [{"id": f"{n:032x}", "name": name, "status": "active"} for n, name in enumerate(names, 1)]
    standin.add_fault("GET", r"/zones$", status=200, body={"success": True, "errors": [], "messages": [], "result": zones})


@pytest.mark.parametrize(
    "asked, listed, chosen",
    [
        (DOMAIN, ["other.com", DOMAIN], 2),
        ("Example.COM", ["other.com", DOMAIN], 2),
        ("example.com.", [DOMAIN], 1),
        (DOMAIN, ["EXAMPLE.com."], 1),
        (DOMAIN, ["other.com", "sub.example.com", "example.com.evil"], None),
        ("example.com..", [DOMAIN], None),
        (DOMAIN, [], None),
    ],
)
def test_only_the_zone_of_that_name_is_selected(cf, fresh_standin, asked, listed, chosen):
    listing_zones(fresh_standin, *listed)
    if chosen is None:
        with pytest.raises(TypeError, match="^Domain not found: "):
            cf.query(asked)
        assert cf.zone_id == ""
    else:
        cf.query(asked)
        assert (cf.zone, cf.zone_id) == (asked, f"{chosen:032x}")


def test_writes_never_reach_a_zone_listed_first_under_another_name(cf, zone, fresh_standin):
    listing_zones(fresh_standin, OTHER_DOMAIN)
    cf.zone_id = ZONE_ID
    with pytest.raises(TypeError, match=f"^Domain not found: {DOMAIN}\n"):
        cf.dns_ensured_record(DOMAIN, "A", f"n.{DOMAIN}", "192.0.2.1", False, 1)
    assert [r["method"] for r in sent(fresh_standin)] == ["GET"]


@pytest.mark.parametrize(
    "token, status, code, chain",
    [
        ("not-a-valid-token", 403, 9109, []),
        ("two words", 400, 6003, [6111]),
    ],
)
def test_rejected_token_raises_exception_with_the_whole_answer(fresh_standin, client_env, zone, token, status, code, chain):
    cf = client_for(fresh_standin, token)
    with pytest.raises(Exception) as caught:
        cf.query(DOMAIN)
    assert type(caught.value) is AuthenticationError
    (message,) = caught.value.args
    payload = json.loads(message)
    assert payload["success"] is False
    assert payload["errors"][0]["code"] == code
    assert [e["code"] for e in payload["errors"][0].get("error_chain", [])] == chain
    assert (cf.zone, cf.zone_id) == ("", "")


def test_token_restricted_to_another_zone_finds_nothing(fresh_standin, client_env, zone):
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    fresh_standin.add_token("limited-token", zones=[OTHER_ZONE_ID])
    cf = client_for(fresh_standin, "limited-token")
    with pytest.raises(TypeError, match=f"^Domain not found: {DOMAIN}\n"):
        cf.query(DOMAIN)
    cf.query(OTHER_DOMAIN)
    assert cf.zone_id == OTHER_ZONE_ID


def test_unreachable_host_raises_exception_with_libcurls_text(client_env):
    from nuv import Cloudflare

    cf = Cloudflare(api_token="t", api_url=f"https://127.0.0.1:{closed_port()}/client/v4")
    with pytest.raises(Exception) as caught:
        cf.query(DOMAIN)
    assert type(caught.value) is TransportError
    assert caught.value.args == ("Couldn't connect to server",)


@pytest.mark.parametrize(
    "answer",
    [
        {"success": True},
        {"success": True, "result": {"id": ZONE_ID}},
        {"success": True, "result": [{"name": DOMAIN}]},
        {"success": True, "result": [{"id": None, "name": DOMAIN}]},
        {"success": "", "result": [{"id": ZONE_ID, "name": DOMAIN}]},
        "<html>bad gateway</html>",
    ],
)
def test_answer_without_a_zone_id_raises_exception_with_the_body(cf, fresh_standin, answer):
    cf.zone_id = "kept"
    fresh_standin.add_fault("GET", r"/zones$", status=200, body=answer)
    with pytest.raises(Exception) as caught:
        cf.query(DOMAIN)
    assert type(caught.value) is CloudflareError
    (message,) = caught.value.args
    assert message == answer if isinstance(answer, str) else json.loads(message) == answer
    assert (cf.zone, cf.zone_id) == ("", "kept")


def test_zone_id_that_is_not_a_string_is_taken_as_its_json_text(cf, fresh_standin):
    fresh_standin.add_fault("GET", r"/zones$", status=200, body={"success": 1, "result": [{"id": 42, "name": DOMAIN}]})
    cf.query(DOMAIN)
    assert cf.zone_id == "42"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((DOMAIN, DOMAIN), {}), ((), {"name": DOMAIN}), (("a\0b",), {})])
def test_argument_errors_send_nothing(cf, fresh_standin, args, kwargs):
    with pytest.raises((TypeError, ValueError)):
        cf.query(*args, **kwargs)
    assert sent(fresh_standin) == []
