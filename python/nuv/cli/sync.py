"""``nuv sync FILE...``: zones kept as files (octoDNS YAML or BIND) brought
into the service. Shows the library's plan for each zone, as text, JSON or
a pull request's markdown; ``--apply`` carries it out, in a handful of
batches. What to write, what is ours and what is too much to write are the
library's decisions (``dns_sync_plan``, ``dns_sync``); the command reads the
files and prints."""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import nuv

from .._bindzone import ZoneFileError, read_zone
from ._context import EXIT_FAILED, EXIT_OK, EXIT_PENDING, Context, UsageError, cloudflare_options

_YAML_SUFFIXES = (".yaml", ".yml")
# What a BIND file's name may carry around the zone's name (db.example.com, example.com.zone).
_BIND_NAME = re.compile(r"^(?:db\.)?(.+?)(?:\.(?:zone|txt|db|bind|hosts))?$", re.IGNORECASE)
# The optional fields of a wanted record; left out means "keep what the record has".
_OPTIONAL_FIELDS = ("ttl", "proxied", "priority", "comment", "tags", "data")
ACTIONS = ("create", "update", "delete")


@dataclass
class ZoneFile:
    path: str
    zone: str
    format: str
    records: list[dict[str, Any]]


@dataclass
class ZonePlan:
    file: ZoneFile
    writes: list[dict[str, Any]] = field(default_factory=list)
    applied: bool = False
    requests: int | None = None
    batches: int | None = None
    refused: dict[str, Any] | None = None

    def counts(self) -> dict[str, int]:
        return {action: sum(1 for w in self.writes if w.get("action") == action) for action in ACTIONS}


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "sync",
        parents=[common, cloudflare_options()],
        help="bring whole zones into the state their files describe",
        description="Plan what brings each zone into the state its file describes (octoDNS YAML, "
        "example.com.yaml, or a BIND zone file) and, with --apply, carry it out in a handful of "
        "batches. A plan that updates or deletes more than 30% of a zone's records (of 10 or more) "
        "is refused unless --force.",
    )
    parser.add_argument("files", metavar="FILE", nargs="+", help="a zone file: octoDNS YAML (.yaml/.yml) or BIND")
    parser.add_argument("--apply", action="store_true", help="carry the plan out (default: show it only)")
    parser.add_argument(
        "--format",
        choices=("text", "json", "markdown"),
        help="text (default), one JSON document (as --json), or markdown for a pull request",
    )
    parser.add_argument(
        "--expect-no-changes", action="store_true", help="exit with status 3 when any zone's plan is not empty"
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="carry out a plan that updates or deletes more than 30%% of the records in scope",
    )
    parser.add_argument(
        "--owner",
        metavar="TEXT",
        help="only records marked as TEXT's (in their comment) are changed or deleted; created ones get the mark",
    )
    parser.set_defaults(run=run)


# ----- the files ------------------------------------------------------------------


def _read_text(path: str) -> str:
    try:
        return Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as failure:
        why = failure.strerror if isinstance(failure, OSError) and failure.strerror else "not UTF-8 text"
        raise UsageError(f"cannot read {path}: {why}") from None


def is_yaml(path: str, text: str) -> bool:
    """By the extension, else by a YAML document's start (no zone file starts so)."""
    return Path(path).suffix.lower() in _YAML_SUFFIXES or text.lstrip().startswith("---")


def load_zone_file(path: str) -> ZoneFile:
    """The zone a file describes; raises UsageError naming the file and what is wrong."""
    text = _read_text(path)
    name = Path(path).name
    try:
        if is_yaml(path, text):
            read_octodns = octodns_module().read_octodns

            zone = name[: -len(Path(name).suffix)] if Path(name).suffix.lower() in _YAML_SUFFIXES else name
            zone = zone.rstrip(".").lower()
            if "." not in zone:
                raise UsageError(f"{path}: an octoDNS zone file is named after its zone (example.com.yaml)")
            return ZoneFile(path, zone, "yaml", read_octodns(text, zone, path))
        match = _BIND_NAME.match(name)
        guess = match.group(1) if match and "." in match.group(1) else None
        parsed = read_zone(text, guess)
        return ZoneFile(path, parsed.zone, "bind", parsed.records)
    except ZoneFileError as failure:
        message = str(failure)
        raise UsageError(message if message.startswith(path) else f"{path}: {message}") from None


def octodns_module() -> Any:
    """The YAML reader and writer, which need PyYAML (the zones extra)."""
    try:
        from . import _octodns
    except ImportError as missing:
        raise UsageError(f"octoDNS YAML files need PyYAML ({missing}): pip install 'nuv[zones]'") from None
    return _octodns


def wanted_record(record: dict[str, Any]) -> dict[str, Any]:
    """A file's record as the library's wanted record (a full name, so that
    no name is taken as relative twice)."""
    wanted = {"type": record["type"], "name": str(record["name"]).rstrip(".") + ".", "content": record["content"]}
    for key in _OPTIONAL_FIELDS:
        if key in record:
            wanted[key] = record[key]
    return wanted


# ----- planning and applying --------------------------------------------------------


def _refusal(error: BaseException) -> dict[str, Any]:
    return {
        "message": str(error),
        "updates": getattr(error, "updates", None),
        "deletes": getattr(error, "deletes", None),
        "existing": getattr(error, "existing", None),
        "threshold": getattr(error, "threshold", None),
    }


def _sync_zone(context: Context, zone_file: ZoneFile) -> ZonePlan:
    args = context.args
    cf = context.cloudflare()
    wanted = [wanted_record(r) for r in zone_file.records]
    keywords: dict[str, Any] = {"force": args.force}
    if args.owner:
        keywords["owner"] = args.owner
    if context.option("zone_id"):
        # With the domain too, the library checks that the zone is the file's.
        keywords["zone_id"] = context.option("zone_id")
    domain = zone_file.zone
    plan = ZonePlan(zone_file)
    try:
        if args.apply:
            result = cf.dns_sync(wanted, domain, **keywords)
            plan.writes, plan.applied = list(result["writes"]), True
            plan.requests, plan.batches = result.get("requests"), result.get("batches")
        else:
            plan.writes = list(cf.dns_sync_plan(wanted, domain, **keywords))
    except nuv.UnsafeSyncError as refused:
        # Shown in full all the same, so that a reviewer sees what was refused.
        plan.refused = _refusal(refused)
        plan.writes = list(cf.dns_sync_plan(wanted, domain, **{**keywords, "force": True}))
    return plan


def run(context: Context) -> int:
    args = context.args
    style = args.format or ("json" if context.option("json") else "text")
    if style == "json":
        context.out.json_mode = True
    files = [load_zone_file(path) for path in args.files]
    zones = [f.zone for f in files]
    if len(set(zones)) != len(zones):
        raise UsageError(
            f"two files describe the same zone: {', '.join(sorted(z for z in zones if zones.count(z) > 1))}"
        )
    if context.option("zone_id") and len(files) > 1:
        raise UsageError("--zone-id names one zone: give one FILE with it")
    from ._plan_report import markdown_report, refusal_text, text_report

    plans = []
    for zone_file in files:
        context.out.progress(f"{zone_file.zone}: {'applying' if args.apply else 'planning'}")
        plans.append(_sync_zone(context, zone_file))
        context.out.end_progress()
        # Text goes out zone by zone: what was applied is told even if a later zone fails.
        if style == "text":
            for line, is_change in text_report(plans[-1:]):
                (context.out.report if is_change else context.out.say)(line)
        if plans[-1].refused:
            sys.stderr.write(
                f"nuv: {zone_file.zone}: refused: {refusal_text(plans[-1].refused)} -- --force carries it out\n"
            )
    changes = sum(len(p.writes) for p in plans)
    if style == "markdown":
        context.out.report(markdown_report(plans))
    elif changes and not args.apply:
        context.out.say("plan only: nothing written (--apply carries it out)")
    context.out.document(
        {
            "zones": [
                {
                    "zone": p.file.zone,
                    "file": p.file.path,
                    "format": p.file.format,
                    "plan": p.writes,
                    "counts": p.counts(),
                    "applied": p.applied,
                    "requests": p.requests,
                    "batches": p.batches,
                    "refused": p.refused,
                }
                for p in plans
            ],
            "changes": changes,
            "applied": any(p.applied for p in plans),
        }
    )
    if any(p.refused for p in plans):
        return EXIT_FAILED
    return EXIT_PENDING if changes and args.expect_no_changes else EXIT_OK
