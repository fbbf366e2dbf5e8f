"""Where ``nuv ddns`` finds this host's addresses.

A source answers an address, or None when the host has no address of that
family there; a source that cannot be read raises ``LookupFailed``, which is
never taken for "no address".
"""

from __future__ import annotations

import ipaddress
import os
import socket
import ssl
import struct
import urllib.error
import urllib.request
from dataclasses import dataclass

DEFAULT_SOURCES = {
    4: "url:https://1.1.1.1/cdn-cgi/trace",
    6: "url:https://[2606:4700:4700::1111]/cdn-cgi/trace",
}
FAMILY_NAMES = {4: "IPv4", 6: "IPv6"}
# An address page is a few hundred bytes; more is not one.
MAX_PAGE_BYTES = 64 * 1024


class LookupFailed(Exception):
    """The source could not be read."""


@dataclass(frozen=True)
class AddressSource:
    family: int  # 4 or 6
    kind: str  # "url", "iface" or "static"
    value: str

    def __str__(self) -> str:
        return f"{self.kind}:{self.value}"

    def lookup(self, timeout: float, proxy: str | None) -> str | None:
        if self.kind == "static":
            return self.value
        if self.kind == "iface":
            return interface_address(self.value, self.family)
        return page_address(self.value, self.family, timeout, proxy)


def parse_source(text: str, family: int) -> AddressSource | None:
    """``url:URL``, ``iface:NAME``, ``static:ADDRESS`` or ``none`` (None);
    ValueError with the reason for anything else."""
    if text == "none":
        return None
    kind, colon, value = text.partition(":")
    if not colon or kind not in ("url", "iface", "static") or not value:
        raise ValueError(f"{text!r} is not a source: use url:URL, iface:NAME, static:ADDRESS or none")
    if kind == "static":
        return AddressSource(family, kind, _address_of_family(value, family, f"static:{value}", ValueError))
    if kind == "url" and not value.startswith(("http://", "https://")):
        raise ValueError(f"{text!r}: the URL must start with http:// or https://")
    return AddressSource(family, kind, value)


def _address_of_family(text: str, family: int, source: str, error: type[Exception]) -> str:
    try:
        address = ipaddress.ip_address(text.strip())
    except ValueError:
        raise error(f"{source} gave {text.strip()[:60]!r}, which is not an IP address") from None
    if address.version != family:
        raise error(f"{source} gave {address}, which is not an {FAMILY_NAMES[family]} address")
    return str(address)


# ----- url: -----------------------------------------------------------------


def page_address(url: str, family: int, timeout: float, proxy: str | None) -> str:
    """The address a page answers: its ``ip=`` line (as a /cdn-cgi/trace page
    writes it), else its whole text."""
    context = ssl.create_default_context(cafile=os.environ.get("CURL_CA_BUNDLE") or os.environ.get("SSL_CERT_FILE"))
    handlers: list[urllib.request.BaseHandler] = [urllib.request.HTTPSHandler(context=context)]
    if proxy is not None:
        handlers.append(urllib.request.ProxyHandler({"http": proxy, "https": proxy} if proxy else {}))
    opener = urllib.request.build_opener(*handlers)
    try:
        with opener.open(urllib.request.Request(url, headers={"User-Agent": "nuv-ddns"}), timeout=timeout) as answer:
            data = answer.read(MAX_PAGE_BYTES + 1)
    except urllib.error.HTTPError as refused:
        raise LookupFailed(f"url:{url} answered HTTP {refused.code}") from None
    except (urllib.error.URLError, OSError, ValueError) as failed:
        reason = getattr(failed, "reason", failed)
        raise LookupFailed(f"url:{url} could not be read: {reason}") from None
    if len(data) > MAX_PAGE_BYTES:
        raise LookupFailed(f"url:{url} answered more than {MAX_PAGE_BYTES} bytes")
    text = data.decode("utf-8", "replace")
    lines = [line.strip() for line in text.splitlines()]
    answer_text = next((line[3:] for line in lines if line.startswith("ip=")), text)
    return _address_of_family(answer_text, family, f"url:{url}", LookupFailed)


# ----- iface: ----------------------------------------------------------------

# rtnetlink (linux/rtnetlink.h, linux/if_addr.h)
_RTM_NEWADDR = 20
_RTM_GETADDR = 22
_NLMSG_ERROR = 2
_NLMSG_DONE = 3
_NLM_F_REQUEST = 0x1
_NLM_F_DUMP = 0x300
_IFA_ADDRESS = 1
_IFA_LOCAL = 2
_IFA_FLAGS = 8
_RT_SCOPE_UNIVERSE = 0
# Addresses not to publish: temporary (privacy) ones change by the hour;
# the others are not usable yet or any more.
_IFA_F_UNWANTED = 0x01 | 0x08 | 0x20 | 0x40  # temporary, dadfailed, deprecated, tentative
_HEADER = struct.Struct("=IHHII")
_IFADDRMSG = struct.Struct("=BBBBI")
_RTATTR = struct.Struct("=HH")


def interface_address(name: str, family: int) -> str | None:
    """The first global address of ``family`` on interface ``name``, in the
    kernel's order; None when it has none."""
    try:
        index = socket.if_nametoindex(name)
    except OSError:
        raise LookupFailed(f"iface:{name}: no such network interface") from None
    address_family = socket.AF_INET if family == 4 else socket.AF_INET6
    try:
        for found in _global_addresses(address_family, index):
            return found
    except OSError as failed:
        raise LookupFailed(f"iface:{name}: cannot read its addresses: {failed}") from None
    return None


def _global_addresses(address_family: int, index: int) -> list[str]:
    request = _HEADER.pack(_HEADER.size + _IFADDRMSG.size, _RTM_GETADDR, _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0)
    request += _IFADDRMSG.pack(address_family, 0, 0, 0, 0)
    found: list[str] = []
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE) as sock:
        sock.settimeout(5)
        sock.sendto(request, (0, 0))
        while True:
            data = sock.recv(65536)
            offset = 0
            while offset + _HEADER.size <= len(data):
                length, kind, _, _, _ = _HEADER.unpack_from(data, offset)
                if length < _HEADER.size or offset + length > len(data):
                    raise OSError("malformed netlink answer")
                if kind == _NLMSG_DONE:
                    return found
                if kind == _NLMSG_ERROR:
                    (code,) = struct.unpack_from("=i", data, offset + _HEADER.size)
                    if code:
                        raise OSError(-code, os.strerror(-code))
                elif kind == _RTM_NEWADDR:
                    address = _global_address(data[offset + _HEADER.size : offset + length], address_family, index)
                    if address is not None:
                        found.append(address)
                offset += (length + 3) & ~3


def _global_address(message: bytes, address_family: int, index: int) -> str | None:
    family, _, flags, scope, address_index = _IFADDRMSG.unpack_from(message)
    if family != address_family or address_index != index or scope != _RT_SCOPE_UNIVERSE:
        return None
    attributes: dict[int, bytes] = {}
    offset = _IFADDRMSG.size
    while offset + _RTATTR.size <= len(message):
        length, kind = _RTATTR.unpack_from(message, offset)
        if length < _RTATTR.size:
            break
        attributes[kind] = message[offset + _RTATTR.size : offset + length]
        offset += (length + 3) & ~3
    if _IFA_FLAGS in attributes:
        (flags,) = struct.unpack("=I", attributes[_IFA_FLAGS][:4])
    if flags & _IFA_F_UNWANTED:
        return None
    # On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL is ours.
    raw = attributes.get(_IFA_LOCAL) or attributes.get(_IFA_ADDRESS)
    if raw is None:
        return None
    return socket.inet_ntop(address_family, raw)
