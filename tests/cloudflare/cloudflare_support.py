"""Helpers of the Cloudflare tests: the seeded zone's names and readers of
what the stand-in received, stored and traced."""

from __future__ import annotations

import json

from nuv import Cloudflare

DOMAIN = "example.com"
ZONE_ID = "0123456789abcdef0123456789abcdef"
OTHER_DOMAIN = "example.org"
OTHER_ZONE_ID = "fedcba9876543210fedcba9876543210"
TRANSPORT_PREFIXES = ("Content-Type: ", "Authorization: ", "user_proxy: ", "proxy: ", "http_method: ")


def rid(n: int) -> str:
    """A record id the service accepts in a path (32 hex digits)."""
    return f"{n:032x}"


def sent(standin, method: str | None = None) -> list[dict]:
    """The Cloudflare requests received, optionally only those of one method."""
    return [r for r in standin.requests("cloudflare") if method is None or r["method"] == method]


def writes(standin) -> list[tuple[str, str]]:
    """(method, target) of every write the stand-in received."""
    return [(r["method"], r["target"]) for r in sent(standin) if r["method"] != "GET"]


def state(standin, zone_id: str = ZONE_ID) -> list[tuple]:
    """The zone's records as a user cares about them, in creation order."""
    return [(r["name"], r["type"], r["content"], r["proxied"]) for r in standin.records(zone_id)]


def decisions(capfd) -> list[str]:
    """The trace lines that are not the executor's own."""
    return [line for line in capfd.readouterr().out.splitlines() if not line.startswith(TRANSPORT_PREFIXES)]


def error_of(response) -> tuple[int, int, str]:
    """(status, first error code, its message) of a Cloudflare failure answer."""
    status, body = response
    payload = json.loads(body)
    assert payload["success"] is False, body
    first = payload["errors"][0]
    return status, first["code"], first["message"]


def chain_of(response) -> list[int]:
    return [e["code"] for e in json.loads(response[1])["errors"][0].get("error_chain", [])]


def result_of(response):
    status, body = response
    assert status == 200, response
    payload = json.loads(body)
    assert payload["success"] is True, body
    return payload["result"]


def client_for(standin, token: str | None = None) -> Cloudflare:
    return Cloudflare(api_token=token or standin.token, api_url=standin.api_url)
