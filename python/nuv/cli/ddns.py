"""``nuv ddns NAME [NAME...]``: keep hosts' A and AAAA records pointing at
this machine's addresses (or, with an IPv6 host id, a neighbour's under the
same prefix), and tell the team when they change.

One round per run (cron, systemd timers) or, with ``--every``, a loop with
jitter. Names come from the command line (full names, or today's ``DOMAIN
NAME`` form) or a TOML file (``--config``); runs that share a name take
turns (a lock per name beside the state file). Each round looks every
address up once, then writes each zone's changes in one batch after one
listing (``ddns_round``). SIGTERM or SIGINT ends a round within a second
(the request in flight is abandoned; the library puts back what it
removed); a second signal ends the process at once.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import re
import signal
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from functools import partial
from pathlib import Path
from typing import Any, Literal

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
from .addresses import DEFAULT_SOURCES, FAMILY_NAMES, parse_host_id, parse_sources
from .ddns_config import (
    check_comment,
    check_pattern,
    check_ping,
    check_prefix_length,
    check_ttl,
    command_line_settings,
    hosts_from_arguments,
    read_configuration,
    with_options,
)
from .ddns_messages import held_message, inert, round_message
from .ddns_round import RECORD_TYPES, FamilyFailure, Round, RoundRunner, label
from .ddns_state import DdnsState, RunLock, now_text, warn
from .ding import send_markdown

JITTER = 0.1  # each wait is the interval give or take 10 %, so many hosts do not call in step
DEFAULT_LOCK_TIMEOUT = 30.0
# What a round may fail with and still let an --every service go on.
ROUND_ERRORS = (*SERVICE_ERRORS, nuv.AddressLookupError, Failure)
# Removing the records on stop is bounded: each request, and the whole of it.
STOP_REQUEST_SECONDS = 5.0
STOP_SECONDS = 20.0
PING_TIMEOUT = 10.0


def _checked(check: Any, text: str) -> Any:
    try:
        return check(text)
    except ValueError as bad:
        raise argparse.ArgumentTypeError(str(bad)) from None


def _sources(family: int, text: str) -> Any:
    return _checked(partial(parse_sources, family=family), text)


def _whole(check: Any, text: str) -> int:
    try:
        value = int(text)
        checked: int = check(value)
    except ValueError as bad:
        message = f"not a whole number: {text!r}" if not text.strip().lstrip("-").isdigit() else str(bad)
        raise argparse.ArgumentTypeError(message) from None
    return checked


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
        help="keep hosts' A and AAAA records at this machine's addresses",
        description="Keep hosts' A and AAAA records pointing at this machine's addresses, and tell the "
        "team when they change: one round, or a loop with --every. Name the hosts fully qualified "
        "(home.example.com vpn.example.org: each in the longest of the token's zones that holds it), or "
        "give the zone first (example.com home vpn @), or list them in a TOML file (--config). SOURCES is a "
        "comma-separated list, tried in order until one answers a valid address, of url:URL (a page "
        "answering the address as plain text or in an ip= line, such as /cdn-cgi/trace), iface:NAME (the "
        "interface's first global, non-temporary address), static:ADDRESS; or none (leave that family "
        "alone). Only a global unicast address is published (see --allow-private). Attributes not given "
        "(--proxied, --ttl, --comment) are left as each record has them.",
    )
    parser.add_argument(
        "names",
        metavar="NAME",
        nargs="*",
        help="a host, fully qualified (home.example.com); or DOMAIN then names relative to it (home, "
        "@ for the zone itself) or under it",
    )
    parser.add_argument(
        "--config",
        metavar="PATH",
        help="a TOML file naming the hosts ([[host]] tables) and what each keeps (see README)",
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
        "--ipv6-host-id",
        metavar="ID",
        type=lambda text: str(_checked(partial(parse_host_id, prefix_length=1), text)),
        help="publish this host part under the IPv6 prefix the sources answer: ::10, or "
        "mac:aa:bb:cc:dd:ee:ff (its modified EUI-64), e.g. for a neighbour on this host's network",
    )
    parser.add_argument(
        "--ipv6-prefix-len",
        metavar="N",
        type=partial(_whole, check_prefix_length),
        help="how much of the detected IPv6 address is the prefix a host id goes under (default 64)",
    )
    parser.add_argument(
        "--allow-private",
        action="store_true",
        help="also publish private, shared (100.64/10) and documentation addresses, for a zone served only "
        "inside your network (never loopback, link-local, multicast and the like)",
    )
    parser.add_argument(
        "--proxied",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="proxy the records through Cloudflare, or not (default: as each record is; not for a new one)",
    )
    parser.add_argument(
        "--ttl",
        type=partial(_whole, check_ttl),
        metavar="N",
        help="TTL in seconds, 1 for automatic (default: as each record has it; automatic for a new one)",
    )
    parser.add_argument(
        "--comment",
        type=partial(_checked, check_comment),
        metavar="TEXT",
        help="the records' comment: set on those it creates and on those it keeps (default: as each has it)",
    )
    parser.add_argument(
        "--owned-only",
        metavar="REGEX",
        type=partial(_checked, check_pattern),
        help="act only on records whose comment matches REGEX (others are reported, never written or "
        "deleted); --comment must match it",
    )
    parser.add_argument(
        "--delete-missing",
        action="store_const",
        const=True,
        default=None,
        help="remove a name's records of a family whose sources were read and gave no address",
    )
    parser.add_argument(
        "--every",
        metavar="DURATION",
        type=parse_duration,
        help="keep running, a round every DURATION (30s, 5m, 1h) with jitter",
    )
    parser.add_argument(
        "--delete-on-stop",
        action="store_true",
        help="with --every: remove the records it keeps (only those --owned-only matches, if given) when "
        "stopped by SIGTERM or SIGINT",
    )
    parser.add_argument(
        "--ping",
        metavar="URL",
        type=partial(_checked, check_ping),
        help="report every round to a monitoring service: a healthchecks.io check URL (/start before a "
        "round, /fail with the error) or an Uptime Kuma push URL (status=up or down); a ping that fails is "
        "a warning",
    )
    parser.add_argument(
        "--notify",
        action="store_true",
        help="post a DingTalk markdown message on every change, once per kind of failure and when it is over",
    )
    parser.add_argument(
        "--state-file",
        metavar="PATH",
        help="where the zones, the failures reported and the messages not yet posted are kept, with the "
        "lock beside it (default: $STATE_DIRECTORY, $XDG_STATE_HOME/nuv or ~/.local/state/nuv)",
    )
    parser.add_argument(
        "--lock-timeout",
        metavar="SECONDS",
        type=_lock_seconds,
        default=DEFAULT_LOCK_TIMEOUT,
        help=f"how long to wait for another run of the same names to finish (default {DEFAULT_LOCK_TIMEOUT:g})",
    )
    parser.add_argument("--dry-run", action="store_true", help="show what would change, write nothing")
    # Tests end the loop after this many rounds.
    parser.add_argument("--rounds", type=int, default=0, help=argparse.SUPPRESS)
    parser.set_defaults(run=run)


# ----- the run ---------------------------------------------------------------------


def _safe(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", text.lower())


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()[:8]


class Job:
    """A run: its hosts, state, locks, rounds, output, messages and pings."""

    def __init__(self, context: Context) -> None:
        self.context = context
        self.args = args = context.args
        if args.config is not None:
            if args.names:
                raise UsageError("give the hosts on the command line or in --config, not both")
            self.hosts = with_options(read_configuration(args.config, command_line_settings(args)), args)
        else:
            self.hosts = hosts_from_arguments(args)
        self.names = [t.name for t in self.hosts.targets]
        self.label = label(self.names)
        self.folder = self._folder()
        self.state_path = self._state_path()
        self.state = DdnsState(self.state_path)
        self.runner: RoundRunner | None = None

    def _folder(self) -> Path:
        if self.args.state_file:
            return Path(self.args.state_file).parent
        return Path(
            os.environ.get("STATE_DIRECTORY", "").split(":")[0]
            or os.path.join(os.environ.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state"), "nuv")
        )

    def _name_state(self, name: str) -> Path:
        return self.folder / f"ddns-{_safe(name)}.json"

    def _state_path(self) -> Path:
        """One state per configuration: a file's, or the names' (one name
        keeps the file it always had)."""
        if self.args.state_file:
            return Path(self.args.state_file)
        if self.hosts.config is not None:
            config = self.hosts.config.resolve()
            return self.folder / f"ddns-config-{_safe(config.stem)}-{_digest(str(config))}.json"
        if len(self.names) == 1:
            return self._name_state(self.names[0])
        keys = sorted(n.lower() for n in self.names)
        return self.folder / f"ddns-{_safe(self.names[0])}-and-{len(keys) - 1}-more-{_digest(' '.join(keys))}.json"

    def lock_paths(self) -> list[Path]:
        """The state's lock, and each name's: runs that share a name take turns."""
        paths = {self.state_path.with_name(self.state_path.name + ".lock")}
        if not self.args.state_file:
            paths |= {p.with_name(p.name + ".lock") for p in map(self._name_state, self.names)}
        return sorted(paths)

    def check_configuration(self) -> None:
        """Everything a round needs that can be wrong before it starts."""
        args = self.args
        if not any(any(t.sources.values()) for t in self.hosts.targets):
            raise UsageError("both --ipv4 and --ipv6 are none: nothing to do")
        if self.hosts.owned_only:
            pattern = re.compile(self.hosts.owned_only)
            for target in self.hosts.targets:
                if target.comment is None or not pattern.search(target.comment):
                    raise UsageError(
                        f"--owned-only {self.hosts.owned_only!r} needs a --comment it matches (for {target.name}): "
                        "the records it creates must be its own"
                    )
        if args.delete_on_stop and args.every is None:
            raise UsageError("--delete-on-stop acts when an --every service is stopped: give --every")
        self.context.cloudflare()
        if args.notify:
            self.context.robot()

    def load_state(self) -> None:
        """The state (read under the locks: the run before may just have
        saved it), with what the names' own state files kept before they
        shared one."""
        self.state = DdnsState.load(self.state_path)
        if self.args.state_file or len(self.names) == 1 and self.hosts.config is None:
            return
        older = [p for p in map(self._name_state, self.names) if p != self.state_path and p.is_file()]
        for path in older:
            self.state.absorb(DdnsState.load(path))
        if older:
            self.state.save()
            for path in older:
                path.unlink(missing_ok=True)
        self.runner = None

    def round(self) -> Round:
        if self.runner is None:
            self.runner = RoundRunner(self.context, self.hosts, self.state)
        return self.runner.round()

    # ----- heartbeats --------------------------------------------------------

    def ping(self, event: Literal["start", "success", "fail"], message: str | None = None) -> None:
        """Reports to --ping; a ping that fails is a warning, never the round's failure."""
        if not self.hosts.ping or self.args.dry_run:
            return
        settings: dict[str, Any] = {
            "timeout": min(self.context.option("timeout") or PING_TIMEOUT, PING_TIMEOUT),
            "proxy": self.context.proxy(),
        }
        if self.context.option("retries") is not None:
            settings["retries"] = self.context.option("retries")
        try:
            nuv.ping(self.hosts.ping, event=event, message=message, **settings)
        except (nuv.PingError, ValueError) as failed:
            warn(f"heartbeat not sent: {describe(failed, self.context)[0]}")
        else:
            self.pings += 1

    pings = 0

    # ----- output and notification -----------------------------------------

    def show(self, result: Round) -> None:
        out = self.context.out
        verb = " (would change)" if self.args.dry_run else ""
        for change in result.changes:
            out.report(change.line() + verb)
        for same in result.unchanged:
            source = f", from {same['source']}" if same["source"] else ""
            out.say(f"{same['type']} {same['name']}: {same['content']} (unchanged{source})")
        for alone in result.left_alone:
            out.say(f"{alone['type']} {alone['name']}: {alone['reason']}")
        for line in _failure_lines(result.failures):
            sys.stderr.write(f"nuv: {line}\n")
        sys.stderr.flush()
        out.document(self.document(result))

    def document(self, result: Round) -> dict[str, Any]:
        """The round for machines: each name's old and new values, the
        sources that answered, the requests made."""
        names: dict[str, dict[str, Any]] = {n.lower(): {"name": n, "records": {}} for n in self.names}

        def note(name: str, rtype: str, **values: Any) -> None:
            entry = names.setdefault(name.lower(), {"name": name, "records": {}})
            entry["records"][rtype] = values

        for change in result.changes:
            note(change.name, change.type, state="changed", old=change.old, new=change.new, source=change.source,
                 attributes=change.attributes)  # fmt: skip
        for same in result.unchanged:
            note(same["name"], same["type"], state="unchanged", old=[same["content"]], new=same["content"],
                 source=same["source"] or None)  # fmt: skip
        for alone in result.left_alone:
            note(alone["name"], alone["type"], state="left alone", reason=alone["reason"])
        for failure in result.failures:
            for name in failure.names:
                for rtype in failure.type.split(", "):
                    if rtype in RECORD_TYPES.values():
                        note(name, rtype, state="failed", error=failure.error)
        zones = {t.zone for t in self.hosts.targets}
        return {
            "domain": next(iter(zones)) if len(zones) == 1 else None,
            "name": self.names[0] if len(self.names) == 1 else None,
            "names": list(names.values()),
            "dry_run": self.args.dry_run,
            "changes": [vars(c) for c in result.changes],
            "unchanged": result.unchanged,
            "left_alone": result.left_alone,
            "failures": [vars(f) for f in result.failures],
            "sources": result.sources,
            "requests": result.requests,
            "notified": result.notified,
        }

    def notify(self, result: Round, critical: Any) -> None:
        """Posts the round's message (and any held back before it), and
        remembers what was reported. Messages that cannot be posted are kept
        for the next run."""
        state = self.state
        if not self.args.notify or self.args.dry_run:
            return
        failing = {f.kind for f in result.failures}
        fresh = [f for f in result.failures if f.kind not in state.notified]
        # What a round checked without that failure has recovered from it.
        recovered = {
            kind: entry
            for kind, entry in state.notified.items()
            if kind.split(" ", 1)[0] in result.checked_types and kind not in failing
        }
        several = len(self.names) > 1
        message = round_message(
            self.label,
            [c.message_line(several) for c in result.changes],
            [self._failure_message_line(f, several) for f in fresh],
            [
                f"{inert(entry.get('subject') or kind.split(' ', 1)[0])}: {inert(entry['error'])}"
                + (f" (failing since {inert(entry['since'])})" if entry.get("since") else "")
                for kind, entry in recovered.items()
            ],
        )
        held = len(state.pending)
        with critical():
            for kind in recovered:
                del state.notified[kind]
            since = now_text()
            state.notified.update(
                {f.kind: {"error": f.error, "since": since, "subject": self._subject(f, several)} for f in fresh}
            )
            if message is not None:
                state.pending.append({"when": since, "title": message[0], "text": message[1]})
            state.save()
        result.recovered = [kind.split(" ", 1)[0] for kind in recovered]
        if state.pending:
            self._post_pending(result, held, critical)

    def _subject(self, failure: FamilyFailure, several: bool) -> str:
        return f"{label(failure.names)} {failure.type}" if several and failure.names else failure.type

    def _failure_message_line(self, failure: FamilyFailure, several: bool) -> str:
        hint = f" ({inert(failure.hint)})" if failure.hint else ""
        return f"{inert(self._subject(failure, several))}: {inert(failure.error)}{hint}"

    def _post_pending(self, result: Round, held: int, critical: Any) -> None:
        """Posts the messages held back by earlier rounds (the first ``held``,
        as one message marked with their times), then this round's."""
        state = self.state
        robot = self.context.robot()
        batches = [state.pending[:held], state.pending[held:]]
        for batch, marked in zip(batches, (True, False), strict=True):
            if not batch:
                continue
            title, text = held_message(self.label, batch) if marked else (batch[0]["title"], batch[0]["text"])
            result.requests["messages"] += 1
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

    # ----- records removed on stop ------------------------------------------

    def remove_on_stop(self, stop: SignalStop) -> int:
        """Removes the records this service keeps (its owned ones with
        --owned-only), each request and the whole bounded in time; a second
        signal ends the process at once."""
        cf = self.context.cloudflare()
        cf.timeout = min(cf.timeout, STOP_REQUEST_SECONDS)
        cf.connect_timeout = min(cf.connect_timeout, STOP_REQUEST_SECONDS)
        cf.retries = min(cf.retries, 1)
        if self.args.notify:
            robot = self.context.robot()
            robot.timeout = min(robot.timeout, STOP_REQUEST_SECONDS)
            robot.retries = min(robot.retries, 1)
        if self.runner is None:
            self.runner = RoundRunner(self.context, self.hosts, self.state)
        result = self.runner.remove_all(time.monotonic() + STOP_SECONDS)
        self.notify(result, stop.critical)
        self.show(result)
        return EXIT_FAILED if result.failures else EXIT_OK


def _failure_lines(failures: list[FamilyFailure]) -> list[str]:
    """One line per distinct failure: the same error of both families is said once."""
    grouped: dict[tuple[str, str | None, str], list[str]] = {}
    for failure in failures:
        key = (failure.error, failure.hint, label(failure.names))
        grouped.setdefault(key, []).extend(t for t in failure.type.split(", ") if t not in grouped.get(key, []))
    return [
        f"{who + ' ' if who else ''}{', '.join(types)}: {error}" + (f" -- {hint}" if hint else "")
        for (error, hint, who), types in grouped.items()
    ]


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
        locks = [RunLock(path) for path in job.lock_paths()]
        deadline = time.monotonic() + args.lock_timeout
        try:
            for lock in locks:
                if not lock.acquire(max(0.0, deadline - time.monotonic())):
                    raise Failure(
                        f"another nuv ddns run for {job.label} still holds {lock.path} after "
                        f"{args.lock_timeout:g} s; this run gives up (--lock-timeout waits longer)"
                    )
            job.load_state()
            return _rounds(job, stop)
        except Stopped as stopped:
            name = signal.Signals(stopped.signum).name
            if args.every is not None:
                status = job.remove_on_stop(stop) if args.delete_on_stop else EXIT_OK
                context.out.say("stopped")
                return status
            sys.stderr.write(f"nuv: stopped by {name}; the round was abandoned, nothing half-done\n")
            return 128 + stopped.signum
        finally:
            for lock in reversed(locks):
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
    job.pings = 0
    job.ping("start")
    try:
        result = job.round()
    except ROUND_ERRORS as failed:
        message, hint = describe(failed, job.context)
        result = Round(
            failures=[FamilyFailure("round", f"round {type(failed).__name__}", message, hint, job.names)],
            checked_types=["round"],
        )
    job.notify(result, stop.critical)
    if result.failures:
        job.ping("fail", "; ".join(_failure_lines(result.failures)))
    else:
        job.ping("success")
    result.requests["pings"] = job.pings
    with stop.critical():
        job.state.save()
    job.show(result)
    return EXIT_FAILED if result.failures else EXIT_OK
