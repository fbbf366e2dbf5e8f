"""ApiResponse: the (status, body) tuple every Cloudflare method returns,
which also reads the service's envelope; and the exception family that
raise_for_status and the failing look-ups raise, with hints as notes and no
credential in any text."""

from __future__ import annotations

import copy
import json
import pickle

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, client_for, rid
from nuv import (
    ApiResponse,
    AuthenticationError,
    CloudflareError,
    ConflictError,
    NotFoundError,
    RateLimitedError,
    TransportError,
    ZoneNotFoundError,
)
from support import closed_port

LONG_TOKEN = "LONG-SECRET-TOKEN-0123456789abcdef"


def envelope(success=True, result=None, errors=(), **extra) -> str:
    return json.dumps({"success": success, "errors": list(errors), "messages": [], "result": result, **extra})


def error_body(*codes: int) -> str:
    return envelope(False, None, [{"code": code, "message": f"message {code}"} for code in codes])


class TestTupleCompatibility:
    def test_behaves_as_the_tuple_it_was(self):
        body = envelope(result={"id": "z"})
        r = ApiResponse(200, body)
        status, text = r
        assert (status, text) == (200, body) and r == (200, body) and (200, body) == r
        assert isinstance(r, tuple) and len(r) == 2 and r[0] == 200 and r[-1] == body and r[:1] == (200,)
        assert hash(r) == hash((200, body)) and {r: 1}[(200, body)] == 1
        assert list(r) == [200, body] and tuple(r) == (200, body)
        for copied in (pickle.loads(pickle.dumps(r)), copy.copy(r), copy.deepcopy(r)):
            assert copied == r and type(copied) is ApiResponse and copied.result == {"id": "z"}

    def test_detail_survives_pickling(self):
        r = ApiResponse(7, "Couldn't connect to server", detail="Failed to connect to host port 1")
        assert pickle.loads(pickle.dumps(r)).detail == "Failed to connect to host port 1"

    def test_returned_by_every_kind_of_call(self, zcf, seed):
        seed(1, "A", "a.example.com", "192.0.2.1")
        results = [
            zcf.get("/zones"),
            zcf.query(DOMAIN),
            zcf.dns_get_records(),
            zcf.dns_create_record("A", "b.example.com", "192.0.2.2", False, 1),
            zcf.dns_ensured_record(DOMAIN, "A", "a.example.com", "192.0.2.1", False, 1),  # unchanged
            zcf.dns_ensured_record(DOMAIN, "A", "c.example.com", "192.0.2.3", False, 1, 0),  # "404"
            zcf.change_ssl_model("full"),
            zcf.purge_cache(),
        ]
        assert [type(r) for r in results] == [ApiResponse] * len(results)
        assert [r.ok for r in results] == [True] * 5 + [False] + [True] * 2
        assert results[5].status == "404" and results[5].body.startswith("Record not found")


@pytest.mark.parametrize(
    "status, body, ok, result, errors, result_info",
    [
        (200, envelope(result=[1], result_info={"page": 1}), True, [1], [], {"page": 1}),
        (200, envelope(False, errors=[{"code": 1004, "message": "m"}]), False, None, [{"code": 1004, "message": "m"}], None),
        (200, envelope(success=""), False, None, [], None),  # "success" present and falsy
        (204, "", True, None, [], None),  # no envelope: the status decides
        (200, "not json", True, None, [], None),
        (200, "[1, 2]", True, None, [], None),  # JSON, but not an envelope
        (404, envelope(False, errors=[{"code": 81044, "message": "x"}]), False, None, [{"code": 81044, "message": "x"}], None),
        (7, "Couldn't connect to server", False, None, [], None),
        ("404", "Record not found: a, A, b, 0", False, None, [], None),
        (True, "", False, None, [], None),  # not an HTTP status, even though bool is an int
    ],
)
def test_reads_the_envelope(status, body, ok, result, errors, result_info):
    r = ApiResponse(status, body)
    assert (r.status, r.body) == (status, body)
    assert (r.ok, r.result, r.errors, r.messages, r.result_info) == (ok, result, errors, [], result_info)


def test_json_is_parsed_once_and_refuses_what_is_not_json():
    r = ApiResponse(200, envelope(result={"a": 1}))
    assert r.json() is r.json() and r.json()["result"] == {"a": 1}
    with pytest.raises(ValueError):
        ApiResponse(200, "<html>").json()


def test_repr_is_short_and_masked():
    echoed = "Authorization: Bearer " + LONG_TOKEN + " " + "x" * 500
    text = repr(ApiResponse(502, echoed))
    assert text.startswith("ApiResponse(status=502, body='Authorization: Bearer ***cdef")
    assert LONG_TOKEN[:8] not in text and len(text) < 140
    assert repr(ApiResponse(200, "{}")) == "ApiResponse(status=200, body='{}')"


@pytest.mark.parametrize(
    "status, body, error, message, hint",
    [
        (401, error_body(10000), AuthenticationError, "HTTP 401: 10000 message 10000", "zone_id="),
        (400, error_body(6003), AuthenticationError, "HTTP 400: 6003 message 6003", "without \"Bearer \""),
        (403, error_body(9109), AuthenticationError, "HTTP 403: 9109 message 9109", "not accept this API token"),
        (200, error_body(9103), AuthenticationError, "HTTP 200: 9103 message 9103", "zone_id="),
        (429, error_body(971), RateLimitedError, "HTTP 429: 971 message 971", "1200 requests"),
        (400, error_body(81053), ConflictError, "HTTP 400: 81053 message 81053", "A, AAAA or CNAME"),
        (400, error_body(81054), ConflictError, "HTTP 400: 81054 message 81054", "A CNAME record already"),
        (400, error_body(81058), ConflictError, "HTTP 400: 81058 message 81058", "identical record"),
        (404, error_body(81044), NotFoundError, "HTTP 404: 81044 message 81044", "list the records"),
        ("404", "Record not found: a, A, b, 0", NotFoundError, "Record not found: a, A, b, 0", "list the records"),
        (400, error_body(1004, 9004), CloudflareError, "HTTP 400: 1004 message 1004; 9004 message 9004", "proxied=False"),
        (400, error_body(9021), CloudflareError, "HTTP 400: 9021 message 9021", "between 60 and 86400"),
        (500, error_body(1000), CloudflareError, "HTTP 500: 1000 message 1000", None),
        (502, "<html>bad gateway</html>", CloudflareError, "HTTP 502: <html>bad gateway</html>", None),
        (503, "", CloudflareError, "HTTP 503", None),
        (7, "Couldn't connect to server", TransportError, "Couldn't connect to server", None),
    ],
)
def test_raise_for_status_picks_the_class_and_the_hint(status, body, error, message, hint):
    r = ApiResponse(status, body)
    with pytest.raises(CloudflareError) as caught:
        r.raise_for_status()
    e = caught.value
    assert type(e) is error and str(e) == message
    assert (e.status, e.response, e.errors) == (status, r, r.errors)
    if hint is None:
        assert e.hint is None and not hasattr(e, "__notes__")
    else:
        assert hint in e.hint and e.__notes__ == [e.hint] and e.hint not in str(e)


def test_raise_for_status_returns_the_response_when_ok():
    r = ApiResponse(200, envelope())
    assert r.raise_for_status() is r


def test_exception_attributes_by_class():
    assert issubclass(ZoneNotFoundError, TypeError) and issubclass(ZoneNotFoundError, CloudflareError)
    for cls in (AuthenticationError, NotFoundError, RateLimitedError, ConflictError, TransportError):
        assert issubclass(cls, CloudflareError) and not issubclass(cls, TypeError)
    assert CloudflareError("x").status is None and RateLimitedError("x").retry_after is None
    assert TransportError("x").curl_code is None
    e = pickle.loads(pickle.dumps(AuthenticationError("m")))
    assert type(e) is AuthenticationError and str(e) == "m"


def test_permission_named_by_the_call(fresh_standin, client_env, zone):
    """A token the service refuses: each call's hint names what it needs."""
    cf = client_for(fresh_standin, "revoked-token")
    cf.zone_id = ZONE_ID
    calls = {
        "Zone \u2192 DNS \u2192 Read": lambda: cf.dns_get_records(),
        "Zone \u2192 DNS \u2192 Edit": lambda: cf.dns_delete_record(rid(1)),
        "Zone \u2192 Zone Settings \u2192 Edit": lambda: cf.change_ssl_model("full"),
        "Zone \u2192 Cache Purge \u2192 Purge": lambda: cf.purge_cache(),
    }
    for permission, call in calls.items():
        with pytest.raises(AuthenticationError) as caught:
            call().raise_for_status()
        assert permission in caught.value.hint and "zone_id=" in caught.value.hint
    with pytest.raises(AuthenticationError) as caught:
        cf.query(DOMAIN)
    assert "Zone \u2192 Zone \u2192 Read" in caught.value.hint
    assert caught.value.response.status in (401, 403)


def test_transport_failure_carries_libcurls_detail(client_env):
    from nuv import Cloudflare

    port = closed_port()
    cf = Cloudflare(api_token=LONG_TOKEN, api_url=f"https://127.0.0.1:{port}/client/v4")
    r = cf.get("/zones")
    assert r == (7, "Couldn't connect to server")  # the documented result text
    assert f"port {port}" in r.detail
    with pytest.raises(TransportError) as caught:
        cf.query(DOMAIN)
    assert caught.value.curl_code == 7 and str(caught.value) == "Couldn't connect to server"
    assert caught.value.hint.startswith(r.detail.split(" after ")[0])


def test_certificate_failure_names_the_ca_file(fresh_standin, client_env):
    from nuv import Cloudflare

    # A bundle without the stand-in's CA: the system one.
    client_env.setenv("CURL_CA_BUNDLE", "/etc/ssl/certs/ca-certificates.crt")
    r = Cloudflare(api_token=LONG_TOKEN, api_url=fresh_standin.api_url).get("/zones")
    assert r.status == 60 and r.detail
    with pytest.raises(TransportError) as caught:
        r.raise_for_status()
    assert "/etc/ssl/certs/ca-certificates.crt" in caught.value.hint


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda cf: cf.query(DOMAIN), id="query"),
        pytest.param(lambda cf: cf.dns_ensured_record(DOMAIN, "A", "a.example.com", "192.0.2.1", False, 1), id="listing"),
    ],
)
def test_error_page_echoing_the_token_is_masked_in_every_text(fresh_standin, client_env, zone, call):
    fresh_standin.add_token(LONG_TOKEN)
    cf = client_for(fresh_standin, LONG_TOKEN)
    cf.zone, cf.zone_id = DOMAIN, ZONE_ID
    page = f"<pre>Authorization: Bearer {LONG_TOKEN}\nX-Token: {LONG_TOKEN}</pre>"
    fresh_standin.add_fault("GET", r"/(zones|dns_records)$", status=400, body=page, count=2)
    with pytest.raises(CloudflareError) as caught:
        call(cf)
    e = caught.value
    texts = [str(e), repr(e), *(getattr(e, "__notes__", [])), repr(e.response), str(e.hint)]
    assert not [t for t in texts if LONG_TOKEN[:8] in t], texts
    assert str(e) == "<pre>Authorization: Bearer ***cdef\nX-Token: ***cdef</pre>"
    assert e.response.body == page  # the items stay exactly what the service said


def test_zone_not_found_is_still_a_type_error_with_a_hint(cf, zone):
    with pytest.raises(TypeError) as caught:
        cf.query("missing.example")
    e = caught.value
    assert type(e) is ZoneNotFoundError and str(e) == "Domain not found: missing.example"
    assert "Zone \u2192 Zone \u2192 Read" in e.hint and e.response.ok
    with pytest.raises(ZoneNotFoundError, match="^Zone id is null") as caught:
        cf.purge_cache()
    assert "zone_id=" in caught.value.hint and caught.value.response is None
