"""What ``nuv ddns`` keeps: the hosts named on the command line
(``NAME [NAME...]``, or today's ``DOMAIN NAME [NAME...]``) or in a TOML
file (``--config``), each with its address sources, IPv6 host id and the
record attributes it enforces. Everything here is read and checked before
any request; a mistake is a usage error naming the option, or the file and
line.

A host's own keys win over the command line's options, which win over the
file's top-level keys; what nobody gives is left as the record has it (or
the service's default for a record that is created).
"""

from __future__ import annotations

import argparse
import re
import tomllib
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

from ._context import UsageError
from .addresses import DEFAULT_PREFIX_LENGTH, DEFAULT_SOURCES, AddressSource, HostId, parse_host_id, parse_sources

# The file's keys: those a host may set, and those only the top level takes.
HOST_KEYS = ("ipv4", "ipv6", "ipv6-host-id", "ipv6-prefix-len", "proxied", "ttl", "comment", "delete-missing")
TOP_KEYS = ("zone", "owned-only", "ping", "host", *HOST_KEYS)
MAX_COMMENT_LENGTH = 500
_TOML_POSITION = re.compile(r"\s*\(at line (\d+), column \d+\)$")
_KEY_LINE = re.compile(r"""^\s*("[^"]*"|'[^']*'|[A-Za-z0-9_-]+)\s*=""")


@dataclass(frozen=True)
class Settings:
    """What one level (a host, the command line, the file's top) says; None:
    not said there."""

    ipv4: tuple[AddressSource, ...] | None = None
    ipv6: tuple[AddressSource, ...] | None = None
    host_id: str | None = None
    prefix_length: int | None = None
    proxied: bool | None = None
    ttl: int | None = None
    comment: str | None = None
    delete_missing: bool | None = None

    def over(self, below: Settings) -> Settings:
        """These settings, with ``below``'s where these say nothing."""
        return Settings(**{k: v if v is not None else getattr(below, k) for k, v in vars(self).items()})


@dataclass(frozen=True)
class Target:
    """One name to keep, with everything that decides its records."""

    name: str  # fully qualified, without a final dot
    zone: str | None  # its zone's name when the command line or the file says it
    sources: dict[int, tuple[AddressSource, ...]]
    host_id: HostId | None
    prefix_length: int
    proxied: bool | None  # None: keep what the record has
    ttl: int | None
    comment: str | None
    delete_missing: bool

    @property
    def key(self) -> str:
        return self.name.lower()


@dataclass
class Hosts:
    """What a run keeps."""

    targets: list[Target]
    # The first argument, when it may be one of the token's zones given in
    # today's DOMAIN NAME form with a NAME outside it: refused if it is.
    maybe_domain: str | None = None
    owned_only: str | None = None
    ping: str | None = None
    config: Path | None = None
    where: dict[str, str] = field(default_factory=dict)  # name key -> "file:line", for messages


# ----- names ----------------------------------------------------------------------


def _zone_name(domain: str) -> str:
    zone = domain.rstrip(".")
    if not zone or zone.startswith(".") or ".." in zone or any(c.isspace() for c in zone):
        raise UsageError(f"{domain!r} is not a domain name")
    return zone


def _is_relative(name: str) -> bool:
    return name in ("@", "") or ("." not in name and not name.endswith("."))


def _under(name: str, zone: str) -> bool:
    full = name.rstrip(".").lower()
    return full == zone.lower() or full.endswith("." + zone.lower())


def resolve_name(domain: str, name: str) -> str:
    """The full name NAME stands for in DOMAIN's zone: "@" (or "") is the zone
    itself, a name without a dot is relative to it, a trailing dot means
    fully qualified; UsageError for a name outside the zone."""
    zone = _zone_name(domain)
    if name in ("@", ""):
        return zone
    qualified = name.endswith(".")
    full = name.rstrip(".") if qualified else name
    if not full or ".." in full or full.startswith(".") or any(c.isspace() for c in full):
        raise UsageError(f"{name!r} is not a host name")
    if not qualified and "." not in full:
        return f"{full}.{zone}"
    if not _under(full, zone):
        raise UsageError(
            f"{name} is outside the zone {zone}: give a name under it (home.{zone}), "
            f"a name relative to it (home), or @ for {zone} itself"
        )
    return full


def _full_name(name: str) -> str:
    full = name.rstrip(".")
    if _is_relative(name):
        raise UsageError(
            f"{name!r} is relative: give the zone first (nuv ddns DOMAIN {name}), or the full name"
        )
    if ".." in full or full.startswith(".") or any(c.isspace() for c in full):
        raise UsageError(f"{name!r} is not a host name")
    return full


def split_arguments(arguments: list[str]) -> tuple[str | None, list[str], str | None]:
    """(the zone of today's DOMAIN NAME form or None, the full names, the
    first argument when it might be a zone given with a name outside it).

    The first of several arguments is the DOMAIN when every other one is
    relative to it (``home``, ``@``) or under it (``home.example.com``);
    otherwise every argument is a fully qualified name."""
    if not arguments:
        raise UsageError("name at least one host (nuv ddns home.example.com), or give --config FILE")
    first, rest = arguments[0], arguments[1:]
    if rest and all(_is_relative(name) or _under(name, first.rstrip(".")) for name in rest):
        zone = _zone_name(first)
        return zone, [resolve_name(zone, name) for name in rest], None
    relative = [name for name in rest if _is_relative(name)]
    if relative:
        # A relative name makes the first argument a DOMAIN: the others must be in it.
        zone = _zone_name(first)
        return zone, [resolve_name(zone, name) for name in rest], None
    # Two full names may be today's form with a NAME outside its DOMAIN.
    return None, [_full_name(name) for name in arguments], first.rstrip(".") if len(arguments) == 2 else None


# ----- settings -------------------------------------------------------------------


def check_ttl(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"the TTL must be a whole number of seconds, not {value!r}")
    if value != 1 and not 30 <= value <= 86400:
        raise ValueError(f"the TTL must be 1 (automatic) or from 30 to 86400 seconds, not {value}")
    return value


def check_comment(value: Any) -> str:
    if not isinstance(value, str) or any(c in value for c in "\r\n"):
        raise ValueError(f"a comment is one line of text, not {value!r}")
    if len(value) > MAX_COMMENT_LENGTH:
        raise ValueError(f"a comment holds at most {MAX_COMMENT_LENGTH} characters")
    return value


def check_pattern(value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"--owned-only takes a regular expression, not {value!r}")
    try:
        re.compile(value)
    except re.error as bad:
        raise ValueError(f"{value!r} is not a regular expression: {bad}") from None
    return value


def check_ping(value: Any) -> str:
    if not isinstance(value, str) or not re.match(r"(?i)^https?://[^\s/?#]+", value) or re.search(r"\s", value):
        # The URL is a credential: never repeated in an error.
        raise ValueError("the ping URL must be an http:// or https:// URL")
    return value


def check_prefix_length(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 127:
        raise ValueError(f"the IPv6 prefix length must be from 1 to 127, not {value!r}")
    return value


def command_line_settings(args: argparse.Namespace) -> Settings:
    """The options given on the command line (checked by argparse)."""
    return Settings(
        ipv4=args.ipv4,
        ipv6=args.ipv6,
        host_id=args.ipv6_host_id,
        prefix_length=args.ipv6_prefix_len,
        proxied=args.proxied,
        ttl=args.ttl,
        comment=args.comment,
        delete_missing=args.delete_missing,
    )


def make_target(name: str, zone: str | None, settings: Settings) -> Target:
    """ValueError for a host id that does not fit its prefix length."""
    prefix_length = settings.prefix_length or DEFAULT_PREFIX_LENGTH
    host_id = parse_host_id(settings.host_id, prefix_length) if settings.host_id is not None else None
    sources = {
        4: settings.ipv4 if settings.ipv4 is not None else parse_sources(DEFAULT_SOURCES[4], 4),
        6: settings.ipv6 if settings.ipv6 is not None else parse_sources(DEFAULT_SOURCES[6], 6),
    }
    return Target(
        name=name,
        zone=zone,
        sources=sources,
        host_id=host_id,
        prefix_length=prefix_length,
        proxied=settings.proxied,
        ttl=settings.ttl,
        comment=settings.comment,
        delete_missing=bool(settings.delete_missing),
    )


def hosts_from_arguments(args: argparse.Namespace) -> Hosts:
    zone, names, maybe_domain = split_arguments(args.names)
    settings = command_line_settings(args)
    try:
        targets = [make_target(name, zone, settings) for name in dict.fromkeys(names)]
    except ValueError as bad:
        raise UsageError(f"--ipv6-host-id: {bad}") from None
    return Hosts(targets, maybe_domain, args.owned_only, args.ping)


# ----- the file ---------------------------------------------------------------------


class _Lines:
    """Where each key of the file is written, found simply: by table headers
    and ``key =`` at the start of a line (good enough to point at it)."""

    def __init__(self, text: str) -> None:
        self.keys: dict[tuple[int | None, str], int] = {}
        host = None  # index of the [[host]] table we are in; None: the top
        for number, line in enumerate(text.splitlines(), 1):
            stripped = line.strip()
            if stripped.startswith("[["):
                host = (host + 1 if host is not None else 0) if stripped[2:].split("]")[0].strip() == "host" else -1
                self.keys.setdefault((host, ""), number)
            elif stripped.startswith("["):
                host = -1
                self.keys.setdefault((host, stripped), number)
            elif match := _KEY_LINE.match(line):
                self.keys.setdefault((host, match[1].strip("\"'")), number)

    def of(self, host: int | None, key: str = "") -> int | None:
        return self.keys.get((host, key)) or self.keys.get((host, ""))


def _settings(table: dict[str, Any], fail: Any) -> Settings:
    """A table's settings; ``fail(key, message)`` raises for a bad value."""
    said: dict[str, Any] = {}
    for key, attribute, check in (
        ("ipv4", "ipv4", lambda v: parse_sources(_text(v), 4)),
        ("ipv6", "ipv6", lambda v: parse_sources(_text(v), 6)),
                # Whether it fits its prefix is known once the prefix length is.
        ("ipv6-host-id", "host_id", lambda v: str(parse_host_id(_text(v), 1))),
        ("ipv6-prefix-len", "prefix_length", check_prefix_length),
        ("proxied", "proxied", _boolean),
        ("ttl", "ttl", check_ttl),
        ("comment", "comment", check_comment),
        ("delete-missing", "delete_missing", _boolean),
    ):
        if key in table:
            try:
                said[attribute] = check(table[key])
            except ValueError as bad:
                fail(key, f"{key}: {bad}")
    return Settings(**said)


def _text(value: Any) -> str:
    if not isinstance(value, str):
        raise ValueError(f"expected a string, not {value!r}")
    return value


def _boolean(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"expected true or false, not {value!r}")
    return value


def read_configuration(path: str, command_line: Settings) -> Hosts:
    """The hosts of the file at ``path``; UsageError "PATH:LINE: ..." for
    anything wrong in it."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as failed:
        why = failed.strerror if isinstance(failed, OSError) and failed.strerror else "not UTF-8 text"
        raise UsageError(f"cannot read --config {path}: {why}") from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as bad:
        message = str(bad)
        position = _TOML_POSITION.search(message)
        line = f":{position[1]}" if position else ""
        raise UsageError(f"{path}{line}: {_TOML_POSITION.sub('', message)} (TOML)") from None
    lines = _Lines(text)

    def fail_at(host: int | None, key: str, message: str) -> Any:
        line = lines.of(host, key)
        raise UsageError(f"{path}{f':{line}' if line else ''}: {message}")

    for key in document:
        if key not in TOP_KEYS:
            fail_at(None, key, f"unknown key {key!r} (known: {', '.join(TOP_KEYS)})")
    zone = document.get("zone")
    if zone is not None:
        try:
            zone = _zone_name(_text(zone))
        except (ValueError, UsageError) as bad:
            fail_at(None, "zone", f"zone: {bad}")
    owned_only = ping = None
    try:
        owned_only = check_pattern(document["owned-only"]) if "owned-only" in document else None
    except ValueError as bad:
        fail_at(None, "owned-only", f"owned-only: {bad}")
    try:
        ping = check_ping(document["ping"]) if "ping" in document else None
    except ValueError as bad:
        fail_at(None, "ping", f"ping: {bad}")
    top = _settings(document, lambda key, message: fail_at(None, key, message))
    hosts = document.get("host")
    if not isinstance(hosts, list) or not hosts or not all(isinstance(h, dict) for h in hosts):
        fail_at(None, "host", "name the hosts to keep in [[host]] tables, each with name = \"...\"")
        return Hosts([])
    targets: list[Target] = []
    where: dict[str, str] = {}
    for index, table in enumerate(hosts):
        for key in table:
            if key != "name" and key not in HOST_KEYS:
                fail_at(index, key, f"unknown key {key!r} in [[host]] (known: name, {', '.join(HOST_KEYS)})")
        name = table.get("name")
        if not isinstance(name, str):
            fail_at(index, "name", "a [[host]] needs name = \"...\" (a full name, or relative to zone)")
        try:
            full = resolve_name(zone, name) if zone else _full_name(name)
        except UsageError as bad:
            fail_at(index, "name", f"name: {bad}")
        own = _settings(table, lambda key, message, index=index: fail_at(index, key, message))
        settings = own.over(command_line).over(top)
        try:
            target = make_target(full, zone, settings)
        except ValueError as bad:
            key = "ipv6-host-id" if "ipv6-host-id" in table else "ipv6-prefix-len"
            fail_at(index if key in table else None, key, f"{key}: {bad}")
        if target.key in where:
            fail_at(index, "name", f"{full} is named twice (first at {where[target.key]})")
        where[target.key] = f"{path}:{lines.of(index, 'name')}"
        targets.append(target)
    return Hosts(targets, None, owned_only, ping, Path(path), where)


def with_options(hosts: Hosts, args: argparse.Namespace) -> Hosts:
    """The command line's --owned-only and --ping over the file's."""
    return replace(
        hosts,
        owned_only=args.owned_only if args.owned_only is not None else hosts.owned_only,
        ping=args.ping if args.ping is not None else hosts.ping,
    )
