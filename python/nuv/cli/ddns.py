"""``nuv ddns DOMAIN NAME``: keep a host's A and AAAA records pointing at this
machine's addresses, and tell the team when they change.

One round per run (cron, systemd timers) or, with ``--every``, a loop with
jitter that SIGTERM and SIGINT end between rounds. A source that cannot be
read fails its family: its record is left as it is, even with
``--delete-missing``, which only acts when a source was read and gave no
address.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import signal
import sys
import threading
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import Any

from ._context import (
    EXIT_FAILED,
    EXIT_OK,
    SERVICE_ERRORS,
    Context,
    UsageError,
    cloudflare_options,
    describe,
    dingtalk_options,
)
from .addresses import (
    DEFAULT_SOURCES,
    FAMILY_NAMES,
    AddressSource,
    LookupFailed,
    parse_source,
)
from .ding import send_markdown

RECORD_TYPES = {4: "A", 6: "AAAA"}
JITTER = 0.1  # each wait is the interval give or take 10 %, so many hosts do not call in step
DEFAULT_LOOKUP_TIMEOUT = 10.0


def _source(family: int, text: str) -> AddressSource | None:
    try:
        return parse_source(text, family)
    except ValueError as bad:
        raise argparse.ArgumentTypeError(str(bad)) from None


def parse_duration(text: str) -> float:
    """ "90", "90s", "5m", "1h", "1.5m" -> seconds."""
    match = re.fullmatch(r"(\d+(?:\.\d+)?)(ms|s|m|h)?", text.strip())
    if not match:
        raise argparse.ArgumentTypeError(f"not a duration: {text!r} (use 30s, 5m, 1h)")
    seconds = float(match[1]) * {"ms": 0.001, "s": 1, "m": 60, "h": 3600, None: 1}[match[2]]
    if seconds <= 0:
        raise argparse.ArgumentTypeError(f"the interval must be more than 0: {text!r}")
    return seconds


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "ddns",
        parents=[common, cloudflare_options(), dingtalk_options(with_connection=False)],
        help="keep a host's A and AAAA records at this machine's addresses",
        description="Keep a host's A and AAAA records pointing at this machine's addresses, and tell the "
        "team when they change: one round, or a loop with --every. SOURCE is url:URL (a page answering the "
        "address as plain text or in an ip= line, such as /cdn-cgi/trace), iface:NAME (the interface's first "
        "global address), static:ADDRESS, or none (leave that family alone).",
    )
    parser.add_argument("domain", metavar="DOMAIN", help="the zone (example.com)")
    parser.add_argument("name", metavar="NAME", help="the host's full name (home.example.com)")
    parser.add_argument(
        "--ipv4",
        metavar="SOURCE",
        type=partial(_source, 4),
        default=_source(4, DEFAULT_SOURCES[4]),
        help=f"where the IPv4 address comes from (default {DEFAULT_SOURCES[4]})",
    )
    parser.add_argument(
        "--ipv6",
        metavar="SOURCE",
        type=partial(_source, 6),
        default=_source(6, DEFAULT_SOURCES[6]),
        help=f"where the IPv6 address comes from (default {DEFAULT_SOURCES[6]})",
    )
    parser.add_argument("--proxied", action="store_true", help="proxy the records through Cloudflare")
    parser.add_argument("--ttl", type=int, default=1, metavar="N", help="TTL in seconds, 1 for automatic (default)")
    parser.add_argument(
        "--delete-missing", action="store_true", help="remove the record of a family whose source gave no address"
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
        help="post a DingTalk markdown message on every change, and once per kind of failure",
    )
    parser.add_argument(
        "--state-file",
        metavar="PATH",
        help="where --notify remembers the failures it reported (default: "
        "$STATE_DIRECTORY, $XDG_STATE_HOME/nuv or ~/.local/state/nuv)",
    )
    parser.add_argument("--dry-run", action="store_true", help="show what would change, write nothing")
    # Tests end the loop after this many rounds.
    parser.add_argument("--rounds", type=int, default=0, help=argparse.SUPPRESS)
    parser.set_defaults(run=run)


# ----- one round --------------------------------------------------------------


@dataclass
class Change:
    type: str
    name: str
    old: list[str]
    new: str | None  # None: removed

    def line(self) -> str:
        old = ", ".join(self.old) or "(none)"
        return f"{self.type} {self.name}: {old} -> {self.new or '(removed)'}"


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
    notified: int = 0

    def document(self, context: Context) -> dict[str, Any]:
        args = context.args
        return {
            "domain": args.domain,
            "name": args.name,
            "dry_run": args.dry_run,
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
        self.sources = [(family, source) for family, source in ((4, self.args.ipv4), (6, self.args.ipv6)) if source]
        self.state = NotificationState(self._state_path()) if self.args.notify else None

    def _state_path(self) -> Path:
        if self.args.state_file:
            return Path(self.args.state_file)
        base = os.environ.get("STATE_DIRECTORY", "").split(":")[0] or os.path.join(
            os.environ.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state"), "nuv"
        )
        safe_name = re.sub(r"[^A-Za-z0-9._-]", "_", self.args.name)
        return Path(base) / f"ddns-{safe_name}.json"

    def check_configuration(self) -> None:
        """Everything a round needs that can be wrong before it starts."""
        if not self.sources:
            raise UsageError("both --ipv4 and --ipv6 are none: nothing to do")
        self.context.cloudflare()
        if self.args.notify:
            self.context.robot()

    def round(self) -> Round:
        result = Round()
        for family, source in self.sources:
            rtype = RECORD_TYPES[family]
            result.checked_types.append(rtype)
            try:
                address = source.lookup(
                    self.context.option("timeout") or DEFAULT_LOOKUP_TIMEOUT, self.context.option("proxy")
                )
            except LookupFailed as failed:
                result.failures.append(FamilyFailure(rtype, f"{rtype} address from {source}", str(failed)))
                continue
            try:
                if address is None:
                    self._no_address(result, rtype, family, source)
                else:
                    self._ensure(result, rtype, address)
            except SERVICE_ERRORS as failed:
                message, hint = describe(failed)
                result.failures.append(FamilyFailure(rtype, f"{rtype} {type(failed).__name__}", message, hint))
        return result

    def _listed_contents(self, rtype: str) -> list[dict[str, Any]]:
        cf = self.context.cloudflare()
        domain, name = self.args.domain, self.args.name
        answer = cf.dns_get_records(domain, rtype, name, **self.context.zone_keywords(domain)).raise_for_status()
        return [r for r in answer.result or [] if isinstance(r, dict)]

    def _ensure(self, result: Round, rtype: str, address: str) -> None:
        cf = self.context.cloudflare()
        args = self.args
        arguments = (args.domain, rtype, args.name, address, args.proxied, args.ttl)
        keywords = self.context.zone_keywords(args.domain)
        changing = bool(cf.dns_plan(*arguments, **keywords))
        old = [str(r.get("content")) for r in self._listed_contents(rtype)] if changing else []
        if changing and not args.dry_run:
            cf.dns_ensured_record(*arguments, **keywords).raise_for_status()
        if changing:
            result.changes.append(Change(rtype, args.name, old, address))
        else:
            result.unchanged.append({"type": rtype, "content": address})

    def _no_address(self, result: Round, rtype: str, family: int, source: AddressSource) -> None:
        if not self.args.delete_missing:
            reason = f"no {FAMILY_NAMES[family]} address at {source}; record left alone"
            result.left_alone.append({"type": rtype, "reason": reason})
            return
        listed = self._listed_contents(rtype)
        if not listed:
            result.left_alone.append({"type": rtype, "reason": f"no {FAMILY_NAMES[family]} address and no record"})
            return
        cf = self.context.cloudflare()
        keywords = self.context.zone_keywords(self.args.domain)
        if not self.args.dry_run:
            for record in listed:
                cf.dns_delete_record(str(record.get("id")), **keywords).raise_for_status()
        result.changes.append(Change(rtype, self.args.name, [str(r.get("content")) for r in listed], None))

    # ----- output and notification -----------------------------------------

    def show(self, result: Round) -> None:
        out = self.context.out
        verb = "would change" if self.args.dry_run else None
        for change in result.changes:
            out.report(change.line() + (f" ({verb})" if verb else ""))
        for same in result.unchanged:
            out.say(f"{same['type']} {self.args.name}: {same['content']} (unchanged)")
        for alone in result.left_alone:
            out.say(f"{alone['type']} {self.args.name}: {alone['reason']}")
        for failure in result.failures:
            sys.stderr.write(f"nuv: {self.args.name} {failure.line()}\n")
        sys.stderr.flush()
        out.document(result.document(self.context))

    def notify(self, result: Round) -> None:
        if self.state is None or self.args.dry_run:
            return
        robot = self.context.robot()
        name = self.args.name
        # Failures of the records' families, not of the notifications themselves.
        failing = {f.kind for f in result.failures}
        fresh = [f for f in result.failures if f.kind not in self.state.notified]
        if result.changes:
            lines = "\n".join(
                f"- {c.type}: {', '.join(c.old) or '(none)'} → {c.new or '(removed)'}" for c in result.changes
            )
            self._send(result, robot, f"{name} changed", f"#### {name}: DNS changed\n\n{lines}\n")
        if fresh:
            lines = "\n".join(f"- {f.line()}" for f in fresh)
            if self._send(result, robot, f"{name} failed", f"#### {name}: DNS update failed\n\n{lines}\n"):
                self.state.notified.update({f.kind: f.error for f in fresh})
        # A family that got through this round without that failure has recovered from it.
        for kind in list(self.state.notified):
            if kind.split(" ", 1)[0] in result.checked_types and kind not in failing:
                del self.state.notified[kind]
        self.state.save()

    def _send(self, result: Round, robot: Any, title: str, text: str) -> bool:
        try:
            send_markdown(robot, title, text)
        except SERVICE_ERRORS as failed:
            message, hint = describe(failed)
            result.failures.append(FamilyFailure("DingTalk", "DingTalk", f"notification not sent: {message}", hint))
            return False
        result.notified += 1
        return True


class NotificationState:
    """The failures already reported, kept across runs so that cron sends
    one message per kind of failure until it recovers."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.notified: dict[str, str] = {}
        try:
            saved = json.loads(path.read_text(encoding="utf-8"))
            self.notified = {str(k): str(v) for k, v in saved.get("notified", {}).items()}
        except (OSError, ValueError, AttributeError):
            pass
        self._saved = dict(self.notified)

    def save(self) -> None:
        if self.notified == self._saved:
            return
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            temporary = self.path.with_name(self.path.name + ".tmp")
            temporary.write_text(json.dumps({"notified": self.notified}), encoding="utf-8")
            temporary.replace(self.path)
            self._saved = dict(self.notified)
        except OSError as failed:
            sys.stderr.write(f"nuv: cannot keep the notification state in {self.path}: {failed.strerror}\n")


# ----- the command -------------------------------------------------------------


def run(context: Context) -> int:
    job = Job(context)
    job.check_configuration()
    interval = context.args.every
    if interval is None:
        return _one_round(job)
    stop = threading.Event()
    previous = {signum: signal.signal(signum, lambda *_: stop.set()) for signum in (signal.SIGTERM, signal.SIGINT)}
    try:
        rounds = 0
        while True:
            status = _one_round(job)
            rounds += 1
            if stop.is_set() or (context.args.rounds and rounds >= context.args.rounds):
                break
            if stop.wait(interval * random.uniform(1 - JITTER, 1 + JITTER)):
                break
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    if stop.is_set():
        context.out.say("stopped")
        return EXIT_OK
    return status


def _one_round(job: Job) -> int:
    result = job.round()
    job.notify(result)
    job.show(result)
    return EXIT_FAILED if result.failures else EXIT_OK
