"""Cron-style job with nuv: look the zone up, then ensure one A record.

Reads BENCH_API_URL, BENCH_TOKEN, BENCH_DOMAIN, BENCH_RECORD; trusts the CA
in CURL_CA_BUNDLE.
"""

import os

import nuv

domain = os.environ["BENCH_DOMAIN"]
cf = nuv.Cloudflare(api_token=os.environ["BENCH_TOKEN"], api_url=os.environ["BENCH_API_URL"])
cf.query(domain)
status, body = cf.dns_ensured_record(domain, "A", os.environ["BENCH_RECORD"], "192.0.2.10", False, 1)
if int(status) != 200:
    raise SystemExit(f"ensure failed: {status} {body}")
