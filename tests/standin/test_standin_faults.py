"""What tests of clients lean on: the batch endpoint's atomicity and switches, the zone's
history, injected faults, and the service's rate limit."""

from __future__ import annotations

import http.client
import json
import ssl
import time

import pytest
from nuv.testing import StandIn, StandInError


def names(records):
    return sorted((r["type"], r["name"]) for r in records)


# ----- batch ------------------------------------------------------------


def test_batch_runs_deletes_first_so_a_swap_is_one_state(fresh_standin, api, zone):
    a = fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    fresh_standin.clear_history(zone["id"])
    # Listed last, run first: without the delete the CNAME would be refused (81053).
    swap = {
        "posts": [{"type": "CNAME", "name": "www", "content": "target.example.net"}],
        "deletes": [{"id": a["id"]}],
    }
    reply = api("POST", f"/zones/{zone['id']}/dns_records/batch", swap)
    assert reply.status == 200, reply.body
    history = fresh_standin.history(zone["id"], fields=["type", "name"])
    assert [(h["by"], names(h["records"])) for h in history] == [
        ("POST /zones/{zone_id}/dns_records/batch", [("CNAME", "www.example.com")])
    ]


def test_sequential_writes_each_leave_a_state(fresh_standin, api, zone):
    a = fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    base = f"/zones/{zone['id']}/dns_records"
    assert api("DELETE", f"{base}/{a['id']}").status == 200
    assert api("POST", base, {"type": "CNAME", "name": "www", "content": "t.example.net"}).status == 200
    states = [(h["write"], h["by"], names(h["records"])) for h in fresh_standin.history(zone["id"])]
    assert states == [
        (1, "control", [("A", "www.example.com")]),
        (2, "DELETE /zones/{zone_id}/dns_records/{dns_record_id}", []),
        (3, "POST /zones/{zone_id}/dns_records", [("CNAME", "www.example.com")]),
    ]


@pytest.mark.parametrize(
    ("batch", "status", "codes"),
    [
        # A patch of a record deleted earlier in the same batch: deletes ran first.
        (lambda old: {"deletes": [{"id": old}], "patches": [{"id": old, "ttl": 300}]}, 404, [81044]),
        (
            lambda old: {"deletes": [{"id": old}], "posts": [{"type": "A", "name": "new", "content": "no-address"}]},
            400,
            [9005],
        ),
        (lambda old: {"puts": [{"id": old, "type": "A", "name": "old", "content": "192.0.2.9", "ttl": 5}]}, 400, [9021]),
        (lambda old: {"posts": [{"type": "A", "name": "n", "content": "192.0.2.5"}] * 2}, 400, [81058]),
    ],
)
def test_a_failing_item_undoes_the_whole_batch(fresh_standin, api, zone, batch, status, codes):
    old = fresh_standin.add_record(zone["id"], type="A", name="old", content="192.0.2.1")
    before = fresh_standin.records(zone["id"])
    reply = api("POST", f"/zones/{zone['id']}/dns_records/batch", batch(old["id"]))
    assert (reply.status, reply.codes) == (status, codes)
    assert fresh_standin.records(zone["id"]) == before
    assert len(fresh_standin.history(zone["id"])) == 1


@pytest.mark.parametrize(("plan", "size", "status"), [("free", 200, 200), ("free", 201, 400), ("pro", 201, 200)])
def test_batch_record_limit_follows_the_plan(fresh_standin, api, plan, size, status):
    zone = fresh_standin.add_zone("example.org", plan=plan)
    posts = [{"type": "TXT", "name": "t", "content": f"v{i}"} for i in range(size)]
    reply = api("POST", f"/zones/{zone['id']}/dns_records/batch", {"posts": posts})
    assert reply.status == status
    if status == 400:
        assert reply.codes == [1004]
        assert reply.json["errors"][0]["error_chain"][0]["code"] == 81069
    assert len(fresh_standin.records(zone["id"])) == (size if status == 200 else 0)


@pytest.mark.parametrize(
    ("status", "codes"), [(404, [7000]), (405, [7001]), (403, [10000]), (400, [7000])]
)
def test_batches_refused_as_unavailable(fresh_standin, api, zone, status, codes):
    path = f"/zones/{zone['id']}/dns_records/batch"
    post = {"posts": [{"type": "A", "name": "x", "content": "192.0.2.1"}]}
    fresh_standin.refuse_batches(status, count=2)
    for _ in range(2):
        reply = api("POST", path, post)
        assert (reply.status, reply.codes) == (status, codes)
    assert fresh_standin.records(zone["id"]) == []
    assert api("POST", path, post).status == 200
    fresh_standin.refuse_batches(404)
    assert api("POST", path, {}).status == 404
    fresh_standin.reset()
    zone = fresh_standin.add_zone("example.com")
    assert api("POST", f"/zones/{zone['id']}/dns_records/batch", {}).status == 200


def test_failing_a_chosen_item(fresh_standin, api, zone):
    keep = fresh_standin.add_record(zone["id"], type="A", name="keep", content="192.0.2.1")
    path = f"/zones/{zone['id']}/dns_records/batch"
    batch = {
        "deletes": [{"id": keep["id"]}],
        "posts": [{"type": "A", "name": f"n{i}", "content": f"192.0.2.{i}"} for i in range(3)],
    }
    fresh_standin.fail_batch_item("posts", 2, status=500, code=1234, message="storage failed")
    reply = api("POST", path, batch)
    assert (reply.status, reply.json["errors"]) == (500, [{"code": 1234, "message": "storage failed"}])
    assert [r["name"] for r in fresh_standin.records(zone["id"])] == ["keep.example.com"]
    # Once by default: the same batch goes through next time.
    assert names(api("POST", path, batch).json["result"]["posts"]) == [
        ("A", f"n{i}.example.com") for i in range(3)
    ]
    with pytest.raises(StandInError, match="section"):
        fresh_standin.fail_batch_item("creates")


# ----- faults -----------------------------------------------------------


def post_record(api, zone, name="x"):
    return api("POST", f"/zones/{zone['id']}/dns_records", {"type": "A", "name": name, "content": "192.0.2.1"})


@pytest.mark.parametrize(
    ("fault", "status", "header", "body_start"),
    [
        ({"status": 429, "retry_after": 7}, 429, "7", '{"result": null, "success": false, "errors": [{"code": 971'),
        ({"status": 429, "retry_after": "Wed, 21 Oct 2037 07:28:00 GMT"}, 429, "Wed, 21 Oct 2037 07:28:00 GMT", "{"),
        ({"status": 503}, 503, None, "<html><head><title>503 Server error"),
        ({"status": 522}, 522, None, "<html><head><title>522 Connection timed out"),
        ({"status": 500, "body": "plain"}, 500, None, "plain"),
        ({"status": 502, "processed": True}, 502, None, "<html>"),
    ],
)
def test_answers_instead_of_the_service(fresh_standin, api, zone, fault, status, header, body_start):
    fresh_standin.fault(r"/dns_records$", method="POST", **fault)
    reply = post_record(api, zone)
    assert (reply.status, reply.headers["Retry-After"]) == (status, header)
    assert reply.body.decode().startswith(body_start)
    # Processed: the write happened although the answer says otherwise.
    assert len(fresh_standin.records(zone["id"])) == (1 if fault.get("processed") else 0)
    assert post_record(api, zone, "y").status == 200


@pytest.mark.parametrize("processed", [False, True])
def test_dropped_connections(fresh_standin, api, zone, processed):
    fresh_standin.fault(r"/dns_records$", method="POST", drop=True, processed=processed)
    with pytest.raises((ConnectionError, http.client.RemoteDisconnected)):
        post_record(api, zone)
    assert len(fresh_standin.records(zone["id"])) == (1 if processed else 0)


def test_a_delayed_answer_comes_after_the_service_acted(fresh_standin, client, api, zone):
    fresh_standin.fault(r"/dns_records$", method="POST", delay=3)
    client.conn.timeout = 0.3  # before its first request: the connection is made with it
    with pytest.raises(TimeoutError):
        post_record(api, zone)
    assert len(fresh_standin.records(zone["id"])) == 1


def test_faults_by_count_method_and_route(fresh_standin, api, zone):
    fresh_standin.fault(r"/zones$", method="GET", status=500, count=None)
    fresh_standin.fault(r"/dns_records", status=504, count=2)
    assert [api("GET", "/zones").status for _ in range(3)] == [500] * 3
    assert api("GET", f"/zones/{zone['id']}").status == 200
    assert [post_record(api, zone, f"n{i}").status for i in range(3)] == [504, 504, 200]
    assert [(f["path_regex"], f["remaining"], f["hits"]) for f in fresh_standin.faults()] == [("/zones$", None, 3)]
    fresh_standin.clear_faults()
    assert api("GET", "/zones").status == 200
    with pytest.raises(StandInError, match="delay"):
        fresh_standin.fault(".", delay=41)


# ----- the service's rate limit -----------------------------------------


def test_rate_limit_blocks_the_token_then_lets_it_go(fresh_standin, api):
    fresh_standin.add_token("other-token")
    fresh_standin.set_rate_limit(3, window=60, block=0.5)
    replies = [api("GET", "/zones") for _ in range(4)]
    assert [r.status for r in replies] == [200, 200, 200, 429]
    assert [r.headers["Ratelimit"].split(";")[1] for r in replies[:3]] == ["r=2", "r=1", "r=0"]
    assert (replies[3].codes, replies[3].headers["Retry-After"]) == ([971], "1")
    assert api("GET", "/zones").status == 429  # blocked, whatever the route
    assert api("GET", "/zones", token="other-token").status == 200
    time.sleep(0.6)
    assert api("GET", "/zones").status == 200


def test_rate_limit_switched_off_and_back_by_reset(fresh_standin, api):
    fresh_standin.set_rate_limit(None)
    assert {api("GET", "/zones").status for _ in range(5)} == {200}
    assert "Ratelimit" not in api("GET", "/zones").headers
    fresh_standin.reset()
    assert api("GET", "/zones").headers["Ratelimit"].startswith('"default";r=1199;')


def test_rate_limit_chosen_at_start_up():
    with StandIn.start(cloudflare_rate_limit="2/60") as standin:
        standin.reset()
        context = ssl.create_default_context(cafile=standin.ca_file)
        statuses = []
        for _ in range(3):
            conn = http.client.HTTPSConnection("127.0.0.1", standin.https_port, context=context, timeout=30)
            conn.request("GET", "/client/v4/zones", headers={"Authorization": f"Bearer {standin.token}"})
            response = conn.getresponse()
            statuses.append((response.status, json.loads(response.read())["success"]))
            conn.close()
        assert statuses == [(200, True), (200, True), (429, False)]
    with pytest.raises(StandInError, match="LIMIT/WINDOW"):
        StandIn.start(cloudflare_rate_limit="fast")
