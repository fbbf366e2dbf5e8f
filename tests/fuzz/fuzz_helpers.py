"""Helpers of the fuzz tests: the stand-in zone the clients use and a closed
127.0.0.1 port for clients that must reach nothing."""

from __future__ import annotations

from nuv import Cloudflare

DOMAIN = "example.com"
ZONE_ID = "0123456789abcdef0123456789abcdef"



def zone_client(standin) -> Cloudflare:
    """A client of the stand-in with example.com selected (as a successful
    query leaves it), after a reset that leaves only that zone."""
    standin.reset()
    standin.add_zone(DOMAIN, id=ZONE_ID)
    # One attempt: the answer a test injects is the one the call reads.
    client = Cloudflare(api_token=standin.token, api_url=standin.api_url, retries=0)
    client.zone = DOMAIN
    client.zone_id = ZONE_ID
    return client
