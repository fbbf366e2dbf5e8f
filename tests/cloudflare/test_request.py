"""One call, one account: a method that makes several requests sends all of
them with the token, base URL and zone id it started with, whatever another
thread assigns while a request is on the wire."""

import threading
import time

from cloudflare_support import (
    DOMAIN,
    OTHER_DOMAIN,
    OTHER_ZONE_ID,
    ZONE_ID,
    result_of,
    sent,
)

EMPTY_LISTING = {"success": True, "errors": [], "messages": [], "result": []}


def authorization(request) -> str:
    return next(v for k, v in request["headers"] if k.lower() == "authorization")


def logged(token: str) -> str:
    """The stand-in's record of "Bearer <token>": masked, as the trace shows it."""
    return f"Bearer ***{token[-4:]}" if len(token) >= 16 else "Bearer ***"


def run_while_first_request_waits(standin, call, meanwhile):
    """Runs call() on a thread and, once its first request has arrived, meanwhile()."""
    outcome = {}
    worker = threading.Thread(target=lambda: outcome.setdefault("value", call()))
    worker.start()
    deadline = time.monotonic() + 10
    while not sent(standin) and time.monotonic() < deadline:
        time.sleep(0.01)
    meanwhile()
    worker.join(15)
    return outcome["value"]


def test_reconciliation_writes_with_what_it_started_with(zcf, fresh_standin):
    fresh_standin.add_zone(OTHER_DOMAIN, id=OTHER_ZONE_ID)
    fresh_standin.add_token("other-token")
    fresh_standin.add_fault("GET", r"/dns_records$", status=200, body=EMPTY_LISTING, delay=1.0)
    token = zcf.api_token

    def reassign():
        zcf.api_token, zcf.zone, zcf.zone_id = "other-token", OTHER_DOMAIN, OTHER_ZONE_ID

    response = run_while_first_request_waits(
        fresh_standin, lambda: zcf.dns_ensured_record(DOMAIN, "A", f"n.{DOMAIN}", "192.0.2.1", False, 1), reassign
    )
    result_of(response)
    listing, create = sent(fresh_standin)
    assert create["path"] == f"/client/v4/zones/{ZONE_ID}/dns_records"
    assert authorization(listing) == authorization(create) == logged(token) != logged("other-token")
    assert fresh_standin.records(OTHER_ZONE_ID) == [] and len(fresh_standin.records(ZONE_ID)) == 1


def test_listing_after_a_lookup_uses_the_same_token_and_base_url(cf, zone, fresh_standin):
    fresh_standin.add_token("other-token")
    lookup = {"success": True, "errors": [], "messages": [], "result": [{"id": ZONE_ID, "name": DOMAIN}]}
    fresh_standin.add_fault("GET", r"/zones$", status=200, body=lookup, delay=1.0)
    token = cf.api_token

    def reassign():
        cf.api_token, cf.api_url = "other-token", "https://127.0.0.1:9/client/v4"

    assert run_while_first_request_waits(fresh_standin, lambda: cf.dns_get_records(DOMAIN), reassign)[0] == 200
    requests = sent(fresh_standin)
    assert [r["path"] for r in requests] == ["/client/v4/zones", f"/client/v4/zones/{ZONE_ID}/dns_records"]
    assert {authorization(r) for r in requests} == {logged(token)} != {logged("other-token")}


def test_default_host_through_the_proxy(fresh_standin, client_env, zone, capfd):
    from nuv import Cloudflare

    cf = Cloudflare(api_token=fresh_standin.token, proxy=fresh_standin.proxy_url)
    assert cf.api_url == "https://api.cloudflare.com/client/v4"
    cf.query(DOMAIN)
    result_of(cf.dns_ensured_record(DOMAIN, "AAAA", f"v6.{DOMAIN}", "2001:db8::1", True, 1))
    requests = sent(fresh_standin)
    assert [(r["method"], r["host"], r["via_proxy"]) for r in requests] == [
        ("GET", "api.cloudflare.com", True),
        ("GET", "api.cloudflare.com", True),
        ("POST", "api.cloudflare.com", True),
    ]
    assert f"user_proxy: {fresh_standin.proxy_url}" in capfd.readouterr().out

