"""``nuv ddns DOMAIN NAME``: keep a host's A and AAAA records pointing at this
machine's addresses, and tell the team when they change.

One round per run (cron, systemd timers) or, with ``--every``, a loop with
jitter. Runs for one name take turns (a lock beside the state file). Each
family's address comes from the first of its sources that answers a valid
one (the library's look-up and sanity gate); a family whose sources fail or
answer no global address is a failure: its record is left as it is, even
with ``--delete-missing``, which only acts when the sources were read and
gave no address. SIGTERM or SIGINT ends a round within a second (the
request in flight is abandoned; the library puts back what it removed); a
second signal ends the process at once.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import Any

import nuv

from ._context import (
    EXIT_FAILED,
    EXIT_OK,
    SERVICE_ERRORS,
    Context,
    Failure,
    UsageError,
    cloudflare_options,
    describe,
    dingtalk_options,
)
from .addresses import DEFAULT_SOURCES, FAMILY_NAMES, AddressSource, Found, find_address, parse_sources
from .ddns_messages import held_message, inert, round_message
from .ddns_state import DdnsState, RunLock, now_text
from .ding import send_markdown

RECORD_TYPES = {4: "A", 6: "AAAA"}
JITTER = 0.1  # each wait is the interval give or take 10 %, so many hosts do not call in step
DEFAULT_LOOKUP_TIMEOUT = 10.0
DEFAULT_LOCK_TIMEOUT = 30.0
# What a round may fail with and still let an --every service go on.
ROUND_ERRORS = (*SERVICE_ERRORS, nuv.AddressLookupError, Failure)
# libcurl's "Couldn't connect": for IPv6, most often a host without IPv6.
_CURL_COULDNT_CONNECT = 7


def _sources(family: int, text: str) -> tuple[AddressSource, ...]:
    try:
        return parse_sources(text, family)
    except ValueError as bad:
        raise argparse.ArgumentTypeError(str(bad)) from None


def parse_duration(text: str) -> float:
    """ "90s", "5m", "1h", "1.5m", "500ms" -> seconds; a bare number is refused."""
    match = re.fullmatch(r"(\d+(?:\.\d+)?)(ms|s|m|h)", text.strip())
    if not match:
        raise argparse.ArgumentTypeError(f"not a duration: {text!r} (give a unit: 30s, 5m, 1h)")
    seconds = float(match[1]) * {"ms": 0.001, "s": 1, "m": 60, "h": 3600}[match[2]]
    if seconds <= 0:
        raise argparse.ArgumentTypeError(f"the interval must be more than 0: {text!r}")
    return seconds


def _lock_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= 86400:
        raise argparse.ArgumentTypeError(f"must be from 0 to 86400 seconds: {text}")
    return value


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "ddns",
        parents=[common, cloudflare_options(), dingtalk_options(with_connection=False)],
        help="keep a host's A and AAAA records at this machine's addresses",
        description="Keep a host's A and AAAA records pointing at this machine's addresses, and tell the "
        "team when they change: one round, or a loop with --every. SOURCES is a comma-separated list, tried "
        "in order until one answers a valid address, of url:URL (a page answering the address as plain text "
        "or in an ip= line, such as /cdn-cgi/trace), iface:NAME (the interface's first global, non-temporary "
        "address), static:ADDRESS; or none (leave that family alone). Only a global unicast address is "
        "published (see --allow-private).",
    )
    parser.add_argument("domain", metavar="DOMAIN", help="the zone (example.com)")
    parser.add_argument(
        "name",
        metavar="NAME",
        help="the host: relative to the zone (home), fully qualified (home.example.com), or @ for the zone itself",
    )
    for family, flag in ((4, "--ipv4"), (6, "--ipv6")):
        parser.add_argument(
            flag,
            metavar="SOURCES",
            type=partial(_sources, family),
            default=None,
            help=f"where the {FAMILY_NAMES[family]} address comes from (default {DEFAULT_SOURCES[family]})",
        )
    parser.add_argument(
        "--allow-private",
        action="store_true",
        help="also publish private, shared (100.64/10) and documentation addresses, for a zone served only "
        "inside your network (never loopback, link-local, multicast and the like)",
    )
    parser.add_argument("--proxied", action="store_true", help="proxy the records through Cloudflare")
    parser.add_argument("--ttl", type=int, default=1, metavar="N", help="TTL in seconds, 1 for automatic (default)")
    parser.add_argument(
        "--delete-missing",
        action="store_true",
        help="remove the NAME's record of a family whose sources were read and gave no address",
    )
    parser.add_argument(
        "--every",
        metavar="DURATION",
        type=parse_duration,
        help="keep running, a round every DURATION (30s, 5m, 1h) with jitter",
    )
    parser.add_argument(
        "--notify",
        action="store_true",
        help="post a DingTalk markdown message on every change, once per kind of failure and when it is over",
    )
    parser.add_argument(
        "--state-file",
        metavar="PATH",
        help="where the failures reported and the messages not yet posted are kept, with the lock beside it "
        "(default: $STATE_DIRECTORY, $XDG_STATE_HOME/nuv or ~/.local/state/nuv)",
    )
    parser.add_argument(
        "--lock-timeout",
        metavar="SECONDS",
        type=_lock_seconds,
        default=DEFAULT_LOCK_TIMEOUT,
        help=f"how long to wait for another run of the same name to finish (default {DEFAULT_LOCK_TIMEOUT:g})",
    )
    parser.add_argument("--dry-run", action="store_true", help="show what would change, write nothing")
    # Tests end the loop after this many rounds.
    parser.add_argument("--rounds", type=int, default=0, help=argparse.SUPPRESS)
    parser.set_defaults(run=run)


def resolve_name(domain: str, name: str) -> str:
    """The full name NAME stands for in DOMAIN's zone: "@" (or "") is the zone
    itself, a name without a dot is relative to it, a trailing dot means
    fully qualified; UsageError for a name outside the zone."""
    zone = domain.rstrip(".")
    if not zone or zone.startswith(".") or ".." in zone:
        raise UsageError(f"{domain!r} is not a domain name")
    if name in ("@", ""):
        return zone
    qualified = name.endswith(".")
    full = name.rstrip(".") if qualified else name
    if not full or ".." in full or full.startswith("."):
        raise UsageError(f"{name!r} is not a host name")
    if not qualified and "." not in full:
        return f"{full}.{zone}"
    if full.lower() != zone.lower() and not full.lower().endswith("." + zone.lower()):
        raise UsageError(
            f"{name} is outside the zone {zone}: give a name under it (home.{zone}), "
            f"a name relative to it (home), or @ for {zone} itself"
        )
    return full


# ----- one round --------------------------------------------------------------


@dataclass
class Change:
    type: str
    name: str
    old: list[str]
    new: str | None  # None: removed
    source: str | None = None

    def line(self) -> str:
        old = ", ".join(self.old) or "(none)"
        source = f" (from {self.source})" if self.source else ""
        return f"{self.type} {self.name}: {old} -> {self.new or '(removed)'}{source}"

    def message_line(self) -> str:
        old = ", ".join(inert(o) for o in self.old) or "(none)"
        return f"{self.type}: {old} → {inert(self.new) if self.new else '(removed)'}"


@dataclass
class FamilyFailure:
    type: str
    kind: str  # what failed, the same text every time it fails the same way
    error: str
    hint: str | None = None

    def line(self) -> str:
        return f"{self.type}: {self.error}" + (f" -- {self.hint}" if self.hint else "")


@dataclass
class Round:
    changes: list[Change] = field(default_factory=list)
    unchanged: list[dict[str, str]] = field(default_factory=list)
    left_alone: list[dict[str, str]] = field(default_factory=list)
    failures: list[FamilyFailure] = field(default_factory=list)
    checked_types: list[str] = field(default_factory=list)
    recovered: list[str] = field(default_factory=list)
    notified: int = 0

    def document(self, job: Job) -> dict[str, Any]:
        return {
            "domain": job.zone,
            "name": job.name,
            "dry_run": job.args.dry_run,
            "changes": [vars(c) for c in self.changes],
            "unchanged": self.unchanged,
            "left_alone": self.left_alone,
            "failures": [vars(f) for f in self.failures],
            "notified": self.notified,
        }


class Job:
    def __init__(self, context: Context) -> None:
        self.context = context
        self.args = context.args
        self.zone = self.args.domain.rstrip(".")
        self.name = resolve_name(self.args.domain, self.args.name)
        self.sources = {
            family: given if given is not None else parse_sources(DEFAULT_SOURCES[family], family)
            for family, given in ((4, self.args.ipv4), (6, self.args.ipv6))
        }
        self.state_path = self._state_path()
        self.state: DdnsState | None = None

    def _state_path(self) -> Path:
        if self.args.state_file:
            return Path(self.args.state_file)
        base = os.environ.get("STATE_DIRECTORY", "").split(":")[0] or os.path.join(
            os.environ.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state"), "nuv"
        )
        safe_name = re.sub(r"[^A-Za-z0-9._-]", "_", self.name.lower())
        return Path(base) / f"ddns-{safe_name}.json"

    def check_configuration(self) -> None:
        """Everything a round needs that can be wrong before it starts."""
        if not any(self.sources.values()):
            raise UsageError("both --ipv4 and --ipv6 are none: nothing to do")
        self.context.cloudflare()
        if self.args.notify:
            self.context.robot()

    def lookup_settings(self) -> dict[str, Any]:
        settings: dict[str, Any] = {
            "timeout": self.context.option("timeout") or DEFAULT_LOOKUP_TIMEOUT,
            "proxy": self.context.proxy(),
            "allow_private": self.args.allow_private,
        }
        if self.context.option("retries") is not None:
            settings["retries"] = self.context.option("retries")
        return settings

    def round(self) -> Round:
        # "round": failures of a whole round are over once one gets through.
        result = Round(checked_types=["round"])
        found: dict[int, Found] = {}
        settings = self.lookup_settings()
        # Every address is known (or its family failed) before anything is written.
        for family, sources in self.sources.items():
            if not sources:
                continue
            rtype = RECORD_TYPES[family]
            result.checked_types.append(rtype)
            answer = find_address(sources, family, settings)
            if answer.address is None and answer.failures:
                result.failures.append(self._lookup_failure(rtype, family, answer))
            else:
                found[family] = answer
        for family, answer in found.items():
            rtype = RECORD_TYPES[family]
            try:
                if answer.address is None:
                    self._no_address(result, rtype, family)
                else:
                    assert answer.source is not None
                    # A given address needs no "from".
                    shown = answer.source.shown if answer.source.kind != "static" else None
                    self._ensure(result, rtype, answer.address, shown)
            except SERVICE_ERRORS as failed:
                message, hint = describe(failed, self.context)
                result.failures.append(FamilyFailure(rtype, f"{rtype} {type(failed).__name__}", message, hint))
        return result

    def _lookup_failure(self, rtype: str, family: int, answer: Found) -> FamilyFailure:
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
        return FamilyFailure(rtype, f"{rtype} address {'/'.join(kinds)}", message, hint)

    def _listed(self, rtype: str) -> list[dict[str, Any]]:
        """The records of exactly this name and type (the listing's filter is
        not trusted to have applied)."""
        cf = self.context.cloudflare()
        answer = cf.dns_get_records(self.zone, rtype, self.name, **self.context.zone_keywords(self.zone))
        answer.raise_for_status()
        wanted = self.name.rstrip(".").lower()
        return [
            r
            for r in answer.result or []
            if isinstance(r, dict)
            and str(r.get("type", "")).upper() == rtype
            and str(r.get("name", "")).rstrip(".").lower() == wanted
        ]

    def _ensure(self, result: Round, rtype: str, address: str, source: str | None) -> None:
        cf = self.context.cloudflare()
        args = self.args
        arguments = (self.zone, rtype, self.name, address, args.proxied, args.ttl)
        keywords = self.context.zone_keywords(self.zone)
        changing = bool(cf.dns_plan(*arguments, **keywords))
        old = [str(r.get("content")) for r in self._listed(rtype)] if changing else []
        if changing and not args.dry_run:
            cf.dns_ensured_record(*arguments, **keywords).raise_for_status()
        if changing:
            result.changes.append(Change(rtype, self.name, old, address, source))
        else:
            result.unchanged.append({"type": rtype, "content": address, "source": source or ""})

    def _no_address(self, result: Round, rtype: str, family: int) -> None:
        if not self.args.delete_missing:
            reason = f"no {FAMILY_NAMES[family]} address from its sources; record left alone"
            result.left_alone.append({"type": rtype, "reason": reason})
            return
        listed = self._listed(rtype)
        if not listed:
            result.left_alone.append({"type": rtype, "reason": f"no {FAMILY_NAMES[family]} address and no record"})
            return
        cf = self.context.cloudflare()
        keywords = self.context.zone_keywords(self.zone)
        if not self.args.dry_run:
            for record in listed:
                cf.dns_delete_record(str(record.get("id")), **keywords).raise_for_status()
        result.changes.append(Change(rtype, self.name, [str(r.get("content")) for r in listed], None))

    # ----- output and notification -----------------------------------------

    def show(self, result: Round) -> None:
        out = self.context.out
        verb = " (would change)" if self.args.dry_run else ""
        for change in result.changes:
            out.report(change.line() + verb)
        for same in result.unchanged:
            source = f", from {same['source']}" if same["source"] else ""
            out.say(f"{same['type']} {self.name}: {same['content']} (unchanged{source})")
        for alone in result.left_alone:
            out.say(f"{alone['type']} {self.name}: {alone['reason']}")
        for line in _failure_lines(result.failures):
            sys.stderr.write(f"nuv: {self.name} {line}\n")
        sys.stderr.flush()
        out.document(result.document(self))

    def notify(self, result: Round, critical: Any) -> None:
        """Posts the round's message (and any held back before it), and
        remembers what was reported. Messages that cannot be posted are kept
        for the next run."""
        state = self.state
        if state is None or self.args.dry_run:
            return
        failing = {f.kind for f in result.failures}
        fresh = [f for f in result.failures if f.kind not in state.notified]
        # A family that got through this round without that failure has recovered from it.
        recovered = {
            kind: entry
            for kind, entry in state.notified.items()
            if kind.split(" ", 1)[0] in result.checked_types and kind not in failing
        }
        message = round_message(
            self.name,
            [c.message_line() for c in result.changes],
            [f"{f.type}: {inert(f.error)}" + (f" ({inert(f.hint)})" if f.hint else "") for f in fresh],
            [
                f"{kind.split(' ', 1)[0]}: {inert(entry['error'])}"
                + (f" (failing since {inert(entry['since'])})" if entry.get("since") else "")
                for kind, entry in recovered.items()
            ],
        )
        held = len(state.pending)
        with critical():
            for kind in recovered:
                del state.notified[kind]
            since = now_text()
            state.notified.update({f.kind: {"error": f.error, "since": since} for f in fresh})
            if message is not None:
                state.pending.append({"when": since, "title": message[0], "text": message[1]})
            state.save()
        result.recovered = [kind.split(" ", 1)[0] for kind in recovered]
        if state.pending:
            self._post_pending(result, held, critical)

    def _post_pending(self, result: Round, held: int, critical: Any) -> None:
        """Posts the messages held back by earlier rounds (the first ``held``,
        as one message marked with their times), then this round's."""
        state = self.state
        assert state is not None
        robot = self.context.robot()
        batches = [state.pending[:held], state.pending[held:]]
        for batch, marked in zip(batches, (True, False), strict=True):
            if not batch:
                continue
            title, text = held_message(self.name, batch) if marked else (batch[0]["title"], batch[0]["text"])
            try:
                send_markdown(robot, title, text)
            except SERVICE_ERRORS as failed:
                error, hint = describe(failed, self.context)
                result.failures.append(
                    FamilyFailure("DingTalk", "DingTalk", f"message not posted, kept for the next run: {error}", hint)
                )
                return
            result.notified += 1
            with critical():
                del state.pending[: len(batch)]
                state.save()


def _failure_lines(failures: list[FamilyFailure]) -> list[str]:
    """One line per distinct failure: the same error of both families is said once."""
    grouped: dict[tuple[str, str | None], list[str]] = {}
    for failure in failures:
        grouped.setdefault((failure.error, failure.hint), []).append(failure.type)
    return [f"{', '.join(types)}: {error}" + (f" -- {hint}" if hint else "") for (error, hint), types in grouped.items()]


# ----- signals -----------------------------------------------------------------


class Stopped(BaseException):
    """SIGTERM or SIGINT arrived: the run ends where it is."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class SignalStop:
    """The first SIGTERM/SIGINT raises ``Stopped`` where the run is (inside a
    request too: the library abandons it), except inside ``critical()``
    sections, which finish first; a second one ends the process at once."""

    def __init__(self) -> None:
        self.signum = 0
        self._deferring = False
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> SignalStop:
        for signum in (signal.SIGTERM, signal.SIGINT):
            self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def _handle(self, signum: int, _frame: Any) -> None:
        if self.signum:
            os._exit(128 + signum)
        self.signum = signum
        if not self._deferring:
            raise Stopped(signum)

    @contextmanager
    def critical(self) -> Iterator[None]:
        self._deferring = True
        try:
            yield
        finally:
            self._deferring = False
        if self.signum:
            raise Stopped(self.signum)

    def wait(self, seconds: float) -> None:
        threading.Event().wait(seconds)


# ----- the command -------------------------------------------------------------


def run(context: Context) -> int:
    job = Job(context)
    job.check_configuration()
    args = context.args
    with SignalStop() as stop:
        lock = RunLock(job.state_path.with_name(job.state_path.name + ".lock"))
        try:
            if not lock.acquire(args.lock_timeout):
                raise Failure(
                    f"another nuv ddns run for {job.name} still holds {lock.path} after {args.lock_timeout:g} s; "
                    "this run gives up (--lock-timeout waits longer)"
                )
            # Read under the lock: the run before this one may have just saved it.
            job.state = DdnsState.load(job.state_path) if args.notify else None
            return _rounds(job, stop)
        except Stopped as stopped:
            name = signal.Signals(stopped.signum).name
            if args.every is not None:
                context.out.say("stopped")
                return EXIT_OK
            sys.stderr.write(f"nuv: stopped by {name}; the round was abandoned, nothing half-done\n")
            return 128 + stopped.signum
        finally:
            lock.release()


def _rounds(job: Job, stop: SignalStop) -> int:
    interval = job.args.every
    rounds = 0
    while True:
        status = _one_round(job, stop)
        rounds += 1
        if interval is None or (job.args.rounds and rounds >= job.args.rounds):
            return status
        stop.wait(interval * random.uniform(1 - JITTER, 1 + JITTER))


def _one_round(job: Job, stop: SignalStop) -> int:
    try:
        result = job.round()
    except ROUND_ERRORS as failed:
        message, hint = describe(failed, job.context)
        result = Round(failures=[FamilyFailure("round", f"round {type(failed).__name__}", message, hint)])
    job.notify(result, stop.critical)
    job.show(result)
    return EXIT_FAILED if result.failures else EXIT_OK
