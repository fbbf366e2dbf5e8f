"""The Cloudflare model: authentication, listings, record writes and their errors, settings, purge, faults."""

from __future__ import annotations

import pytest

ZONE_NAMES = ["b-zone.com", "a-zone.org", "c-zone.net", "d-zone.com", "e-zone.io", "f-zone.dev"]


# ----- authentication ---------------------------------------------------


@pytest.mark.parametrize(
    ("headers", "status", "codes", "chain"),
    [
        ({}, 400, [6003], [6111]),
        ({"Authorization": "Basic abc"}, 400, [6003], [6111]),
        ({"Authorization": "Bearer two words"}, 400, [6003], [6111]),
        ({"Authorization": "Bearer unknown-token"}, 403, [9109], []),
        ({"X-Auth-Email": "a@example.com", "X-Auth-Key": "0" * 37}, 403, [9103], []),
        ({"X-Auth-Email": "nobody", "X-Auth-Key": "short"}, 400, [6003], [6103, 6102]),
    ],
)
def test_authentication_failures(client, headers, status, codes, chain):
    reply = client.request("GET", "/client/v4/zones", headers=headers)
    assert (reply.status, reply.codes) == (status, codes)
    assert [c["code"] for c in reply.json["errors"][0].get("error_chain", [])] == chain


def test_token_restricted_to_zones(fresh_standin, api):
    allowed = fresh_standin.add_zone("allowed.com")
    other = fresh_standin.add_zone("other.com")
    fresh_standin.add_token("limited", zones=[allowed["id"]])
    listing = api("GET", "/zones", token="limited").json["result"]
    assert [z["name"] for z in listing] == ["allowed.com"]
    assert api("GET", f"/zones/{allowed['id']}/dns_records", token="limited").status == 200
    refused = api("GET", f"/zones/{other['id']}/dns_records", token="limited")
    assert (refused.status, refused.codes, refused.json["errors"][0]["message"]) == (
        403,
        [10000],
        "Authentication error",
    )


def test_routing_errors(api, zone):
    bad_id = api("GET", "/zones/not-an-id/dns_records")
    assert (bad_id.status, bad_id.codes) == (400, [7003, 7000])
    assert bad_id.json["errors"][0]["message"] == (
        "Could not route to /client/v4/zones/not-an-id/dns_records, perhaps your object identifier is invalid?"
    )
    # An encoded "../" is a bad identifier, never a step up the path.
    assert api("GET", f"/zones/{zone['id']}/dns_records/..%2F..%2Fzones").codes == [7003, 7000]
    assert api("GET", f"/zones/{'0' * 32}/dns_records").codes == [7003, 7000]
    assert api("GET", "/nothing/here").codes == [7000]
    assert api("DELETE", "/zones").status == 405


# ----- zone listing -----------------------------------------------------


def test_zone_listing_filters(fresh_standin, api):
    for name in ZONE_NAMES:
        fresh_standin.add_zone(name)
    fresh_standin.add_zone("pending-zone.com", status="pending")

    def names(query):
        reply = api("GET", "/zones" + query)
        assert reply.status == 200, reply.body
        return [z["name"] for z in reply.json["result"]]

    assert names("?name=A-ZONE.ORG") == ["a-zone.org"]
    assert names("?name=contains:zone.c") == ["b-zone.com", "d-zone.com", "pending-zone.com"]
    assert names("?name=ends_with:.net") == ["c-zone.net"]
    assert names("?name=starts_with_case_sensitive:F") == []
    assert names("?status=pending") == ["pending-zone.com"]
    assert names("?name=a-zone.org&status=pending&match=any") == ["a-zone.org", "pending-zone.com"]
    assert names("?per_page=5&page=2&direction=desc") == ["b-zone.com", "a-zone.org"]


def test_zone_pagination_and_limits(fresh_standin, api):
    for name in ZONE_NAMES:
        fresh_standin.add_zone(name)
    reply = api("GET", "/zones?per_page=5")
    assert reply.json["result_info"] == {"page": 1, "per_page": 5, "count": 5, "total_count": 6, "total_pages": 2}
    assert api("GET", "/zones").json["result_info"]["per_page"] == 20
    for query in ("per_page=4", "page=0", "page=x", "status=gone", "order=size"):
        refused = api("GET", "/zones?" + query)
        assert (refused.status, refused.codes) == (400, [9400]), query


# ----- DNS listing ------------------------------------------------------


def test_record_listing_filters_are_exact_and_case_insensitive(fresh_standin, api, zone):
    add = lambda **f: fresh_standin.add_record(zone["id"], **f)  # noqa: E731
    add(type="A", name="www.example.com", content="192.0.2.1")
    add(type="AAAA", name="WWW.example.com", content="2001:db8::1")
    add(type="TXT", name="www.example.com", content="Hello World")
    add(type="A", name="www2.example.com", content="192.0.2.1")

    def ids(query):
        reply = api("GET", f"/zones/{zone['id']}/dns_records" + query)
        assert reply.status == 200, reply.body
        return [(r["type"], r["name"]) for r in reply.json["result"]]

    assert ids("?name=www.example.com") == [
        ("A", "www.example.com"),
        ("AAAA", "WWW.example.com"),
        ("TXT", "www.example.com"),
    ]
    assert ids("?name.exact=www.EXAMPLE.com&type=a") == [("A", "www.example.com")]
    assert ids("?content=hello%20world") == [("TXT", "www.example.com")]
    assert ids("?content=hello") == []
    assert ids("?content.contains=hello&type=A&match=any") == [
        ("A", "www.example.com"),
        ("A", "www2.example.com"),
        ("TXT", "www.example.com"),
    ]
    assert ids("?name.startswith=www2") == [("A", "www2.example.com")]


def test_record_listing_pagination_and_order(fresh_standin, api, zone):
    for i in range(130):
        fresh_standin.add_record(zone["id"], type="TXT" if i % 2 else "A", name=f"h{i}", content=f"192.0.2.{i}")
    first = api("GET", f"/zones/{zone['id']}/dns_records").json
    assert first["result_info"] == {"page": 1, "per_page": 100, "count": 100, "total_count": 130, "total_pages": 2}
    second = api("GET", f"/zones/{zone['id']}/dns_records?page=2").json["result"]
    listed = first["result"] + second
    # Ordered by type, ties in creation order.
    assert [r["name"] for r in listed] == [f"h{i}.example.com" for i in range(0, 130, 2)] + [
        f"h{i}.example.com" for i in range(1, 130, 2)
    ]
    assert api("GET", f"/zones/{zone['id']}/dns_records?per_page=0").codes == [9400]
    assert api("GET", f"/zones/{zone['id']}/dns_records?page=9").json["result"] == []


# ----- DNS writes -------------------------------------------------------


def test_record_life_cycle(fresh_standin, api, zone):
    base = f"/zones/{zone['id']}/dns_records"
    created = api("POST", base, {"type": "AAAA", "name": "Host", "content": "2001:DB8:0::1", "ttl": 300})
    assert created.status == 200
    record = created.json["result"]
    assert (record["name"], record["content"], record["ttl"], record["proxiable"]) == (
        "host.example.com",
        "2001:db8::1",
        300,
        True,
    )
    assert (
        api("POST", base, {"type": "MX", "name": "@", "content": "mx.example.com", "priority": 10}).json["result"][
            "name"
        ]
        == "example.com"
    )
    path = f"{base}/{record['id']}"
    patched = api("PATCH", path, {"proxied": True}).json["result"]
    assert (patched["proxied"], patched["ttl"], patched["content"]) == (True, 1, "2001:db8::1")
    put = api("PUT", path, {"type": "A", "name": "host.example.com", "content": "192.0.2.7"}).json["result"]
    assert (put["type"], put["proxied"], put["id"], put["created_on"]) == (
        "A",
        False,
        record["id"],
        record["created_on"],
    )
    assert api("GET", path).json["result"]["content"] == "192.0.2.7"
    assert api("DELETE", path).json == {"result": {"id": record["id"]}, "success": True, "errors": [], "messages": []}
    gone = api("GET", path)
    assert (gone.status, gone.codes, gone.json["errors"][0]["message"]) == (404, [81044], "Record does not exist.")
    assert [r["type"] for r in fresh_standin.records(zone["id"])] == ["MX"]


@pytest.mark.parametrize(
    ("body", "codes", "message"),
    [
        ({"type": "A", "name": "www", "content": "192.0.2.1"}, [81058], "An identical record already exists."),
        (
            {"type": "CNAME", "name": "www", "content": "target.example.net"},
            [81053],
            "An A, AAAA, or CNAME record with that host already exists.",
        ),
        (
            {"type": "A", "name": "alias", "content": "192.0.2.9"},
            [81054],
            "A CNAME record with that host already exists. For more details, refer to "
            "<https://developers.cloudflare.com/dns/manage-dns-records/troubleshooting/records-with-same-name/>.",
        ),
        (
            {"type": "A", "name": "x", "content": "192.0.2.300"},
            [9005],
            "Content for A record must be a valid IPv4 address.",
        ),
        (
            {"type": "AAAA", "name": "x", "content": "192.0.2.1"},
            [9006],
            "Content for AAAA record must be a valid IPv6 address.",
        ),
        ({"type": "TXT", "name": "x", "content": "t", "proxied": True}, [1004], "DNS Validation Error"),
        (
            {"type": "A", "name": "x", "content": "192.0.2.1", "ttl": 59},
            [9021],
            "Invalid TTL. Must be between 60 and 86400 seconds, or 1 for automatic.",
        ),
        ({"type": "MX", "name": "x", "content": "mx.example.com"}, [9102], "Priority is required for MX records."),
        (
            {"type": "MX", "name": "x", "content": "mx.example.com", "priority": 65536},
            [9102],
            "Priority must be a whole number from 0 to 65535.",
        ),
        (
            {"type": "CNAME", "name": "loop", "content": "LOOP.example.com"},
            [9007],
            "Content for CNAME record is invalid.",
        ),
        ({"type": "FOO", "name": "x", "content": "y"}, [1004], "DNS Validation Error"),
        ({"name": "x", "content": "y"}, [1004], "DNS Validation Error"),
        ({"type": "A", "name": "x", "content": "192.0.2.1", "proxied": "yes"}, [1004], "DNS Validation Error"),
        ({"type": "A", "content": "192.0.2.1"}, [1004], "DNS Validation Error"),
        ([1, 2], [1004], "DNS Validation Error"),
        ("{not json", [9207], "Request body is invalid."),
    ],
)
def test_record_validation_errors(fresh_standin, api, zone, body, codes, message):
    fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    fresh_standin.add_record(zone["id"], type="CNAME", name="alias", content="www.example.com")
    reply = api("POST", f"/zones/{zone['id']}/dns_records", body)
    assert (reply.status, reply.codes, reply.json["errors"][0]["message"]) == (400, codes, message)
    assert len(fresh_standin.records(zone["id"])) == 2


def test_error_chains_name_the_cause(api, zone):
    base = f"/zones/{zone['id']}/dns_records"
    proxied_txt = api("POST", base, {"type": "TXT", "name": "x", "content": "t", "proxied": True})
    assert proxied_txt.json["errors"][0]["error_chain"] == [
        {"code": 9004, "message": "This record type cannot be proxied."}
    ]
    wrong_type = api("POST", base, {"type": "A", "name": "x", "content": "192.0.2.1", "ttl": "auto"})
    assert wrong_type.json["errors"][0]["error_chain"][0]["message"].startswith("ttl: ")


def test_overwrite_applies_conflict_rules_except_to_itself(fresh_standin, api, zone):
    own = fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    fresh_standin.add_record(zone["id"], type="A", name="www", content="192.0.2.2")
    path = f"/zones/{zone['id']}/dns_records/{own['id']}"
    same = api("PUT", path, {"type": "A", "name": "www", "content": "192.0.2.1", "ttl": 120})
    assert same.status == 200 and same.json["result"]["ttl"] == 120
    assert api("PUT", path, {"type": "A", "name": "www", "content": "192.0.2.2"}).codes == [81058]
    assert api("PUT", path, {"type": "CNAME", "name": "www", "content": "elsewhere.example.net"}).codes == [81053]
    assert api("PATCH", path, {"content": "192.0.2.2"}).codes == [81058]
    assert api(
        "PUT", f"/zones/{zone['id']}/dns_records/{'f' * 32}", {"type": "A", "name": "w", "content": "192.0.2.3"}
    ).codes == [81044]


def test_a_and_aaaa_coexist(api, zone):
    base = f"/zones/{zone['id']}/dns_records"
    assert api("POST", base, {"type": "A", "name": "dual", "content": "192.0.2.1"}).status == 200
    assert api("POST", base, {"type": "AAAA", "name": "dual", "content": "2001:db8::1"}).status == 200
    assert api("POST", base, {"type": "TXT", "name": "dual", "content": "x"}).status == 200


def test_batch_is_all_or_nothing(fresh_standin, api, zone):
    old = fresh_standin.add_record(zone["id"], type="A", name="old", content="192.0.2.1")
    path = f"/zones/{zone['id']}/dns_records/batch"
    failing = {"deletes": [{"id": old["id"]}], "posts": [{"type": "A", "name": "new", "content": "not-an-address"}]}
    assert api("POST", path, failing).codes == [9005]
    assert [r["name"] for r in fresh_standin.records(zone["id"])] == ["old.example.com"]
    good = {"deletes": [{"id": old["id"]}], "posts": [{"type": "A", "name": "new", "content": "192.0.2.2"}]}
    result = api("POST", path, good).json["result"]
    assert ([r["id"] for r in result["deletes"]], [r["name"] for r in result["posts"]]) == (
        [old["id"]],
        ["new.example.com"],
    )


# ----- settings and purge -----------------------------------------------


def test_settings(fresh_standin, api, zone):
    base = f"/zones/{zone['id']}/settings"
    assert fresh_standin.settings(zone["id"]) == {
        "always_use_https": "off",
        "automatic_https_rewrites": "off",
        "ssl": "flexible",
    }
    changed = api("PATCH", f"{base}/always_use_https", {"value": "on"}).json["result"]
    assert (changed["id"], changed["value"], changed["editable"]) == ("always_use_https", "on", True)
    assert api("PATCH", f"{base}/ssl", {"value": "strict"}).json["result"]["value"] == "strict"
    assert api("GET", f"{base}/ssl").json["result"]["value"] == "strict"
    for setting, value in (("ssl", "on"), ("always_use_https", "full"), ("automatic_https_rewrites", True)):
        refused = api("PATCH", f"{base}/{setting}", {"value": value})
        assert (refused.status, refused.json["errors"][0]) == (
            400,
            {"code": 1007, "message": f"Invalid value for zone setting {setting}"},
        )
    unknown = api("PATCH", f"{base}/brotli", {"value": "on"})
    assert (unknown.status, unknown.codes) == (404, [1006])
    assert fresh_standin.settings(zone["id"]) == {
        "always_use_https": "on",
        "automatic_https_rewrites": "off",
        "ssl": "strict",
    }


def test_purge(fresh_standin, api, zone):
    path = f"/zones/{zone['id']}/purge_cache"
    assert api("POST", path, {"purge_everything": True}).json["result"] == {"id": zone["id"]}
    assert api("POST", path, {"files": ["https://example.com/a.css"]}).status == 200
    assert api("POST", path, {}).codes == [1012]
    assert api("POST", path, {"purge_everything": "yes"}).codes == [1012]
    assert api("POST", path, ["everything"]).codes == [9207]
    assert fresh_standin.purges(zone["id"]) == 2


# ----- faults -----------------------------------------------------------


def test_faults_replace_answers_without_touching_state(fresh_standin, api, client, zone):
    base = f"/zones/{zone['id']}/dns_records"
    limited = {"result": None, "success": False, "errors": [{"code": 971, "message": "Please wait"}], "messages": []}
    fresh_standin.add_fault("POST", r"/dns_records$", status=429, body=limited, count=2, headers={"Retry-After": "1"})
    for _ in range(2):
        reply = api("POST", base, {"type": "A", "name": "x", "content": "192.0.2.1"})
        assert (reply.status, reply.codes, reply.headers["Retry-After"]) == (429, [971], "1")
    assert fresh_standin.records(zone["id"]) == []
    assert api("POST", base, {"type": "A", "name": "x", "content": "192.0.2.1"}).status == 200
    fresh_standin.add_fault(None, "/zones$", status=502, body="bad gateway")
    assert (api("GET", "/zones").status, api("GET", "/zones").status) == (502, 200)
    fresh_standin.add_fault("GET", "/zones$", close=True)
    with pytest.raises(ConnectionError):
        api("GET", "/zones")


def test_seeded_ids_are_reachable_in_any_case(fresh_standin, api, zone):
    seeded = fresh_standin.add_record(zone["id"], id="ABCDEF0123456789ABCDEF0123456789", name="www", content="192.0.2.1")
    assert seeded["id"] == "abcdef0123456789abcdef0123456789"
    assert api("GET", f"/zones/{zone['id']}/dns_records/{seeded['id'].upper()}").status == 200
    fresh_standin.delete_record(zone["id"], seeded["id"].upper())
    assert fresh_standin.records(zone["id"]) == []
