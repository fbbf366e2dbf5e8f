"""Where ``nuv ddns`` finds this host's addresses: per family, a list of
sources tried in order through the library's look-up (``nuv.lookup_address``:
its transport, and the sanity gate every address passes).

A source answers an address, or None when the host has none of that family
there; one that cannot be read, or answers something that is not a global
address, raises ``nuv.AddressLookupError``, never taken for "no address".
"""

from __future__ import annotations

import ipaddress
import re
from dataclasses import dataclass, field
from typing import Any

import nuv

# Two independent resolvers' trace pages per family.
DEFAULT_SOURCES = {
    4: "url:https://1.1.1.1/cdn-cgi/trace,url:https://1.0.0.1/cdn-cgi/trace",
    6: "url:https://[2606:4700:4700::1111]/cdn-cgi/trace,url:https://[2606:4700:4700::1001]/cdn-cgi/trace",
}
FAMILY_NAMES = {4: "IPv4", 6: "IPv6"}
# A comma starts the next source only before a source's kind: a URL may hold commas.
_NEXT_SOURCE = re.compile(r",(?=(?:url|iface|static):|none$)")
_USER_INFO = re.compile(r"^(url:[A-Za-z][A-Za-z0-9+.-]*://)[^/?#]*@")


@dataclass(frozen=True)
class AddressSource:
    family: int  # 4 or 6
    kind: str  # "url", "iface" or "static"
    value: str

    def __str__(self) -> str:
        return f"{self.kind}:{self.value}"

    @property
    def shown(self) -> str:
        """The source as output and messages show it: a URL's credentials masked."""
        return _USER_INFO.sub(r"\1***@", str(self))


def parse_sources(text: str, family: int) -> tuple[AddressSource, ...]:
    """``none`` (an empty tuple) or comma-separated ``url:URL``,
    ``iface:NAME`` and ``static:ADDRESS``; ValueError with the reason for
    anything else."""
    if text.strip() == "none":
        return ()
    sources = []
    for part in _NEXT_SOURCE.split(text.strip()):
        kind, colon, value = part.strip().partition(":")
        if not colon or kind not in ("url", "iface", "static") or not value:
            raise ValueError(f"{part!r} is not a source: use url:URL, iface:NAME, static:ADDRESS or none")
        if kind == "url" and not value.lower().startswith(("http://", "https://")):
            raise ValueError(f"{part!r}: the URL must start with http:// or https://")
        if kind == "static":
            try:
                address = ipaddress.ip_address(value)
            except ValueError:
                raise ValueError(f"static:{value} is not an IP address") from None
            if address.version != family:
                raise ValueError(f"static:{value} is not an {FAMILY_NAMES[family]} address")
        sources.append(AddressSource(family, kind, value))
    return tuple(sources)


@dataclass
class Found:
    """What a family's sources answered: the first address that passed,
    with the source that gave it, and the failures met on the way."""

    address: str | None = None
    source: AddressSource | None = None
    failures: list[tuple[AddressSource, nuv.AddressLookupError]] = field(default_factory=list)


def find_address(sources: tuple[AddressSource, ...], family: int, settings: dict[str, Any]) -> Found:
    """Tries each source in order until one answers a valid address."""
    found = Found()
    for source in sources:
        try:
            address = nuv.lookup_address(str(source), family, **settings)
        except nuv.AddressLookupError as failed:
            found.failures.append((source, failed))
            continue
        if address is not None:
            found.address, found.source = address, source
            return found
    return found


# ----- IPv6 host ids ------------------------------------------------------------

DEFAULT_PREFIX_LENGTH = 64
_MAC = re.compile(r"(?i)^[0-9a-f]{2}([:-]?)[0-9a-f]{2}(?:\1[0-9a-f]{2}){4}$")


@dataclass(frozen=True)
class HostId:
    """The fixed host part of an IPv6 address, put under whatever prefix
    the host's sources answer: ``::10``, or ``mac:aa:bb:cc:dd:ee:ff`` (the
    modified EUI-64 a host forms from its MAC)."""

    text: str
    bits: int

    def __str__(self) -> str:
        return self.text

    def under(self, address: str, prefix_length: int) -> str:
        """This host id under ``address``'s first ``prefix_length`` bits."""
        host_bits = 128 - prefix_length
        network = int(ipaddress.IPv6Address(address)) >> host_bits << host_bits
        return str(ipaddress.IPv6Address(network | self.bits))


def parse_host_id(text: str, prefix_length: int = DEFAULT_PREFIX_LENGTH) -> HostId:
    """``::10``-style host parts and ``mac:`` addresses; ValueError with the
    reason for anything else, or for a host part that reaches into the
    prefix."""
    given = text.strip()
    if not 1 <= prefix_length <= 127:
        raise ValueError(f"the prefix length must be from 1 to 127, not {prefix_length}")
    if given.lower().startswith("mac:"):
        mac = given[4:]
        if not _MAC.match(mac):
            raise ValueError(f"{given!r} is not a MAC address (mac:aa:bb:cc:dd:ee:ff)")
        octets = bytearray.fromhex(re.sub(r"[:-]", "", mac))
        # Modified EUI-64 (RFC 4291, appendix A): ff:fe in the middle, the universal/local bit flipped.
        eui = bytearray(octets[:3] + b"\xff\xfe" + octets[3:])
        eui[0] ^= 0x02
        bits = int.from_bytes(eui, "big")
    else:
        try:
            address = ipaddress.IPv6Address(given)
        except ValueError:
            raise ValueError(f"{given!r} is not a host id: give the host part as ::10, or mac:aa:bb:cc:dd:ee:ff") from None
        if address.scope_id:
            raise ValueError(f"{given!r}: a host id takes no zone index")
        bits = int(address)
        if bits == 0:
            raise ValueError("the host id :: has no host part")
    if bits >> (128 - prefix_length):
        raise ValueError(
            f"the host id {given} does not fit in the {128 - prefix_length} bits after a /{prefix_length} prefix"
        )
    return HostId(given, bits)
