"""Zone files read into the records nuv sync wants and written back:
octoDNS's YAML (the cases octoDNS documents) and BIND (with Cloudflare's
comment conventions)."""

from __future__ import annotations

import pytest
from nuv._bindzone import ZoneFileError, read_zone, write_zone
from nuv.cli._octodns import read_octodns, write_octodns

ZONE = "example.com"


def _pick(record, keys=("type", "name", "content", "ttl", "proxied", "priority", "comment", "tags")):
    return {k: record[k] for k in keys if k in record}


YAML_CASES = [
    (  # several values, proxied (which means automatic TTL)
        "'':\n  type: A\n  values: [192.0.2.1, 192.0.2.2]\n  octodns: {cloudflare: {proxied: true}}",
        [
            {"type": "A", "name": ZONE, "content": "192.0.2.1", "ttl": 1, "proxied": True},
            {"type": "A", "name": ZONE, "content": "192.0.2.2", "ttl": 1, "proxied": True},
        ],
    ),
    (  # MX in both forms octoDNS takes; no ttl is octoDNS's 3600
        "'':\n  type: MX\n  values:\n  - {exchange: mx1.example.com., preference: 10}\n"
        "  - {value: mx2.example.com., priority: 20}",
        [
            {"type": "MX", "name": ZONE, "content": "mx1.example.com", "priority": 10, "ttl": 3600},
            {"type": "MX", "name": ZONE, "content": "mx2.example.com", "priority": 20, "ttl": 3600},
        ],
    ),
    (  # escaped semicolons; a long value in 255-character strings, as octoDNS sends it
        "txt:\n  - type: TXT\n    ttl: 300\n    values: ['v=DKIM1\\; k=rsa', '" + "x" * 300 + "']",
        [
            {"type": "TXT", "name": "txt." + ZONE, "content": '"v=DKIM1; k=rsa"', "ttl": 300},
            {"type": "TXT", "name": "txt." + ZONE, "content": f'"{"x" * 255}" "{"x" * 45}"', "ttl": 300},
        ],
    ),
    (  # ALIAS is a CNAME at the apex; comment, tags and auto-ttl
        "'':\n  type: ALIAS\n  value: www.example.net.\n"
        "  octodns: {cloudflare: {auto-ttl: true, comment: flattened, tags: [team:web]}}",
        [
            {
                "type": "CNAME",
                "name": ZONE,
                "content": "www.example.net",
                "ttl": 1,
                "proxied": False,
                "comment": "flattened",
                "tags": ["team:web"],
            }
        ],
    ),
    (
        "_srv._tcp:\n  type: SRV\n  value: {port: 30, priority: 12, target: foo.example.com., weight: 20}",
        [{"type": "SRV", "name": "_srv._tcp." + ZONE, "content": "20 30 foo.example.com", "priority": 12}],
    ),
    ("'':\n  type: CAA\n  value: {tag: issue, value: ca.example.net}", [{"content": '0 issue "ca.example.net"'}]),
    (
        "s:\n  type: SSHFP\n  value: {algorithm: 1, fingerprint_type: 1, fingerprint: bf6b6825}",
        [{"type": "SSHFP", "content": "1 1 bf6b6825"}],
    ),
    (
        "t:\n  type: TLSA\n  value: {certificate_usage: 3, selector: 1, matching_type: 1, "
        "certificate_association_data: ABAB}",
        [{"content": "3 1 1 ABAB"}],
    ),
    (
        "n:\n  type: NAPTR\n  value: {flags: U, order: 100, preference: 10, regexp: '!^.*$!sip:a@b!', "
        "replacement: ., service: SIP+D2U}",
        [{"content": '100 10 "U" "SIP+D2U" "!^.*$!sip:a@b!" .'}],
    ),
    (
        "l:\n  type: LOC\n  value: {lat_degrees: 31, lat_minutes: 58, lat_seconds: 52.1, lat_direction: S, "
        "long_degrees: 115, long_minutes: 49, long_seconds: 11.7, long_direction: E, altitude: 20, size: 10, "
        "precision_horz: 10, precision_vert: 2}",
        [{"content": "31 58 52.1 S 115 49 11.7 E 20m 10m 10m 2m"}],
    ),
    ("gone:\n  type: A\n  value: 192.0.2.9\n  octodns: {ignored: true}", []),
]


@pytest.mark.parametrize(("text", "expected"), YAML_CASES)
def test_octodns_yaml_is_read_as_octodns_means_it(text, expected):
    records = read_octodns(text, ZONE)
    assert [{k: r.get(k) for k in e} for r, e in zip(records, expected, strict=True)] == expected
    # Written back and read again, nothing changes.
    assert read_octodns(write_octodns(ZONE, records), ZONE) == records


BIND = """\
$ORIGIN example.com.
$TTL 1h
@   IN SOA ns1 hostmaster ( 2024010101 ; serial
        7200 3600 1209600 300 )
    IN MX 10 mail
www 300 IN A 192.0.2.1 ; web front cf_tags=cf-proxied:true,team:web,note:"a, b"
    IN AAAA 2001:db8::1 ; cf_tags=cf-proxied:false
api 1d IN CNAME www ; an ordinary comment
txt IN TXT "v=spf1 -all" "more"
_sip._tcp IN SRV 10 5 5060 sip.example.net.
$ORIGIN sub.example.com.
deep IN CAA 0 issue "letsencrypt.org"
"""


def test_bind_file_with_origin_ttl_parentheses_and_cloudflare_comments():
    parsed = read_zone(BIND, "ignored.example")
    assert parsed.zone == ZONE and parsed.skipped == ["SOA example.com"]
    assert [_pick(r) for r in parsed.records] == [
        {"type": "MX", "name": ZONE, "content": "mail.example.com", "priority": 10, "ttl": 3600},
        {
            "type": "A",
            "name": "www." + ZONE,
            "content": "192.0.2.1",
            "ttl": 300,
            "proxied": True,
            "comment": "web front",
            "tags": ["team:web", "note:a, b"],
        },
        {
            "type": "AAAA",
            "name": "www." + ZONE,
            "content": "2001:db8::1",
            "ttl": 3600,
            "proxied": False,
            "comment": "",
            "tags": [],
        },
        {
            "type": "CNAME",
            "name": "api." + ZONE,
            "content": "www.example.com",
            "ttl": 86400,
            "comment": "an ordinary comment",
        },
        {"type": "TXT", "name": "txt." + ZONE, "content": '"v=spf1 -all" "more"', "ttl": 3600},
        {"type": "SRV", "name": "_sip._tcp." + ZONE, "content": "5 5060 sip.example.net", "priority": 10, "ttl": 3600},
        {"type": "CAA", "name": "deep.sub." + ZONE, "content": '0 issue "letsencrypt.org"', "ttl": 3600},
    ]
    # Written back, the records read the same (comments and tags too).
    fields = ("type", "name", "content", "ttl", "priority", "comment", "tags")
    again = read_zone(write_zone(ZONE, parsed.records, origin=True)).records
    assert sorted(map(str, (_pick(r, fields) for r in again))) == sorted(
        str(_pick(dict(r, tags=r.get("tags", [])) if r["type"] in ("A", "AAAA", "CNAME") else r, fields))
        for r in parsed.records
    )


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("$ORIGIN example.com.\nwww IN A ( 192.0.2.1\n", "line 2: '(' is not closed"),
        ("$ORIGIN example.com.\n$INCLUDE other.zone\n", "line 2: $INCLUDE is not supported"),
        ("$ORIGIN example.com.\nwww 300 IN WKS 1\n", "line 2: record type WKS is not supported"),
        ("$ORIGIN example.com.\nwww IN A 192.0.2.1\n", "line 2: no TTL (add $TTL)"),
        ("www 300 IN A 192.0.2.1\n", "cannot tell the zone"),
        ("x:\n  type: SPF\n  value: v=spf1 -all\n", "z.yaml: 'x' SPF: record type SPF is not supported"),
        ("'':\n  type: MX\n  value: {exchange: mx.example.net.}\n", "z.yaml: '' MX: an MX value needs exchange and"),
        ("www:\n  type: A\n", "z.yaml: 'www' A: no value or values"),
    ],
)
def test_refusals_name_the_line_or_the_record(text, message):
    pattern = message.replace("(", r"\(").replace(")", r"\)").replace("$", r"\$")
    with pytest.raises(ZoneFileError, match=pattern):
        read_zone(text) if text.startswith(("$", "www 300")) else read_octodns(text, ZONE, "z.yaml")


def test_markdown_plan_for_a_pull_request():
    from nuv.cli._plan_report import markdown_report
    from nuv.cli.sync import ZoneFile, ZonePlan

    writes = [
        {
            "action": "create",
            "type": "A",
            "name": "www.example.com",
            "content": "192.0.2.1",
            "ttl": 300,
            "proxied": True,
        },
        {
            "action": "update",
            "type": "MX",
            "name": "example.com",
            "content": "mx.example.net",
            "priority": 10,
            "changes": {"ttl": {"old": 300, "new": 600}, "comment": {"old": None, "new": "a|b"}},
        },
        {"action": "delete", "type": "TXT", "name": "old.example.com", "content": '"x"'},
    ]
    plan = ZonePlan(ZoneFile("zones/example.com.yaml", ZONE, "yaml", []), writes)
    refused = ZonePlan(ZoneFile("example.org.zone", "example.org", "bind", []), writes[2:] * 4)
    refused.refused = {"updates": 0, "deletes": 4, "existing": 10, "threshold": 0.3, "message": "unsafe"}
    assert markdown_report([plan, refused]).splitlines() == [
        "## nuv sync: 7 changes planned",
        "",
        "### example.com",
        "",
        "From `zones/example.com.yaml`: 1 to create, 1 to update, 1 to delete.",
        "",
        "| Action | Type | Name | Field | Old → New |",
        "|---|---|---|---|---|",
        "| create | A | `www.example.com` | record | — → `192.0.2.1` (ttl 300, proxied) |",
        "| update | MX | `example.com` | ttl | `300` → `600` |",
        '| update | MX | `example.com` | comment | `null` → `"a\\|b"` |',
        '| delete | TXT | `old.example.com` | record | `"x"` → — |',
        "",
        "### example.org",
        "",
        "From `example.org.zone`: 4 to delete.",
        "",
        "| Action | Type | Name | Field | Old → New |",
        "|---|---|---|---|---|",
        *['| delete | TXT | `old.example.com` | record | `"x"` → — |'] * 4,
        "",
        "> **Refused:** it would update 0 and delete 4 of the 10 records in scope, more than 30%. "
        "`nuv sync --force` carries it out.",
    ]
