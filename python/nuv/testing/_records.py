"""Record contents as the service stores and shows them: host names without their
final dot, ``content`` derived from ``data`` for the types that carry it, and the
per-field checks the service runs (host names, names, comments, tags)."""

from __future__ import annotations

import ipaddress
import re
from typing import Any

# Content that is a host name: stored without one final dot, compared without case.
HOSTNAME_CONTENT = frozenset({"CNAME", "MX", "NS", "PTR"})
# Host names inside ``data``, by type.
DATA_HOSTNAMES = {"SRV": "target", "HTTPS": "target", "SVCB": "target", "NAPTR": "replacement"}
# Types whose ``content`` is read-only and made from ``data``, in presentation order.
DATA_FIELDS: dict[str, tuple[str, ...]] = {
    "CAA": ("flags", "tag", "value"),
    "CERT": ("type", "key_tag", "algorithm", "certificate"),
    "DNSKEY": ("flags", "protocol", "algorithm", "public_key"),
    "DS": ("key_tag", "algorithm", "digest_type", "digest"),
    "HTTPS": ("priority", "target", "value"),
    "NAPTR": ("order", "preference", "flags", "service", "regex", "replacement"),
    "SMIMEA": ("usage", "selector", "matching_type", "certificate"),
    # Priority is a field of its own on SRV records; the content is the rest.
    "SRV": ("weight", "port", "target"),
    "SSHFP": ("algorithm", "type", "fingerprint"),
    "SVCB": ("priority", "target", "value"),
    "TLSA": ("usage", "selector", "matching_type", "certificate"),
    "URI": ("weight", "target"),
    "LOC": (),
}
# Fields shown as quoted strings, as a zone file writes them.
QUOTED = {("CAA", "value"), ("NAPTR", "flags"), ("NAPTR", "service"), ("NAPTR", "regex"), ("URI", "target")}
LABEL = re.compile(r"^[A-Za-z0-9_\-\u0080-\U0010ffff]{1,63}$")
TAG_NAME = re.compile(r"^[A-Za-z0-9_-]+$")
# Whitespace and control characters: never part of a record name.
BAD_NAME_CHARACTER = re.compile(r"[\s\x00-\x1f\x7f]")


def strip_final_dot(text: str) -> str:
    """One final dot dropped ("." itself stays: the root)."""
    return text[:-1] if text.endswith(".") and text != "." else text


def is_hostname(text: str) -> bool:
    name = strip_final_dot(text)
    if not name or name == "." or len(name) > 253:
        return False
    return all(LABEL.match(label) for label in name.split("."))


def _number_text(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def stored_data(record_type: str, data: dict[str, Any]) -> dict[str, Any]:
    """``data`` as stored: host names inside it without their final dot."""
    field = DATA_HOSTNAMES.get(record_type)
    if field is None or not isinstance(data.get(field), str):
        return dict(data)
    return dict(data, **{field: strip_final_dot(data[field])})


def _loc_content(data: dict[str, Any]) -> str:
    def part(key: str) -> str:
        return _number_text(data.get(key, 0))

    return (
        f"{part('lat_degrees')} {part('lat_minutes')} {part('lat_seconds')} {data.get('lat_direction', 'N')} "
        f"{part('long_degrees')} {part('long_minutes')} {part('long_seconds')} {data.get('long_direction', 'E')} "
        f"{part('altitude')}m {part('size')}m {part('precision_horz')}m {part('precision_vert')}m"
    )


def content_from_data(record_type: str, data: dict[str, Any]) -> str:
    """The service's presentation of ``data``, e.g. CAA ``0 issue "letsencrypt.org"``."""
    if record_type == "LOC":
        return _loc_content(data)
    parts = []
    for key in DATA_FIELDS[record_type]:
        value = data.get(key, "")
        text = value if isinstance(value, str) else _number_text(value)
        parts.append(f'"{text}"' if (record_type, key) in QUOTED else text)
    return " ".join(parts)


def same_content(record_type: str, left: str, right: str) -> bool:
    """Contents equal to the service: host names without case and final dot, addresses by value."""
    if record_type in HOSTNAME_CONTENT:
        return strip_final_dot(left).lower() == strip_final_dot(right).lower()
    if record_type == "AAAA":
        # Seeded records may hold any spelling of an address.
        try:
            return ipaddress.IPv6Address(left) == ipaddress.IPv6Address(right)
        except ValueError:
            pass
    return left == right


def name_refusal(name: str) -> str | None:
    if BAD_NAME_CHARACTER.search(name):
        return "name: a record name may not hold white space or control characters"
    return None


def comment_refusal(comment: Any) -> str | None:
    if isinstance(comment, str) and ("\n" in comment or "\r" in comment):
        return "comment: a comment may not hold a line break"
    return None


def tags_refusal(tags: Any) -> str | None:
    if not isinstance(tags, list):
        return None  # the schema says what is wrong
    for tag in tags:
        if not isinstance(tag, str):
            continue
        tag_name, sep, _value = tag.partition(":")
        if not sep or not TAG_NAME.match(tag_name):
            return f"tags: {tag!r} is not name:value with a name of letters, digits, '_' and '-'"
    return None


def tag_pairs(tags: Any) -> list[tuple[str, str]]:
    """Tags as (name in lower case, value) pairs, for the listing's filters."""
    pairs = []
    for tag in tags if isinstance(tags, list) else []:
        if isinstance(tag, str):
            tag_name, _, value = tag.partition(":")
            pairs.append((tag_name.lower(), value))
    return pairs
