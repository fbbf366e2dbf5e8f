"""The zone file endpoints: export answers the zone as the service writes
it; import adds what it does not hold yet, all or nothing."""

from __future__ import annotations

RECORDS = [
    {"type": "A", "name": "www", "content": "192.0.2.1", "proxied": True, "comment": "front", "tags": ["team:web"]},
    {"type": "MX", "name": "@", "content": "mx.example.net", "priority": 10, "ttl": 300},
    {
        "type": "SRV",
        "name": "_sip._tcp",
        "data": {"priority": 1, "weight": 5, "port": 5060, "target": "sip.example.net"},
    },
    {"type": "TXT", "name": "t", "content": '"v=spf1 -all"', "ttl": 120},
]
BOUNDARY = "zonefileboundary"


def _form(**fields: str) -> tuple[str, dict[str, str]]:
    parts = [f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n' for k, v in fields.items()]
    return "".join(parts) + f"--{BOUNDARY}--\r\n", {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"}


def _stored(standin, zone_id):
    keys = ("type", "content", "ttl", "proxied", "priority", "comment", "tags")
    return sorted((r["name"].split(".")[0], *(str(r.get(k)) for k in keys)) for r in standin.records(zone_id))


def test_export_then_import_gives_the_same_records(fresh_standin, api, client, zone):
    other = fresh_standin.add_zone("example.org")
    for body in RECORDS:
        assert api("POST", f"/zones/{zone['id']}/dns_records", body).status == 200
    exported = api("GET", f"/zones/{zone['id']}/dns_records/export")
    text = exported.body.decode()
    assert exported.status == 200 and text.startswith(";;\n;; Domain:     example.com.\n")
    assert "www.example.com.\t1\tIN\tA\t192.0.2.1 ; front cf_tags=cf-proxied:true,team:web\n" in text
    assert "example.com.\t86400\tIN\tNS\tada.ns.cloudflare.com.\n" in text

    body, headers = _form(file=text.replace("example.com", "example.org"), proxied="false")
    headers["Authorization"] = f"Bearer {fresh_standin.token}"
    path = f"/client/v4/zones/{other['id']}/dns_records/import"
    first = client.request("POST", path, body, headers)
    assert first.json["result"] == {"recs_added": 4, "total_records_parsed": 7}
    assert _stored(fresh_standin, other["id"]) == _stored(fresh_standin, zone["id"])
    # A second import holds nothing new; a bad file changes nothing.
    assert client.request("POST", path, body, headers).json["result"]["recs_added"] == 0
    broken, _ = _form(file="$ORIGIN example.org.\nnew 300 IN A 192.0.2.9\nbad 300 IN A (\n")
    assert client.request("POST", path, broken, headers).codes == [1004]
    assert len(fresh_standin.records(other["id"])) == 4
