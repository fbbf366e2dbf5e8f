"""Cron-style job with Cloudflare's official SDK: look the zone up, then
ensure one A record.

Reads BENCH_API_URL, BENCH_TOKEN, BENCH_DOMAIN, BENCH_RECORD; trusts the CA
in CURL_CA_BUNDLE. No retries, so nothing but the local server is contacted.
"""

import os
import ssl

import cloudflare
import httpx

name = os.environ["BENCH_RECORD"]
wanted = {"type": "A", "name": name, "content": "192.0.2.10", "proxied": False, "ttl": 1}

client = cloudflare.Cloudflare(
    api_token=os.environ["BENCH_TOKEN"],
    base_url=os.environ["BENCH_API_URL"],
    max_retries=0,
    timeout=10,
    http_client=httpx.Client(verify=ssl.create_default_context(cafile=os.environ["CURL_CA_BUNDLE"])),
)
zone_id = client.zones.list(name=os.environ["BENCH_DOMAIN"]).result[0].id
records = client.dns.records.list(zone_id=zone_id, type="A", name={"exact": name}).result
if not records:
    client.dns.records.create(zone_id=zone_id, **wanted)
elif any(getattr(records[0], key) != value for key, value in wanted.items()):
    client.dns.records.update(records[0].id, zone_id=zone_id, **wanted)
