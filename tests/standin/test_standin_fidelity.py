"""Where the Cloudflare model once differed from the service: host names with a final dot,
contents made from data, the comment/tag/search filters, per_page above the maximum,
the routes clients call, the service's own refusals, and starting without the extra."""

from __future__ import annotations

import subprocess
import sys

import pytest

OTHER_ACCOUNT = "fedcba9876543210fedcba9876543210"


def records_path(zone):
    return f"/zones/{zone['id']}/dns_records"


# ----- what is stored ----------------------------------------------------


@pytest.mark.parametrize(
    ("body", "content", "extra"),
    [
        ({"type": "CNAME", "content": "Target.example.net."}, "Target.example.net", {}),
        ({"type": "MX", "content": "mx.example.net.", "priority": 5}, "mx.example.net", {"priority": 5}),
        ({"type": "NS", "content": "ns1.example.net."}, "ns1.example.net", {}),
        ({"type": "MX", "content": ".", "priority": 0}, ".", {}),  # a null MX keeps its root
        ({"type": "TXT", "content": "ends with a dot."}, "ends with a dot.", {}),
        (
            {"type": "CAA", "data": {"flags": 0, "tag": "issue", "value": "letsencrypt.org"}},
            '0 issue "letsencrypt.org"',
            {},
        ),
        (
            {"type": "SRV", "data": {"priority": 10, "weight": 5, "port": 5060, "target": "sip.example.com."}},
            "5 5060 sip.example.com",
            {"priority": 10, "data": {"priority": 10, "weight": 5, "port": 5060, "target": "sip.example.com"}},
        ),
        (
            {"type": "TLSA", "data": {"usage": 3, "selector": 1, "matching_type": 1, "certificate": "abcd"}},
            "3 1 1 abcd",
            {},
        ),
        ({"type": "SSHFP", "data": {"algorithm": 4, "type": 2, "fingerprint": "ff00"}}, "4 2 ff00", {}),
        ({"type": "HTTPS", "data": {"priority": 1, "target": ".", "value": 'alpn="h2"'}}, '1 . alpn="h2"', {}),
        ({"type": "URI", "data": {"weight": 1, "target": "https://x.example"}, "priority": 3}, '1 "https://x.example"', {}),
    ],
)
def test_stored_content(api, zone, body, content, extra):
    reply = api("POST", records_path(zone), dict(body, name="rec"))
    assert reply.status == 200, reply.body
    record = reply.json["result"]
    assert record["content"] == content
    assert {k: record[k] for k in extra} == extra


def test_records_with_data_are_told_apart_by_data(api, zone):
    def caa(tag, value):
        return {"type": "CAA", "name": "@", "data": {"flags": 0, "tag": tag, "value": value}}

    assert api("POST", records_path(zone), caa("issue", "letsencrypt.org")).status == 200
    assert api("POST", records_path(zone), caa("issuewild", "letsencrypt.org")).status == 200
    assert api("POST", records_path(zone), caa("issue", "letsencrypt.org")).codes == [81058]
    listed = api("GET", records_path(zone) + "?type=CAA").json["result"]
    assert [r["content"] for r in listed] == ['0 issue "letsencrypt.org"', '0 issuewild "letsencrypt.org"']


def test_a_final_dot_is_the_same_host(api, zone):
    base = records_path(zone)
    assert api("POST", base, {"type": "CNAME", "name": "www", "content": "t.example.net."}).status == 200
    assert api("POST", base, {"type": "MX", "name": "@", "content": "mx.example.net", "priority": 1}).status == 200
    again = api("POST", base, {"type": "MX", "name": "example.com.", "content": "MX.example.net.", "priority": 2})
    assert again.codes == [81058]
    for query in ("content=t.example.net", "content=t.example.net.", "name=www.example.com.", "content.endswith=t.example.net."):
        assert [r["type"] for r in api("GET", f"{base}?{query}").json["result"]] == ["CNAME"], query


# ----- listing filters --------------------------------------------------


def test_comment_tag_and_search_filters(fresh_standin, api, zone):
    def add(name, comment=None, tags=()):
        fields = {"type": "TXT", "name": name, "content": f"text of {name}", "comment": comment, "tags": list(tags)}
        assert api("POST", records_path(zone), fields).status == 200

    add("a", "Managed by deploy", ["env:prod", "team:web"])
    add("b", "managed by hand", ["env:staging"])
    add("c", None, ["team:db", "env:"])
    add("d")

    def listed(query):
        reply = api("GET", f"{records_path(zone)}?{query.replace(' ', '%20')}")
        assert reply.status == 200, reply.body
        return [r["name"].split(".")[0] for r in reply.json["result"]]

    cases = {
        "comment=managed by hand": ["b"],
        "comment.exact=MANAGED BY DEPLOY": ["a"],
        "comment.contains=managed": ["a", "b"],
        "comment.startswith=managed by d": ["a"],
        "comment.endswith=hand": ["b"],
        "comment.present=1": ["a", "b"],
        "comment.absent=1": ["c", "d"],
        "tag=env": ["a", "b", "c"],
        "tag=env:prod": ["a"],
        "tag.present=team": ["a", "c"],
        "tag.absent=env": ["d"],
        "tag.exact=ENV:Staging": ["b"],
        "tag.contains=env:ro": ["a"],
        "tag.startswith=env:st": ["b"],
        "tag.endswith=team:b": ["a", "c"],
        "tag=env:prod&tag=team:db": [],
        "tag=env:prod&tag=team:db&tag_match=any": ["a", "c"],
        "search=DEPLOY": ["a"],
        "search=team:": ["a", "c"],
        "search=text of d": ["d"],
        "comment.present=1&tag=team&match=any": ["a", "b", "c"],
    }
    assert {query: listed(query) for query in cases} == cases
    for query in ("tag.exact=env", "tag_match=some", "tag.contains=:x"):
        assert api("GET", f"{records_path(zone)}?{query}").codes == [9400], query


@pytest.mark.parametrize(
    ("path", "asked", "served"),
    [("/zones", 1000, 50), ("/zones", 50, 50), ("/zones", 51, 50), ("RECORDS", 10_000, 5_000)],
)
def test_per_page_above_the_maximum_is_served_at_the_maximum(fresh_standin, api, zone, path, asked, served):
    path = records_path(zone) if path == "RECORDS" else path
    reply = api("GET", f"{path}?per_page={asked}")
    assert (reply.status, reply.json["result_info"]["per_page"]) == (200, served)


def test_account_filter(fresh_standin, api, zone):
    fresh_standin.add_zone("other.org", account_id=OTHER_ACCOUNT.upper())
    listed = api("GET", f"/zones?account.id={OTHER_ACCOUNT}").json["result"]
    assert [(z["name"], z["account"]["id"]) for z in listed] == [("other.org", OTHER_ACCOUNT)]
    assert [z["name"] for z in api("GET", f"/zones?account.id={zone['account']['id']}").json["result"]] == [
        "example.com"
    ]
    assert api("GET", "/zones?account.id=" + "0" * 32).json["result"] == []


# ----- routes clients call ----------------------------------------------


def test_routes_clients_call(fresh_standin, api, zone):
    pagerules = api("GET", f"/zones/{zone['id']}/pagerules")
    assert (pagerules.status, pagerules.json["result"]) == (200, [])
    settings = api("GET", f"/zones/{zone['id']}/settings").json["result"]
    assert {s["id"]: s["value"] for s in settings} == fresh_standin.settings(zone["id"])
    verified = api("GET", "/user/tokens/verify")
    assert (verified.status, verified.json["result"]["status"], verified.json["messages"][0]["message"]) == (
        200,
        "active",
        "This API Token is valid and active",
    )
    fresh_standin.add_token("second-token")
    assert api("GET", "/user/tokens/verify", token="second-token").json["result"]["id"] != verified.json["result"]["id"]
    refused = api("GET", "/user/tokens/verify", token="unknown-token")
    assert (refused.status, refused.json["errors"]) == (401, [{"code": 1000, "message": "Invalid API Token"}])
    # Zone creation is not modelled.
    assert api("POST", "/zones", {"name": "new.example", "account": {"id": OTHER_ACCOUNT}}).codes == [7001]


# ----- the service's own refusals ---------------------------------------


@pytest.mark.parametrize(
    ("body", "codes", "chain"),
    [
        ({"type": "CNAME", "name": "c", "content": "not a host"}, [9007], []),
        ({"type": "CNAME", "name": "c", "content": "http://x.example/"}, [9007], []),
        ({"type": "MX", "name": "m", "content": "mail server", "priority": 1}, [1004], [9207]),
        ({"type": "A", "name": "two words", "content": "192.0.2.1"}, [1004], [9207]),
        ({"type": "A", "name": "tab\tname", "content": "192.0.2.1"}, [1004], [9207]),
        ({"type": "TXT", "name": "t", "content": "x", "comment": "line\nbreak"}, [1004], [9207]),
        ({"type": "TXT", "name": "t", "content": "x", "comment": "carriage\rreturn"}, [1004], [9207]),
        ({"type": "TXT", "name": "t", "content": "x", "tags": ["novalue"]}, [1004], [9207]),
        ({"type": "TXT", "name": "t", "content": "x", "tags": ["bad name:x"]}, [1004], [9207]),
        ({"type": "TXT", "name": "t", "content": "x", "tags": ["ok:1", "é:2"]}, [1004], [9207]),
        ({"type": "NS", "name": "www", "content": "ns1.example.net"}, [81056], []),
        ({"type": "A", "name": "sub", "content": "192.0.2.9"}, [81056], []),
        ({"type": "A", "name": "p", "content": "1.1.1.1", "proxied": True}, [9003], []),
        ({"type": "A", "name": "p", "content": "10.0.0.1", "proxied": True}, [9003], []),
        ({"type": "AAAA", "name": "p", "content": "fd00::1", "proxied": True}, [9003], []),
        ({"type": "AAAA", "name": "p", "content": "2001:db8::1%eth0"}, [9006], []),
    ],
)
def test_refusals(fresh_standin, api, zone, body, codes, chain):
    fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    fresh_standin.add_record(zone["id"], type="NS", name="sub", content="ns1.example.net")
    before = fresh_standin.records(zone["id"])
    reply = api("POST", records_path(zone), body)
    assert (reply.status, reply.codes) == (400, codes)
    assert [c["code"] for c in reply.json["errors"][0].get("error_chain", [])] == chain
    assert fresh_standin.records(zone["id"]) == before


def test_what_the_refusals_let_through(fresh_standin, api, zone):
    fresh_standin.add_record(zone["id"], type="NS", name="@", content="ns1.example.net")
    for body in (
        {"type": "NS", "name": "sub", "content": "ns1.example.net"},
        {"type": "NS", "name": "sub", "content": "ns2.example.net"},  # more NS at a delegated name
        {"type": "A", "name": "@", "content": "192.0.2.1"},  # the apex keeps its own NS
        {"type": "CNAME", "name": "_dmarc", "content": "_dmarc.example.net"},
        {"type": "A", "name": "p", "content": "1.1.1.1"},  # not proxied
        {"type": "A", "name": "private", "content": "10.0.0.1"},
        {"type": "A", "name": "q", "content": "192.0.2.1", "proxied": True},
        {"type": "TXT", "name": "t", "content": "x", "comment": "one line", "tags": ["owner:ops-team", "k_2:"]},
    ):
        reply = api("POST", records_path(zone), body)
        assert reply.status == 200, (body, reply.body)


# ----- without the extra ------------------------------------------------

BLOCKED = "import sys; sys.modules['cryptography'] = None; "


@pytest.mark.parametrize(
    "code",
    [BLOCKED + "import nuv.testing", BLOCKED + "import runpy; runpy._run_module_as_main('nuv.testing')"],
    ids=["import", "python -m"],
)
def test_without_the_testing_extra(code):
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert "missing: cryptography): pip install 'nuv[testing]'" in run.stderr.splitlines()[-1]
