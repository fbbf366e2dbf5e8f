"""The shapes of what the service returns, for type checkers and for
readers: a DNS record, a zone, an error entry, a write of ``dns_plan`` and
its changes, a record a failed swap could not put back, a file to purge. Plain ``TypedDict``s: at run time they are dicts."""

from __future__ import annotations

from typing import Any, Literal, NotRequired, TypeAlias, TypedDict

RecordType: TypeAlias = Literal[
    "A", "AAAA", "CAA", "CERT", "CNAME", "DNSKEY", "DS", "HTTPS", "LOC", "MX",
    "NAPTR", "NS", "OPENPGPKEY", "PTR", "SMIMEA", "SRV", "SSHFP", "SVCB", "TLSA", "TXT", "URI",
]  # fmt: skip
"""The record types the service knows (the methods take any str as well)."""


class ErrorEntry(TypedDict):
    """One element of an envelope's "errors" (or "messages")."""

    code: int
    message: str


class DnsRecord(TypedDict, total=False):
    """A DNS record as the service lists it."""

    id: str
    name: str
    type: str
    content: str
    proxied: bool
    proxiable: bool
    ttl: int
    priority: int
    comment: str | None
    tags: list[str]
    zone_id: str
    zone_name: str
    created_on: str
    modified_on: str
    meta: dict[str, Any]


class Zone(TypedDict, total=False):
    """A zone as the service lists it."""

    id: str
    name: str
    status: str
    paused: bool
    type: str
    name_servers: list[str]
    account: dict[str, Any]
    created_on: str
    modified_on: str


class FieldChange(TypedDict):
    """One field an update changes: its value before and after."""

    old: Any
    new: Any


class PlannedWrite(TypedDict):
    """One write of ``dns_plan``: the record it leaves (or removes), why, and
    for an update each field it changes (``changes``; empty otherwise)."""

    action: Literal["create", "update", "delete"]
    id: str | None
    type: str
    name: str
    content: str
    proxied: bool
    ttl: int
    priority: int | None
    comment: str | None
    reason: str
    changes: dict[Literal["content", "proxied", "ttl", "priority", "comment"], FieldChange]


class UnrestoredRecord(TypedDict):
    """A record ``dns_ensured_record`` deleted to make room for the wanted
    one and could not put back: what it takes to create it again."""

    type: str
    name: str
    content: str
    ttl: int
    proxied: bool
    priority: int | None
    comment: str | None


class WantedRecord(TypedDict, total=False):
    """A record of ``dns_sync``'s wanted state: ``type``, ``name`` (full, or
    relative to the zone; "@" and "" the apex) and ``content`` are
    required; a field left out keeps what the existing record has (the
    service's default on create). Other keys are ignored, so a listed
    record is a wanted record too.

    The types the service describes with structured data (CAA, CERT,
    DNSKEY, DS, HTTPS, LOC, NAPTR, SMIMEA, SRV, SSHFP, SVCB, TLSA, URI) may
    give ``data`` instead, every field of the type as the service lists it
    (``{"flags": 0, "tag": "issue", "value": "ca.example"}``); the record is
    then compared and written by its data and its ``content`` is ignored."""

    type: str
    name: str
    content: str
    data: dict[str, Any] | None
    ttl: int | None
    proxied: bool | None
    priority: int | None
    comment: str | None
    tags: list[str] | None


class SyncWrite(TypedDict):
    """One write of ``dns_sync_plan``/``dns_sync``: the record it leaves (or
    removes), and for an update each changed field's old and new value. A
    "skip" is a wanted record a record outside the scope keeps out (never
    sent); its ``reason`` says which."""

    action: Literal["create", "update", "delete", "skip"]
    id: str | None
    type: str
    name: str
    content: str
    ttl: int
    proxied: bool
    priority: int | None
    comment: str | None
    tags: list[str]
    changes: dict[str, FieldChange]
    data: NotRequired[dict[str, Any]]
    """The record's data, when it has data (a change of it: ``changes["data"]``)."""
    reason: NotRequired[str]


class SyncResult(TypedDict):
    """What ``dns_sync`` did."""

    writes: list[SyncWrite]
    skipped: list[SyncWrite]
    requests: int
    batches: int


class PurgeFile(TypedDict, total=False):
    """A file to purge together with the request headers of its cached
    variant (``purge_cache(files=[...])`` also takes plain URLs)."""

    url: str
    headers: dict[str, str]
