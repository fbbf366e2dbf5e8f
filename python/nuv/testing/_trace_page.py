"""Cloudflare's ``/cdn-cgi/trace`` page, which dynamic-DNS clients read to learn
their public address: "key=value" lines, the address in ``ip=``.

Reached through the proxy on any host (``https://1.1.1.1/cdn-cgi/trace``, the
IPv6 resolver's address) or on the direct server. The address it answers is
the one set for the family of the host asked (an IPv6 literal: IPv6), so a test
can move "the public address" without touching the network.
"""

from __future__ import annotations

import ipaddress
import threading
import time

from ._http import Request, Response, text_response

# Global unicast addresses (example.com's own, for years): what a client's
# sanity gate accepts as a host's public address, unlike the documentation
# ranges.
DEFAULT_ADDRESSES = {4: "93.184.216.34", 6: "2606:2800:220:1:248:1893:25c8:1946"}


class TracePage:
    name = "trace"

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._addresses = dict(DEFAULT_ADDRESSES)

    def reset(self) -> None:
        with self._lock:
            self._addresses = dict(DEFAULT_ADDRESSES)

    def set_addresses(self, ipv4: str | None, ipv6: str | None) -> dict[str, str]:
        """Set the answered address of either family (ValueError for one that is not of it)."""
        wanted = {4: ipv4, 6: ipv6}
        for family, text in wanted.items():
            if text is not None and ipaddress.ip_address(text).version != family:
                raise ValueError(f"{text!r} is not an IPv{family} address")
        with self._lock:
            self._addresses.update({family: text for family, text in wanted.items() if text is not None})
            return {"ipv4": self._addresses[4], "ipv6": self._addresses[6]}

    def handle(self, request: Request) -> Response:
        family = 6 if ":" in request.host else 4
        with self._lock:
            address = self._addresses[family]
        lines = [
            "fl=1f1",
            f"h={request.host}",
            f"ip={address}",
            f"ts={time.time():.3f}",
            "visit_scheme=https",
            f"uag={request.header('User-Agent') or ''}",
            "colo=STD",
            "http=http/1.1",
            "loc=ZZ",
            "tls=TLSv1.3",
            "sni=off",
            "warp=off",
        ]
        return text_response(200, "\n".join(lines) + "\n")
