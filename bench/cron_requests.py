"""Cron-style job with requests: look the zone up, then ensure one A record.

Reads BENCH_API_URL, BENCH_TOKEN, BENCH_DOMAIN, BENCH_RECORD; trusts the CA
in CURL_CA_BUNDLE.
"""

import os

import requests

api = os.environ["BENCH_API_URL"]
name = os.environ["BENCH_RECORD"]
wanted = {"type": "A", "name": name, "content": "192.0.2.10", "proxied": False, "ttl": 1}

with requests.Session() as session:
    session.headers["Authorization"] = "Bearer " + os.environ["BENCH_TOKEN"]
    session.verify = os.environ["CURL_CA_BUNDLE"]
    zones = session.get(f"{api}/zones", params={"name": os.environ["BENCH_DOMAIN"]}, timeout=10)
    zones.raise_for_status()
    records_url = f"{api}/zones/{zones.json()['result'][0]['id']}/dns_records"
    listing = session.get(records_url, params={"type": "A", "name": name}, timeout=10)
    listing.raise_for_status()
    records = listing.json()["result"]
    if not records:
        session.post(records_url, json=wanted, timeout=10).raise_for_status()
    elif any(records[0][key] != value for key, value in wanted.items()):
        session.put(f"{records_url}/{records[0]['id']}", json=wanted, timeout=10).raise_for_status()
