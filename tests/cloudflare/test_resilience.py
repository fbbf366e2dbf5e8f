"""Retries against the stand-in's faults, one table per method kind: what is
sent again, how often, and that a write is never duplicated. Waits are scaled
down for the suite (tests/conftest.py); the decisions are the real ones."""

from __future__ import annotations

import re

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid, sent, state
from nuv import Cloudflare
from support import closed_port, in_new_thread, trace_lines

N = f"n.{DOMAIN}"
OLD, NEW = "192.0.2.1", "192.0.2.9"

# name: (call, method, route of its request)
KINDS = {
    "read": (lambda cf: cf.dns_get_records(), "GET", r"/dns_records$"),
    "update": (lambda cf: cf.dns_update_record(rid(1), "A", N, NEW, False, 1), "PUT", r"/dns_records/"),
    "setting": (lambda cf: cf.change_ssl_model("full"), "PATCH", r"/settings/ssl$"),
    "purge": (lambda cf: cf.purge_cache(), "POST", r"/purge_cache$"),
    "delete": (lambda cf: cf.dns_delete_record(rid(1)), "DELETE", r"/dns_records/"),
    "create": (lambda cf: cf.dns_create_record("A", N, NEW, False, 1), "POST", r"/dns_records$"),
}
IDEMPOTENT = ["read", "update", "setting", "purge", "delete"]

# name: fault arguments
FAULTS = {
    "503": dict(status=503),
    "429": dict(status=429, retry_after=1),
    "dropped-unprocessed": dict(drop=True),
    "dropped-processed": dict(drop=True, processed=True),
    "502-processed": dict(status=502, processed=True),
}


def case(kind, fault, requests, status):
    return pytest.param(kind, fault, requests, status, id=f"{kind}-{fault}")


MATRIX = [
    # Every idempotent request is sent again after any of these, and succeeds.
    *[case(kind, fault, 2, 200) for kind in IDEMPOTENT for fault in ("503", "429", "dropped-unprocessed")],
    *[case(kind, fault, 2, 200) for kind in ("read", "update", "setting", "purge") for fault in ("dropped-processed", "502-processed")],
    # The first delete went through: the second is answered 404, which means done.
    case("delete", "dropped-processed", 2, 200),
    case("delete", "502-processed", 2, 200),
    # A create is sent again only after a 429, which the service did not act on.
    case("create", "429", 2, 200),
    case("create", "503", 1, 503),
    case("create", "dropped-unprocessed", 1, 52),
    case("create", "dropped-processed", 1, 52),
    case("create", "502-processed", 1, 502),
]


@pytest.fixture
def kind_client(zcf, seed):
    seed(1, "A", N, OLD, ttl=1, proxied=False)
    return zcf


@pytest.mark.parametrize("kind, fault, requests, status", MATRIX)
def test_fault_matrix(kind_client, fresh_standin, capfd, kind, fault, requests, status):
    call, method, route = KINDS[kind]
    fresh_standin.fault(route, method=method, **FAULTS[fault])
    # A thread without connections yet: libcurl's own re-send of a request
    # whose reused connection died never comes into play.
    assert in_new_thread(lambda: call(kind_client))[0] == status
    assert len(sent(fresh_standin, method)) == requests
    retries = [line for line in trace_lines(capfd) if line.startswith("retry ")]
    assert len(retries) == requests - 1
    if retries:
        assert re.fullmatch(r"retry 1/2 in \d+\.\d s: .+", retries[0]), retries
    if kind == "create":
        created = [r for r in state(fresh_standin) if r[2] == NEW]
        assert len(created) == (1 if status == 200 or FAULTS[fault].get("processed") else 0)  # never two
    if kind == "delete":
        assert [r for r in state(fresh_standin) if r[2] == OLD] == []


def test_the_last_answer_is_the_result_when_every_attempt_fails(kind_client, fresh_standin, capfd):
    fresh_standin.fault(r"/dns_records$", method="GET", status=503, count=3)
    status, body = kind_client.dns_get_records()
    assert status == 503 and "503" in body
    assert len(sent(fresh_standin, "GET")) == 3
    retries = [line.split(" in ")[0] for line in trace_lines(capfd) if line.startswith("retry ")]
    assert retries == ["retry 1/2", "retry 2/2"]


@pytest.mark.parametrize(
    "retry_after, requests, line",
    [
        pytest.param("1", 2, None, id="seconds"),
        pytest.param("Wed, 21 Oct 2015 07:28:00 GMT", 2, None, id="date-in-the-past"),
        pytest.param("61", 1, "no retry: Retry-After 61 s is more than 60 s: 429", id="beyond-60s"),
        pytest.param("soon", 2, None, id="unreadable-means-backoff"),
    ],
)
def test_retry_after(kind_client, fresh_standin, capfd, retry_after, requests, line):
    fresh_standin.fault(r"/dns_records$", method="GET", status=429, retry_after=retry_after)
    status, _ = kind_client.dns_get_records()
    assert status == (429 if requests == 1 else 200)
    assert len(sent(fresh_standin, "GET")) == requests
    if line:
        assert line in trace_lines(capfd)


def test_retries_0_sends_each_request_once(kind_client, fresh_standin):
    kind_client.retries = 0
    for kind in IDEMPOTENT + ["create"]:
        call, method, route = KINDS[kind]
        fresh_standin.fault(route, method=method, status=503)
    for kind in IDEMPOTENT + ["create"]:
        assert KINDS[kind][0](kind_client)[0] == 503
    assert len(sent(fresh_standin)) == len(KINDS)


def test_a_slow_answer_is_retried_for_a_read_and_not_for_a_create(kind_client, fresh_standin):
    kind_client.timeout = 0.3
    fresh_standin.fault(r"/dns_records$", method="GET", delay=1)
    assert kind_client.dns_get_records()[0] == 200
    fresh_standin.fault(r"/dns_records$", method="POST", delay=1)
    assert kind_client.dns_create_record("A", N, NEW, False, 1)[0] == 28  # the service acted; the answer came late
    assert len(sent(fresh_standin, "GET")) == 2 and len(sent(fresh_standin, "POST")) == 1
    assert [r for r in state(fresh_standin) if r[2] == NEW] == [(N, "A", NEW, False)]


def test_a_create_that_never_reached_the_service_is_sent_again(fresh_standin, client_env, capfd):
    cf = Cloudflare(api_token="t", api_url=f"https://127.0.0.1:{closed_port()}/client/v4")
    cf.zone_id = ZONE_ID
    assert cf.dns_create_record("A", N, NEW, False, 1) == (7, "Couldn't connect to server")
    retries = [line.split(": ", 1)[1] for line in trace_lines(capfd) if line.startswith("retry ")]
    assert retries == ["7 (Couldn't connect to server)"] * 2


def test_a_failed_certificate_is_final(fresh_standin, client_env, capfd):
    cf = Cloudflare(api_token="t", api_url=f"https://127.0.0.1:{fresh_standin.info['expired_port']}/client/v4")
    assert cf.get()[0] == 60
    assert not [line for line in trace_lines(capfd) if line.startswith("retry ")]


def test_a_lost_delete_answer_followed_by_404_is_traced_as_done(kind_client, fresh_standin, capfd):
    fresh_standin.fault(r"/dns_records/", method="DELETE", drop=True, processed=True)
    status, body = kind_client.dns_delete_record(rid(1))
    assert (status, body) == (200, f'{{"result":{{"id":"{rid(1)}"}},"success":true,"errors":[],"messages":[]}}')
    assert "delete answered 404 after an attempt whose answer was lost: already gone" in trace_lines(capfd)


# ----- the reconciliation: a write of unknown outcome means listing again ---

BATCH_ROUTE = r"/dns_records/batch$"
CREATE_ROUTE = r"/dns_records$"


@pytest.mark.parametrize(
    "seeded, route, fault, posts",
    [
        # One create: a single request.
        pytest.param(None, CREATE_ROUTE, "dropped-processed", 1, id="create-applied-answer-lost"),
        pytest.param(None, CREATE_ROUTE, "502-processed", 1, id="create-applied-502"),
        pytest.param(None, CREATE_ROUTE, "dropped-unprocessed", 2, id="create-lost-before-the-service"),
        pytest.param(None, CREATE_ROUTE, "503", 2, id="create-503"),
        # A CNAME in the way: delete and create in one batch.
        pytest.param("CNAME", BATCH_ROUTE, "dropped-processed", 1, id="batch-applied-answer-lost"),
        pytest.param("CNAME", BATCH_ROUTE, "dropped-unprocessed", 2, id="batch-lost-before-the-service"),
    ],
)
def test_a_write_of_unknown_outcome_is_never_sent_again_blindly(zcf, seed, fresh_standin, capfd, seeded, route, fault, posts):
    if seeded:
        seed(1, seeded, N, "t.example.net", ttl=1, proxied=False)
    fresh_standin.fault(route, method="POST", **FAULTS[fault])
    status, _ = zcf.dns_ensured_record(DOMAIN, "A", N, NEW, False, 1)
    assert status == 200
    assert state(fresh_standin) == [(N, "A", NEW, False)]  # once, and nothing else
    assert len([r for r in sent(fresh_standin, "POST") if re.search(route, r["path"])]) == posts
    assert any(line.startswith("write outcome unknown (") for line in trace_lines(capfd))


def test_listing_again_stops_after_retries_rounds(zcf, fresh_standin):
    fresh_standin.fault(CREATE_ROUTE, method="POST", status=503, count=None)
    assert zcf.dns_ensured_record(DOMAIN, "A", N, NEW, False, 1)[0] == 503
    assert len(sent(fresh_standin, "POST")) == 3 and len(sent(fresh_standin, "GET")) == 3
