"""An explicit zone: zone_id= on the zone-scoped methods and the
constructor acts on that zone with no look-up and leaves the selected one
alone; and purge_cache(files=, tags=, hosts=, prefixes=) purges just those."""

from __future__ import annotations

import json

import pytest
from cloudflare_support import DOMAIN, OTHER_DOMAIN, OTHER_ZONE_ID, ZONE_ID, client_for, result_of, rid, sent, state
from nuv import AuthenticationError, Cloudflare, ZoneNotFoundError

RECORDS = f"/client/v4/zones/{OTHER_ZONE_ID}/dns_records"

# Each zone-scoped call, given zone_id=OTHER_ZONE_ID, and the request it must send.
CALLS = [
    pytest.param(lambda cf, **z: cf.dns_get_records(**z), "GET", f"{RECORDS}?", id="dns_get_records"),
    pytest.param(lambda cf, **z: cf.dns_get_records(DOMAIN, "A", **z), "GET", f"{RECORDS}?&type=A", id="listing-with-domain"),
    pytest.param(lambda cf, **z: cf.dns_create_record("A", "x.example.org", "192.0.2.1", False, 1, **z), "POST", RECORDS, id="create"),
    pytest.param(lambda cf, **z: cf.dns_update_record(rid(7), "A", "x.example.org", "192.0.2.2", False, 1, **z), "PUT", f"{RECORDS}/{rid(7)}", id="update"),
    pytest.param(lambda cf, **z: cf.dns_delete_record(rid(7), **z), "DELETE", f"{RECORDS}/{rid(7)}", id="delete"),
    pytest.param(lambda cf, **z: cf.change_ssl_model("full", **z), "PATCH", f"/client/v4/zones/{OTHER_ZONE_ID}/settings/ssl", id="ssl"),
    pytest.param(lambda cf, **z: cf.change_always_use_https("on", **z), "PATCH", f"/client/v4/zones/{OTHER_ZONE_ID}/settings/always_use_https", id="https"),
    pytest.param(lambda cf, **z: cf.change_automatic_https_rewrites("on", **z), "PATCH", f"/client/v4/zones/{OTHER_ZONE_ID}/settings/automatic_https_rewrites", id="rewrites"),
    pytest.param(lambda cf, **z: cf.purge_cache(**z), "POST", f"/client/v4/zones/{OTHER_ZONE_ID}/purge_cache", id="purge"),
]


@pytest.fixture
def zones(fresh_standin, client_env):
    fresh_standin.add_zone(DOMAIN, id=ZONE_ID)
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    fresh_standin.add_record(OTHER_ZONE_ID, id=rid(7), type="A", name="x.example.org", content="192.0.2.9")
    return fresh_standin


@pytest.mark.parametrize("call, method, target", CALLS)
def test_keyword_acts_on_that_zone_without_a_lookup(zones, call, method, target):
    """Whatever zone is selected (or none): the call goes to the one named,
    and the selection stays."""
    for selected in ((DOMAIN, ZONE_ID), None):
        cf = client_for(zones)
        if selected:
            cf.zone, cf.zone_id = selected
        zones.clear_requests()
        assert call(cf, zone_id=OTHER_ZONE_ID).status not in (401, 403)  # a repeated write may conflict
        assert [(r["method"], r["target"]) for r in sent(zones)] == [(method, target)]
        assert (cf.zone, cf.zone_id) == (selected or ("", ""))


@pytest.mark.parametrize("call, method, target", [c for c in CALLS if c.id != "listing-with-domain"])
def test_zone_restricted_token_without_zone_read(zones, call, method, target):
    """A token that may not list zones but may work in one: the
    constructor's zone_id= selects the zone without a look-up."""
    zones.add_token("zone-only-token", zones=[OTHER_ZONE_ID])
    cf = Cloudflare(api_token="zone-only-token", api_url=zones.api_url, zone_id=OTHER_ZONE_ID)
    assert (cf.zone, cf.zone_id) == ("", OTHER_ZONE_ID)
    assert call(cf).ok
    assert [(r["method"], r["target"]) for r in sent(zones)] == [(method, target)]


@pytest.mark.parametrize("selected", [(DOMAIN, ZONE_ID), None])
@pytest.mark.parametrize("content, writes", [("192.0.2.9", []), ("192.0.2.10", ["PATCH"])])
def test_reconciliation_lists_and_writes_in_the_zone_given(zones, selected, content, writes):
    """The domain argument is not looked up: a token restricted to the zone
    reconciles it, and the selected zone stays as it was."""
    zones.add_token("zone-only-token", zones=[OTHER_ZONE_ID])
    cf = Cloudflare(api_token="zone-only-token", api_url=zones.api_url)
    if selected:
        cf.zone, cf.zone_id = selected
    result = cf.dns_ensured_record("ignored.example", "A", "x.example.org", content, False, 1, zone_id=OTHER_ZONE_ID)
    assert result.ok, result
    requests = sent(zones)
    assert all(r["path"].startswith(RECORDS) for r in requests), requests
    assert [r["method"] for r in requests if r["method"] != "GET"] == writes
    assert [r["content"] for r in zones.records(OTHER_ZONE_ID)] == [content]
    assert (cf.zone, cf.zone_id) == (selected or ("", ""))


@pytest.mark.parametrize("value, error", [(5, TypeError), (b"z", TypeError)])
def test_zone_id_must_be_text(zones, value, error):
    cf = client_for(zones)
    with pytest.raises(error, match="zone_id must be str or None"):
        cf.dns_delete_record(rid(7), zone_id=value)
    with pytest.raises(error, match="zone_id must be str or None"):
        Cloudflare(zone_id=value)
    assert sent(zones) == []


def test_none_means_the_selected_zone(zones):
    cf = client_for(zones)
    with pytest.raises(ZoneNotFoundError, match="^Zone id is null"):
        cf.dns_delete_record(rid(7), zone_id=None)
    with pytest.raises(TypeError, match="positional"):
        cf.dns_delete_record(rid(7), OTHER_ZONE_ID)  # keyword only


def test_lookup_afterwards_replaces_the_constructors_zone(zones):
    cf = Cloudflare(api_token=zones.token, api_url=zones.api_url, zone_id=OTHER_ZONE_ID)
    cf.query(DOMAIN)
    assert (cf.zone, cf.zone_id) == (DOMAIN, ZONE_ID)
    cf.__init__(api_token=zones.token)  # re-initialising without zone_id keeps the zone
    assert cf.zone_id == ZONE_ID


@pytest.mark.parametrize(
    "kwargs, body",
    [
        ({}, {"purge_everything": True}),
        ({"files": ["https://example.com/a.css", "https://example.com/b.js"]}, {"files": ["https://example.com/a.css", "https://example.com/b.js"]}),
        (
            {"files": [{"url": "https://example.com/c.jpg", "headers": {"CF-Device-Type": "mobile"}}, "https://example.com/d"]},
            {"files": [{"url": "https://example.com/c.jpg", "headers": {"CF-Device-Type": "mobile"}}, "https://example.com/d"]},
        ),
        ({"files": [{"url": "https://example.com/e"}]}, {"files": ["https://example.com/e"]}),
        ({"tags": ("a-tag", "another")}, {"tags": ["a-tag", "another"]}),
        ({"hosts": ["www.example.com"], "tags": None}, {"hosts": ["www.example.com"]}),
        ({"prefixes": ["www.example.com/foo"]}, {"prefixes": ["www.example.com/foo"]}),
    ],
)
def test_purge_sends_the_apis_body(zones, kwargs, body):
    cf = client_for(zones)
    cf.zone_id = ZONE_ID
    assert result_of(cf.purge_cache(**kwargs)) == {"id": ZONE_ID}
    (request,) = sent(zones)
    assert json.loads(request["body"]) == body


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"files": ["a"], "tags": ["t"]}, ValueError, "one of files, tags, hosts and prefixes per call"),
        ({"files": "https://example.com/a"}, TypeError, "files must be a list or tuple, not str"),
        ({"tags": [1]}, TypeError, "tags must be str, not int"),
        ({"files": [{"headers": {}}]}, TypeError, 'needs a "url"'),
        ({"files": [{"url": "u", "headers": {"h": 1}}]}, TypeError, "a header value must be str"),
        ({"hosts": ["a\0b"]}, ValueError, "must not contain NUL"),
        ({"everything": True}, TypeError, "everything"),
    ],
)
def test_purge_refuses_what_it_cannot_send(zones, kwargs, error, message):
    cf = client_for(zones)
    cf.zone_id = ZONE_ID
    with pytest.raises(error, match=message):
        cf.purge_cache(**kwargs)
    assert sent(zones) == []
    assert state(zones, OTHER_ZONE_ID)  # nothing else touched


@pytest.mark.parametrize("name, zone_read", [("x.example.org", None), ("x", 200), ("@", 200), ("x", 403)])
def test_zone_selected_by_id_and_an_empty_domain(zones, name, zone_read):
    """"" is the selected zone: no look-up by name. A full name is taken as
    given; a relative one needs the zone's name, read once (GET /zones/<id>),
    or refused when it cannot be read."""
    zones.add_token("zone-only-token", zones=[OTHER_ZONE_ID])
    cf = Cloudflare(api_token="zone-only-token", api_url=zones.api_url, zone_id=OTHER_ZONE_ID)
    if zone_read == 403:
        zones.fault(rf"/zones/{OTHER_ZONE_ID}$", method="GET", status=403, body={"success": False, "errors": [{"code": 10000, "message": "Authentication error"}], "messages": [], "result": None})
        with pytest.raises(ValueError, match="give the fully qualified name") as raised:
            cf.dns_plan("", "A", name, "192.0.2.10", False, 1)
        assert isinstance(raised.value.__cause__, AuthenticationError)
        assert [r["method"] for r in sent(zones)] == ["GET"] and cf.zone == ""
        return
    full = "example.org" if name == "@" else "x.example.org"
    (write,) = cf.dns_plan("", "A", name, "192.0.2.10", False, 1)
    assert write["name"] == full
    assert cf.dns_ensured_record("", "A", name, "192.0.2.10", False, 1).ok
    assert ("A", full, "192.0.2.10") in [(r["type"], r["name"], r["content"]) for r in zones.records(OTHER_ZONE_ID)]
    paths = [r["path"] for r in sent(zones)]
    assert not any(p.endswith("/zones") for p in paths)
    assert paths.count(f"/client/v4/zones/{OTHER_ZONE_ID}") == (0 if zone_read is None else 1)
    assert cf.zone == ("" if zone_read is None else OTHER_DOMAIN)
