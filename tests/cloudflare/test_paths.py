"""Every id a caller or the service hands us stays one path segment: no id can
make a request reach another resource, and what the trace shows is what went
out."""

from __future__ import annotations

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, sent
from support import echoed, trace_lines

# (id, its one-segment encoding): dot segments and encoded or slashed ones.
HOSTILE_IDS = [
    (".", "%2E"),
    ("..", "%2E%2E"),
    ("%2e%2e", "%252e%252e"),
    ("a/../b", "a%2F%2E%2E%2Fb"),
]

RECORD = ("A", f"n.{DOMAIN}", "192.0.2.1", False, 1)

# (call with the record id, method, path after "/zones/<zone id>", with <r> for the record id)
ZONE_CALLS = [
    (lambda cf, r: cf.dns_create_record(*RECORD), "POST", "/dns_records"),
    (lambda cf, r: cf.dns_update_record(r, *RECORD), "PUT", "/dns_records/<r>"),
    (lambda cf, r: cf.dns_delete_record(r), "DELETE", "/dns_records/<r>"),
    (lambda cf, r: cf.dns_get_records(type="A"), "GET", "/dns_records?&type=A"),
    (lambda cf, r: cf.change_always_use_https("on"), "PATCH", "/settings/always_use_https"),
    (lambda cf, r: cf.change_automatic_https_rewrites("on"), "PATCH", "/settings/automatic_https_rewrites"),
    (lambda cf, r: cf.change_ssl_model("full"), "PATCH", "/settings/ssl"),
    (lambda cf, r: cf.purge_cache(), "POST", "/purge_cache"),
]


@pytest.mark.parametrize("raw, encoded", HOSTILE_IDS)
@pytest.mark.parametrize("call, method, rest", ZONE_CALLS)
def test_ids_stay_one_segment(echo_cf, capfd, call, method, rest, raw, encoded):
    capfd.readouterr()
    # The same hostile text as zone id and as record id, so each path holds it
    # in every id-bearing place.
    echo_cf.zone_id = raw
    echo = echoed(call(echo_cf, raw))
    expected = "/_test/echo/zones/" + encoded + rest.replace("<r>", encoded)
    assert (echo["method"], echo["target"]) == (method, expected)
    # The trace names exactly the target that was sent.
    traced = [line for line in trace_lines(capfd) if line.startswith("http_method: ")]
    assert traced[-1].endswith(expected)


@pytest.mark.parametrize("raw, encoded", HOSTILE_IDS)
def test_a_listed_record_id_cannot_redirect_the_reconciliation(zcf, fresh_standin, raw, encoded):
    # The listing names the record by the hostile id: its writes must go to
    # that record (which the service refuses), never to the zone or elsewhere.
    listing = {
        "success": True,
        "errors": [],
        "messages": [],
        "result": [
            {"id": raw, "type": "A", "name": f"n.{DOMAIN}", "content": "192.0.2.9", "proxied": False, "ttl": 1}
        ],
        "result_info": {"page": 1, "per_page": 100, "count": 1, "total_count": 1, "total_pages": 1},
    }
    fresh_standin.add_fault("GET", r"/dns_records$", status=200, body=listing)
    zcf.dns_ensured_record(DOMAIN, "A", f"n.{DOMAIN}", "192.0.2.1", False, 1)
    records = f"/client/v4/zones/{ZONE_ID}/dns_records"
    targets = [r["target"] for r in sent(fresh_standin) if r["method"] != "GET"]
    assert f"{records}/{encoded}" in targets
    assert all(t in (records, f"{records}/{encoded}") for t in targets), targets


def test_a_path_given_to_get_goes_out_as_written(echo_cf):
    assert echoed(echo_cf.get("/a/./b/../c"))["target"] == "/_test/echo/a/./b/../c"
