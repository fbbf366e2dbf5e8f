"""One round of ``nuv ddns``: every address looked up once, then per zone
one listing and one batch of writes (the library's ``dns_sync``, scoped to
the names and types kept), and what changed, stayed or failed.

Every address is known (or its family failed) before anything is written.
A family whose sources fail, or whose host id gives a refused address, is
left as it is for the names it concerns; one whose sources were read and
gave no address is left alone, or removed with ``delete-missing``. Records
outside the names and types kept are never touched; with ``--owned-only``
only records whose comment matches are.
"""

from __future__ import annotations

import hashlib
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import nuv

from ._context import SERVICE_ERRORS, Context, describe
from .addresses import FAMILY_NAMES, AddressSource, Found, find_address
from .ddns_config import Hosts, Target
from .ddns_messages import inert
from .ddns_state import DdnsState

RECORD_TYPES = {4: "A", 6: "AAAA"}
DEFAULT_LOOKUP_TIMEOUT = 10.0
# libcurl's "Couldn't connect": for IPv6, most often a host without IPv6.
_CURL_COULDNT_CONNECT = 7
# Answers that say a remembered zone id is no longer the zone's (gone, moved,
# not this token's): the zones are listed again.
_STALE_ZONE_CODES = {1001, 7003}
_ATTRIBUTES = ("proxied", "ttl", "comment")


def label(names: list[str], most: int = 3) -> str:
    """Names as a short text: all of a few, else the first and a count."""
    if len(names) <= most:
        return ", ".join(names)
    return f"{', '.join(names[:most - 1])} and {len(names) - most + 1} more"


@dataclass
class Change:
    type: str
    name: str
    old: list[str]
    new: str | None  # None: removed
    source: str | None = None
    # field -> {"old", "new"}: the attributes an update changed (or would)
    attributes: dict[str, dict[str, Any]] = field(default_factory=dict)

    def _attribute_text(self, shown: Callable[[Any], str]) -> str:
        return ", ".join(
            f"{name}: {shown(change['old'])} -> {shown(change['new'])}" for name, change in self.attributes.items()
        )

    def line(self) -> str:
        source = f" (from {self.source})" if self.source else ""
        attributes = self._attribute_text(_shown)
        if self.new is not None and self.old == [self.new] and attributes:
            return f"{self.type} {self.name}: {self.new} ({attributes})"
        old = ", ".join(self.old) or "(none)"
        more = f"; {attributes}" if attributes else ""
        return f"{self.type} {self.name}: {old} -> {self.new or '(removed)'}{source}{more}"

    def message_line(self, with_name: bool) -> str:
        who = f"{self.type} {inert(self.name)}" if with_name else self.type
        attributes = self._attribute_text(lambda value: inert(_shown(value))).replace("->", "→")
        if self.new is not None and self.old == [self.new] and attributes:
            return f"{who}: {inert(self.new)} ({attributes})"
        old = ", ".join(inert(o) for o in self.old) or "(none)"
        more = f"; {attributes}" if attributes else ""
        return f"{who}: {old} → {inert(self.new) if self.new else '(removed)'}{more}"


def _shown(value: Any) -> str:
    if value is None:
        return "(none)"
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


@dataclass
class FamilyFailure:
    """A failure of part of a round. ``scope`` names what was checked (a
    family's sources, a zone, a name's record): the failure is over when a
    later round checks it and it does not fail. ``kind`` is the same text
    every time it fails the same way."""

    type: str  # what it is about, as shown: "A", "AAAA", "A, AAAA", "DingTalk", "round"
    kind: str
    error: str
    hint: str | None = None
    names: list[str] = field(default_factory=list)

    @property
    def scope(self) -> str:
        return self.kind.split(" ", 1)[0]

    def line(self) -> str:
        return f"{self.type}: {self.error}" + (f" -- {self.hint}" if self.hint else "")


@dataclass
class Round:
    changes: list[Change] = field(default_factory=list)
    unchanged: list[dict[str, str]] = field(default_factory=list)
    left_alone: list[dict[str, str]] = field(default_factory=list)
    failures: list[FamilyFailure] = field(default_factory=list)
    checked_types: list[str] = field(default_factory=list)  # the scopes checked
    recovered: list[str] = field(default_factory=list)
    notified: int = 0
    sources: list[dict[str, Any]] = field(default_factory=list)
    requests: dict[str, int] = field(
        default_factory=lambda: {"zone_listings": 0, "record_listings": 0, "batches": 0, "address_lookups": 0,
                                 "messages": 0, "pings": 0}
    )  # fmt: skip


@dataclass
class Wanted:
    """What one name's records of one type should be this round."""

    target: Target
    type: str
    content: str | None  # None: removed (delete-missing)
    source: str | None


class Zones:
    """The zone of each name: the longest of the token's zones that holds it,
    listed once per run (or remembered in the state), or the zone the
    command line, the file or --zone-id gives."""

    def __init__(self, context: Context, state: DdnsState) -> None:
        self.context = context
        self.state = state
        self.given_id: str | None = context.option("zone_id") or None
        self._listed = False
        self._by_domain: set[str] = set()

    def _list(self, domain: str | None) -> None:
        cf = self.context.cloudflare()
        found = cf.list_zones(name=domain) if domain else cf.list_zones()
        if domain is None:
            self.state.zones.clear()
            self._listed = True
        for zone in found:
            if isinstance(zone.get("name"), str) and isinstance(zone.get("id"), str):
                self.state.zones[zone["name"].lower()] = zone["id"]

    def of(self, target: Target, counter: dict[str, int]) -> tuple[str | None, str] | None:
        """(zone name or None, zone id) of the target's zone, None when the
        token has none that holds it. Raises the library's errors."""
        if self.given_id:
            return target.zone, self.given_id
        if target.zone is not None:
            key = target.zone.lower()
            if key not in self.state.zones and key not in self._by_domain:
                self._by_domain.add(key)
                counter["zone_listings"] += 1
                self._list(target.zone)
            zone_id = self.state.zones.get(key)
            if zone_id is None:
                raise nuv.ZoneNotFoundError(f"Domain not found: {target.zone}")
            return target.zone, zone_id
        found = self._longest(target.key)
        if found is None and not self._listed:
            counter["zone_listings"] += 1
            self._list(None)
            found = self._longest(target.key)
        return found

    def is_zone(self, name: str, counter: dict[str, int]) -> bool:
        """Whether the token has a zone of that name (as remembered, else listed)."""
        if not self.state.zones and not self._listed and not self.given_id:
            counter["zone_listings"] += 1
            self._list(None)
        return name.lower() in self.state.zones

    def _longest(self, key: str) -> tuple[str, str] | None:
        best = None
        for zone, zone_id in self.state.zones.items():
            if (key == zone or key.endswith("." + zone)) and (best is None or len(zone) > len(best[0])):
                best = (zone, zone_id)
        return best

    def forget(self, zone: str | None) -> bool:
        """Forgets a remembered zone whose id the service no longer takes;
        True when there was one to forget (the round may try again)."""
        if self.given_id or zone is None or zone.lower() not in self.state.zones:
            return False
        del self.state.zones[zone.lower()]
        self._by_domain.discard(zone.lower())
        self._listed = False
        return True


def _stale_zone(error: BaseException) -> bool:
    if isinstance(error, (nuv.NotFoundError, nuv.AuthenticationError)):
        return True
    codes = {e.get("code") for e in getattr(error, "errors", None) or [] if isinstance(e, dict)}
    return bool(codes & _STALE_ZONE_CODES)


def _sources_key(sources: tuple[AddressSource, ...]) -> str:
    return ",".join(str(s) for s in sources)


class RoundRunner:
    """Carries out rounds for the hosts of a run."""

    def __init__(self, context: Context, hosts: Hosts, state: DdnsState) -> None:
        self.context = context
        self.args = context.args
        self.hosts = hosts
        self.targets = hosts.targets
        self.zones = Zones(context, state)
        # A family with several source lists among the hosts tells their failures apart.
        self._lists = {
            family: sorted({_sources_key(t.sources[family]) for t in self.targets if t.sources[family]})
            for family in RECORD_TYPES
        }

    # ----- addresses --------------------------------------------------------------

    def lookup_settings(self) -> dict[str, Any]:
        settings: dict[str, Any] = {
            "timeout": self.context.option("timeout") or DEFAULT_LOOKUP_TIMEOUT,
            "proxy": self.context.proxy(),
            "allow_private": self.args.allow_private,
        }
        if self.context.option("retries") is not None:
            settings["retries"] = self.context.option("retries")
        return settings

    def _lookup_scope(self, family: int, sources: tuple[AddressSource, ...]) -> str:
        rtype = RECORD_TYPES[family]
        if len(self._lists[family]) <= 1:
            return rtype
        return f"{rtype}@{hashlib.sha256(_sources_key(sources).encode()).hexdigest()[:8]}"

    def _look_up(self, result: Round) -> dict[tuple[int, str], Found]:
        settings = self.lookup_settings()
        answers: dict[tuple[int, str], Found] = {}
        for family in RECORD_TYPES:
            for target in self.targets:
                sources = target.sources[family]
                key = (family, _sources_key(sources))
                if not sources or key in answers:
                    continue
                result.checked_types.append(self._lookup_scope(family, sources))
                answer = find_address(sources, family, settings)
                tried = sources[: sources.index(answer.source) + 1] if answer.source is not None else sources
                result.requests["address_lookups"] += sum(1 for s in tried if s.kind == "url")
                answers[key] = answer
                for source, error in answer.failures:
                    result.sources.append({"family": family, "source": source.shown, "error": describe(error)[0]})
                if answer.source is not None:
                    result.sources.append({"family": family, "source": answer.source.shown, "address": answer.address})
        return answers

    def _lookup_failure(self, family: int, sources: tuple[AddressSource, ...], answer: Found) -> FamilyFailure:
        rtype = RECORD_TYPES[family]
        errors = [describe(error, self.context)[0] for _, error in answer.failures]
        kinds = sorted({type(error).__name__ for _, error in answer.failures})
        hint = None
        unreachable = all(
            isinstance(error, nuv.AddressUnreadable) and error.curl_code == _CURL_COULDNT_CONNECT
            for _, error in answer.failures
        )
        if family == 6 and unreachable and self.args.ipv6 is None:
            hint = "this host seems to have no IPv6 connectivity: add --ipv6 none"
        elif any(error.hint for _, error in answer.failures) and not self.args.allow_private:
            hint = "for a zone served only inside your network, --allow-private publishes such addresses"
        message = "; ".join(errors) if len(errors) == 1 else f"no valid address from {len(errors)} sources: " + "; ".join(errors)
        names = [t.name for t in self.targets if t.sources[family] == sources]
        shown = rtype if len(self._lists[family]) <= 1 else f"{rtype} ({_sources_key(sources)})"
        return FamilyFailure(shown, f"{self._lookup_scope(family, sources)} address {'/'.join(kinds)}", message, hint, names)

    def _wanted(self, result: Round, answers: dict[tuple[int, str], Found]) -> list[Wanted]:
        """What each name's records should be, from the answers; failures
        and families left alone are recorded on the way."""
        wanted: list[Wanted] = []
        failed: set[tuple[int, str]] = set()
        for target in self.targets:
            for family, rtype in RECORD_TYPES.items():
                sources = target.sources[family]
                if not sources:
                    continue
                key = (family, _sources_key(sources))
                answer = answers[key]
                if answer.address is None and answer.failures:
                    if key not in failed:
                        failed.add(key)
                        result.failures.append(self._lookup_failure(family, sources, answer))
                    continue
                if answer.address is None:
                    if target.delete_missing:
                        wanted.append(Wanted(target, rtype, None, None))
                    else:
                        reason = f"no {FAMILY_NAMES[family]} address from its sources; record left alone"
                        result.left_alone.append({"name": target.name, "type": rtype, "reason": reason})
                    continue
                assert answer.source is not None
                # A given address needs no "from".
                shown = answer.source.shown if answer.source.kind != "static" else None
                address: str | None = answer.address
                if family == 6 and target.host_id is not None:
                    address = self._with_host_id(result, target, answer.address)
                    if address is None:
                        continue
                    shown = f"{shown or answer.source.shown}, host id {target.host_id}"
                wanted.append(Wanted(target, rtype, address, shown))
        return wanted

    def _with_host_id(self, result: Round, target: Target, detected: str) -> str | None:
        """The target's host id under the detected prefix, if it passes the gate."""
        assert target.host_id is not None
        combined = target.host_id.under(detected, target.prefix_length)
        scope = f"{target.key}/AAAA"
        result.checked_types.append(scope)
        try:
            return nuv.lookup_address(f"static:{combined}", 6, allow_private=self.args.allow_private)
        except nuv.AddressLookupError as refused:
            error = f"host id {target.host_id} under /{target.prefix_length} of {detected}: {describe(refused)[0]}"
            result.failures.append(FamilyFailure("AAAA", f"{scope} host-id {type(refused).__name__}", error, None, [target.name]))
            return None

    # ----- records ---------------------------------------------------------------------

    def round(self) -> Round:
        result = Round(checked_types=["round"])
        wanted = self._wanted(result, self._look_up(result))
        if self.hosts.maybe_domain and wanted and self.zones.is_zone(self.hosts.maybe_domain, result.requests):
            from ._context import UsageError

            outside = [t.name for t in self.targets[1:]]
            raise UsageError(
                f"{label(outside)} {'is' if len(outside) == 1 else 'are'} outside the zone {self.hosts.maybe_domain}: "
                f"give names under it (home.{self.hosts.maybe_domain}) or relative to it (home); to keep names of "
                "several zones, give the full names only, the first not a zone itself, or use --config"
            )
        by_zone: dict[tuple[str | None, str], list[Wanted]] = {}
        for item in wanted:
            try:
                found = self.zones.of(item.target, result.requests)
            except SERVICE_ERRORS as failed:
                self._zone_failure(result, [item], failed)
                continue
            if found is None:
                message = f"no zone of this token holds {item.target.name}"
                hint = "check the name, or give the zone's id with --zone-id"
                self._fail(result, [item], f"{item.target.key}/zone none", message, hint)
                continue
            by_zone.setdefault(found, []).append(item)
        for (zone, zone_id), items in by_zone.items():
            self._sync_zone(result, zone, zone_id, items)
        return result

    def _fail(self, result: Round, items: list[Wanted], kind: str, message: str, hint: str | None) -> None:
        """One failure per kind and message, naming every name and type it stopped."""
        for failure in result.failures:
            if failure.kind == kind and failure.error == message:
                break
        else:
            failure = FamilyFailure("", kind, message, hint, [])
            result.failures.append(failure)
        types = {t for t in failure.type.split(", ") if t} | {i.type for i in items}
        failure.type = ", ".join(sorted(types))
        failure.names = sorted(set(failure.names) | {i.target.name for i in items})

    def _zone_failure(self, result: Round, items: list[Wanted], failed: BaseException) -> None:
        message, hint = describe(failed, self.context)
        zone = items[0].target.zone or "zones"
        result.checked_types.append(f"dns:{zone.lower()}")
        self._fail(result, items, f"dns:{zone.lower()} {type(failed).__name__}", message, hint)

    def _sync_zone(self, result: Round, zone: str | None, zone_id: str, items: list[Wanted]) -> None:
        scope = f"dns:{(zone or zone_id).lower()}"
        result.checked_types.append(scope)
        # A name's types are all it keeps this round: one call for each set of them.
        types_of: dict[str, set[str]] = {}
        for item in items:
            types_of.setdefault(item.target.key, set()).add(item.type)
        groups: dict[tuple[str, ...], list[Wanted]] = {}
        for item in items:
            groups.setdefault(tuple(sorted(types_of[item.target.key])), []).append(item)
        for types, group in groups.items():
            for attempt in range(2):
                try:
                    self._sync(result, zone, zone_id, types, group)
                except SERVICE_ERRORS as failed:
                    applied = getattr(failed, "applied", None)
                    if applied:
                        self._report(result, group, applied, [])
                    if attempt == 0 and not applied and _stale_zone(failed) and self.zones.forget(zone):
                        try:
                            found = self.zones.of(group[0].target, result.requests)
                        except SERVICE_ERRORS as again:
                            failed = again
                        else:
                            if found is not None:
                                zone, zone_id = found
                                continue
                    message, hint = describe(failed, self.context)
                    self._fail(result, group, f"{scope} {type(failed).__name__}", message, hint)
                break

    def _record(self, item: Wanted) -> dict[str, Any]:
        target = item.target
        record: dict[str, Any] = {"type": item.type, "name": target.name, "content": item.content}
        for attribute in _ATTRIBUTES:
            value = getattr(target, attribute)
            if value is not None:
                record[attribute] = value
        return record

    def _sync(self, result: Round, zone: str | None, zone_id: str, types: tuple[str, ...], group: list[Wanted]) -> None:
        cf = self.context.cloudflare()
        records: list[Any] = [self._record(item) for item in group if item.content is not None]
        settings: dict[str, Any] = {
            "zone_id": zone_id,
            "scope": sorted({item.target.name for item in group}),
            "types": list(types),
            # An address change rewrites every record kept, by design.
            "force": True,
        }
        if self.hosts.owned_only:
            settings["owned_only"] = self.hosts.owned_only
        if self.args.dry_run:
            plan = cf.dns_sync_plan(records, zone, **settings)
            result.requests["record_listings"] += 1
            writes = [w for w in plan if w["action"] != "skip"]
            self._report(result, group, writes, [w for w in plan if w["action"] == "skip"])
            return
        done = cf.dns_sync(records, zone, **settings)
        result.requests["record_listings"] += done["requests"] - done["batches"]
        result.requests["batches"] += done["batches"]
        self._report(result, group, done["writes"], done["skipped"])

    def _report(self, result: Round, group: list[Wanted], writes: Iterable[Any], skipped: Iterable[Any]) -> None:
        """What each name and type of the group came to."""
        by_key: dict[tuple[str, str], list[Any]] = {}
        for write in writes:
            by_key.setdefault((str(write["name"]).rstrip(".").lower(), str(write["type"]).upper()), []).append(write)
        skips: dict[tuple[str, str], Any] = {}
        for skip in skipped:
            skips[(str(skip["name"]).rstrip(".").lower(), str(skip["type"]).upper())] = skip
        for item in group:
            key = (item.target.key, item.type)
            written = by_key.pop(key, [])
            if key in skips:
                reason = f"{skips[key].get('reason', 'kept out')}: not written"
                result.left_alone.append({"name": item.target.name, "type": item.type, "reason": reason})
                continue
            if not written:
                if item.content is None:
                    reason = f"no {FAMILY_NAMES[4 if item.type == 'A' else 6]} address and no record"
                    result.left_alone.append({"name": item.target.name, "type": item.type, "reason": reason})
                else:
                    entry = {"name": item.target.name, "type": item.type, "content": item.content, "source": item.source or ""}
                    result.unchanged.append(entry)
                continue
            old: list[str] = []
            attributes: dict[str, dict[str, Any]] = {}
            shown = False  # a write holds the wanted content (created, moved to it, or kept and updated)
            for write in written:
                changes = write.get("changes") or {}
                if write["action"] == "delete":
                    old.append(str(write["content"]))
                    continue
                shown = True
                if write["action"] == "update":
                    old.append(str(changes["content"]["old"]) if "content" in changes else str(write["content"]))
                    attributes.update({k: v for k, v in changes.items() if k in _ATTRIBUTES})
            if item.content is not None and not shown:
                old.insert(0, item.content)  # it was there already, untouched; others went
            result.changes.append(Change(item.type, item.target.name, old, item.content, item.source, attributes))

    # ----- removal on stop ----------------------------------------------------------

    def remove_all(self, deadline: float) -> Round:
        """Removes every record kept (of the names and types with sources;
        with --owned-only, only those it matches), zone by zone until
        ``deadline`` (time.monotonic())."""
        result = Round()
        by_zone: dict[tuple[str | None, str], list[Wanted]] = {}
        for target in self.targets:
            items = [Wanted(target, rtype, None, None) for family, rtype in RECORD_TYPES.items() if target.sources[family]]
            try:
                found = self.zones.of(target, result.requests)
            except SERVICE_ERRORS as failed:
                self._zone_failure(result, items, failed)
                continue
            if found is not None:
                by_zone.setdefault(found, []).extend(items)
        for (zone, zone_id), items in by_zone.items():
            if time.monotonic() >= deadline:
                self._fail(result, items, f"dns:{(zone or zone_id).lower()} stop", "not removed: out of time", None)
                continue
            self._sync_zone(result, zone, zone_id, items)
        return result
