"""The Cloudflare stand-in driven by independent clients from PyPI: the official SDK
and octoDNS with its Cloudflare provider (the robot's peer, a DingTalk chatbot
wrapper, is in test_standin_peer_dingtalk.py). Each is pointed at the stand-in's own
URL and trusts only its test CA; none ever reaches a real host."""

from __future__ import annotations

import ssl

import pytest

cloudflare = pytest.importorskip("cloudflare")
httpx = pytest.importorskip("httpx")
octodns_cloudflare = pytest.importorskip("octodns_cloudflare")
octodns_record = pytest.importorskip("octodns.record")
octodns_zone = pytest.importorskip("octodns.zone")

ZONE = "example.com"


@pytest.fixture
def trusted(fresh_standin, client_env):
    """requests (under octoDNS) trusts the test CA; no proxy from the environment."""
    client_env.setenv("REQUESTS_CA_BUNDLE", fresh_standin.ca_file)
    return fresh_standin


@pytest.fixture
def zone(trusted):
    return trusted.add_zone(ZONE)


@pytest.fixture
def sdk(trusted):
    """The official SDK, without its own retries so that every answer reaches the test."""
    context = ssl.create_default_context(cafile=trusted.ca_file)
    http = httpx.Client(verify=context, trust_env=False)
    client = cloudflare.Cloudflare(
        api_token=trusted.token, base_url=trusted.api_url, http_client=http, max_retries=0
    )
    yield client
    client.close()


# ----- the official SDK -------------------------------------------------


def test_sdk_record_life_cycle_with_pagination_and_filters(sdk, trusted, zone):
    records = sdk.dns.records
    for i in range(7):
        records.create(zone_id=zone["id"], type="A", name=f"h{i}", content=f"192.0.2.{i}", ttl=300,
                       comment="batch one" if i % 2 else None, tags=[f"slot:{i % 3}"])  # fmt: skip
    mx = records.create(zone_id=zone["id"], type="MX", name="@", content="mx.example.net.", priority=10, ttl=1)
    assert (mx.content, mx.priority) == ("mx.example.net", 10)

    # Auto-paging at 3 a page walks pages 1..3.
    paged = [r.name for r in records.list(zone_id=zone["id"], type="A", per_page=3)]
    assert paged == [f"h{i}.{ZONE}" for i in range(7)]
    page = records.list(zone_id=zone["id"], per_page=3, page=3)
    assert (page.result_info.page, page.result_info.total_count, page.result_info.total_pages) == (3, 8, 3)

    def names(**filters):
        return sorted(r.name.split(".")[0] for r in records.list(zone_id=zone["id"], **filters))

    assert names(comment={"exact": "batch one"}) == ["h1", "h3", "h5"]
    assert names(tag={"exact": "slot:0"}) == ["h0", "h3", "h6"]
    assert names(tag={"exact": "slot:0"}, comment={"present": "1"}, match="any") == ["h0", "h1", "h3", "h5", "h6"]
    assert names(content={"exact": "mx.example.net."}) == [ZONE.split(".")[0]]
    assert names(search="192.0.2.4") == ["h4"]

    first = records.list(zone_id=zone["id"], name={"exact": f"h0.{ZONE}"}).result[0]
    # PATCH keeps what it does not name (the tags); PUT overwrites the whole record.
    patched = records.edit(first.id, zone_id=zone["id"], type="A", name="h0", content="198.51.100.2", ttl=600,
                           comment="patched")  # fmt: skip
    assert (patched.content, patched.ttl, patched.comment, patched.tags) == ("198.51.100.2", 600, "patched", ["slot:0"])
    put = records.update(first.id, zone_id=zone["id"], type="A", name="h0", content="198.51.100.1", ttl=600)
    assert (put.content, put.ttl, put.comment, put.tags) == ("198.51.100.1", 600, None, [])
    assert records.delete(first.id, zone_id=zone["id"]).id == first.id
    assert len(trusted.records(zone["id"])) == 7


def test_sdk_batch_swaps_in_one_write(sdk, trusted, zone):
    a = trusted.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    old_txt = trusted.add_record(zone["id"], type="TXT", name="www", content="old")
    trusted.clear_history(zone["id"])
    result = sdk.dns.records.batch(
        zone_id=zone["id"],
        deletes=[{"id": a["id"]}],
        patches=[{"id": old_txt["id"], "content": "new", "type": "TXT", "name": "www"}],
        posts=[{"type": "CNAME", "name": "www", "content": "target.example.net.", "ttl": 1}],
    )
    assert [r.id for r in result.deletes] == [a["id"]]
    assert [(r.type, r.content) for r in result.posts] == [("CNAME", "target.example.net")]
    history = trusted.history(zone["id"], fields=["type", "name"])
    assert len(history) == 1 and all(r["name"] == f"www.{ZONE}" for r in history[0]["records"])


def test_sdk_zones_tokens_and_settings(sdk, trusted, zone):
    for i in range(6):
        trusted.add_zone(f"z{i}.example.org")
    # per_page above 50 is served at 50, and the SDK pages on.
    assert len(list(sdk.zones.list(per_page=1000))) == 7
    assert [z.name for z in sdk.zones.list(name=ZONE)] == [ZONE]
    assert [z.name for z in sdk.zones.list(account={"id": zone["account"]["id"]}, per_page=5)][:1] == ["example.com"]
    assert sdk.user.tokens.verify().status == "active"
    setting = sdk.zones.settings.edit("always_use_https", zone_id=zone["id"], value="on")
    assert setting.value == "on" and trusted.settings(zone["id"])["always_use_https"] == "on"


@pytest.mark.parametrize(
    ("call", "exception", "code"),
    [
        ("identical", "BadRequestError", 81058),
        ("cname-conflict", "BadRequestError", 81053),
        ("proxied-1.1.1.1", "BadRequestError", 9003),
        ("bad-ttl", "BadRequestError", 9021),
        ("comment-line-break", "BadRequestError", 1004),
        ("unknown-record", "NotFoundError", 81044),
        ("unknown-token", "PermissionDeniedError", 9109),
        ("batch-too-large", "BadRequestError", 1004),
        ("rate-limited", "RateLimitError", 971),
        ("server-error", "InternalServerError", None),
    ],
)
def test_sdk_sees_the_service_errors(sdk, trusted, zone, call, exception, code):
    trusted.add_record(zone["id"], type="A", name="www", content="192.0.2.1")
    records, zid = sdk.dns.records, zone["id"]

    def create(**fields):
        return records.create(zone_id=zid, ttl=1, **fields)

    calls = {
        "identical": lambda: create(type="A", name="www", content="192.0.2.1"),
        "cname-conflict": lambda: create(type="CNAME", name="www", content="t.example.net"),
        "proxied-1.1.1.1": lambda: create(type="A", name="p", content="1.1.1.1", proxied=True),
        "bad-ttl": lambda: records.create(zone_id=zid, type="A", name="t", content="192.0.2.2", ttl=59),
        "comment-line-break": lambda: create(type="TXT", name="c", content="x", comment="a\nb"),
        "unknown-record": lambda: records.get("f" * 32, zone_id=zid),
        "unknown-token": lambda: sdk.with_options(api_token="unknown-token").zones.list().result,
        "batch-too-large": lambda: records.batch(
            zone_id=zid, posts=[{"type": "TXT", "name": "t", "content": f"v{i}"} for i in range(201)]
        ),
        "rate-limited": lambda: trusted.set_rate_limit(1, window=60) or [sdk.zones.list().result for _ in range(2)],
        "server-error": lambda: trusted.fault(r"/zones$", status=500) or sdk.zones.list().result,
    }
    with pytest.raises(getattr(cloudflare, exception)) as raised:
        calls[call]()
    if code is not None:
        assert raised.value.body["errors"][0]["code"] == code
    assert len(trusted.records(zone["id"])) == 1


# ----- octoDNS ------------------------------------------------------------


def octodns_zone_of(values):
    zone = octodns_zone.Zone(ZONE + ".", [])
    for name, data in values.items():
        zone.add_record(octodns_record.Record.new(zone, name, data))
    return zone


WANTED = {
    "": {"type": "A", "ttl": 300, "value": "192.0.2.1"},
    "v6": {"type": "AAAA", "ttl": 300, "value": "2001:db8::1"},
    "www": {"type": "CNAME", "ttl": 300, "value": "target.example.net."},
    "mail": {"type": "MX", "ttl": 300, "values": [{"preference": 10, "exchange": "mx1.example.net."},
                                                   {"preference": 20, "exchange": "mx2.example.net."}]},  # fmt: skip
    "txt": {"type": "TXT", "ttl": 300, "values": ["v=spf1 -all", "hello world"]},
    "caa": {"type": "CAA", "ttl": 300, "values": [{"flags": 0, "tag": "issue", "value": "letsencrypt.org"},
                                                 {"flags": 0, "tag": "iodef", "value": "mailto:ops@example.com"}]},  # fmt: skip
}


def octodns_provider(standin):
    # retry_count=0: a refusal is the test's answer, never a 300 s sleep.
    return octodns_cloudflare.CloudflareProvider("standin", token=standin.token, api_url=standin.api_url, retry_count=0)


def test_octodns_sync_converges(trusted, zone):
    trusted.add_record(zone["id"], type="TXT", name="stale", content="left over", ttl=300)
    first = octodns_provider(trusted).plan(octodns_zone_of(WANTED))
    assert sorted((type(c).__name__, c.record.name, c.record._type) for c in first.changes) == [
        ("Create", "", "A"),
        ("Create", "caa", "CAA"),
        ("Create", "mail", "MX"),
        ("Create", "txt", "TXT"),
        ("Create", "v6", "AAAA"),
        ("Create", "www", "CNAME"),
        ("Delete", "stale", "TXT"),
    ]
    octodns_provider(trusted).apply(first)
    stored = {(r["type"], r["name"], r["content"]) for r in trusted.records(zone["id"])}
    assert ("CAA", f"caa.{ZONE}", '0 iodef "mailto:ops@example.com"') in stored
    assert ("CNAME", f"www.{ZONE}", "target.example.net") in stored
    # A second run (a new provider: nothing cached) finds nothing to do.
    assert octodns_provider(trusted).plan(octodns_zone_of(WANTED)) is None

    changed = dict(WANTED, caa=dict(WANTED["caa"], values=WANTED["caa"]["values"][:1]))
    third = octodns_provider(trusted).plan(octodns_zone_of(changed))
    assert [(type(c).__name__, c.record.name) for c in third.changes] == [("Update", "caa")]
    octodns_provider(trusted).apply(third)
    assert octodns_provider(trusted).plan(octodns_zone_of(changed)) is None
