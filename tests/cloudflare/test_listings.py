"""The library's listings: every page, every filter, one path builder, and
a bound that an answer's page count cannot talk past."""

import json

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, sent
from nuv import CloudflareError


def page_answer(total_pages) -> str:
    record = {"id": "a" * 32, "name": f"x.{DOMAIN}", "type": "A", "content": "192.0.2.1"}
    info = f'{{"page": 1, "per_page": 5000, "total_pages": {total_pages}}}'
    return '{"success": true, "errors": [], "messages": [], "result": [%s], "result_info": %s}' % (
        json.dumps(record),
        info,
    )


def test_every_page_and_every_filter(zcf, seed, fresh_standin):
    for n in range(1, 13):
        seed(n, "A", f"h{n}.{DOMAIN}", f"192.0.2.{n}", comment="web" if n % 2 else None, tags=["team:a"] if n % 3 == 0 else [])
    assert len(zcf.list_dns_records(per_page=5)) == 12
    assert len(zcf.list_dns_records(filters={"comment.contains": "we"})) == 6
    assert len(zcf.list_dns_records(filters={"tag": ["team:a"], "comment.present": "", "match": "any"})) == 8
    assert [r["name"] for r in zcf.list_dns_records(name=f"h3.{DOMAIN}", type="A")] == [f"h3.{DOMAIN}"]
    paths = [r["target"] for r in sent(fresh_standin)]
    assert paths[:3] == [f"/client/v4/zones/{ZONE_ID}/dns_records?per_page=5" + p for p in ("", "&page=2", "&page=3")]
    with pytest.raises(ValueError, match="every page"):
        zcf.list_dns_records(filters={"page": "2"})


@pytest.mark.parametrize(
    ("total_pages", "records", "requests"),
    [
        ("1e400", None, 1),  # a count past every bound: refused after the first page
        ("1000000000", None, 1),
        ("[7]", 1, 1),  # not a number: the page read is all there is
        ('{"n": 7}', 1, 1),
        ('"3"', 1, 1),
        ("null", 1, 1),
        ("-4", 1, 1),
        ("3", 1, 3),  # the same record on every page: listed once
    ],
)
def test_odd_page_counts_never_run_away(zcf, fresh_standin, total_pages, records, requests):
    fresh_standin.fault(r"/dns_records$", status=200, body=page_answer(total_pages), count=None)
    if records is None:
        with pytest.raises(CloudflareError, match="more than the 100"):
            zcf.list_dns_records()
    else:
        assert len(zcf.list_dns_records()) == records
    assert len(sent(fresh_standin)) == requests


def test_zone_ids_are_one_path_segment(cf, fresh_standin):
    fresh_standin.add_zone(DOMAIN, id=ZONE_ID)
    assert cf.get_zone_setting("ssl", zone_id=ZONE_ID).result["value"] == "flexible"
    assert cf.get_zone_setting("../ssl", zone_id="..").status == 400
    with pytest.raises(CloudflareError):
        cf.list_dns_records(zone_id="..")
    targets = [r["target"] for r in sent(fresh_standin)]
    assert targets[1:] == [
        "/client/v4/zones/%2E%2E/settings/%2E%2E%2Fssl",
        "/client/v4/zones/%2E%2E/dns_records?per_page=5000",
    ]
    assert [z["name"] for z in cf.list_zones(name="contains:example")] == [DOMAIN]
