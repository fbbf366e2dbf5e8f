"""``nuv dns list|ensure|delete``: a zone's records, and one record brought
into a wanted state (the library's plan, shown before it is carried out)."""

from __future__ import annotations

import argparse
from typing import Any

from ._context import (
    EXIT_OK,
    EXIT_PENDING,
    Context,
    cloudflare_options,
    table,
)


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser("dns", help="list, ensure or delete DNS records", description="A zone's DNS records.")
    verbs = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    options = [common, cloudflare_options()]

    listing = verbs.add_parser(
        "list",
        parents=options,
        help="every record of a zone, as a table",
        description="Every DNS record of the zone (all pages), as a table.",
    )
    listing.add_argument("domain", metavar="DOMAIN")
    listing.add_argument("--type", metavar="T", help="only records of this type")
    listing.add_argument("--name", metavar="N", help="only records of this name (the full name)")
    listing.set_defaults(run=run_list)

    ensure = verbs.add_parser(
        "ensure",
        parents=options,
        help="bring one record into the wanted state",
        description="Show the plan that brings one record into the wanted state, then carry it out "
        "(unless --dry-run). A second run with the same values plans nothing.",
    )
    _record_arguments(ensure)
    proxied = ensure.add_mutually_exclusive_group()
    proxied.add_argument(
        "--proxied",
        dest="proxied",
        action="store_true",
        default=False,
        help="proxy the record through Cloudflare (A, AAAA, CNAME)",
    )
    proxied.add_argument("--no-proxied", dest="proxied", action="store_false", help="DNS only (the default)")
    ensure.add_argument("--ttl", type=int, default=1, metavar="N", help="TTL in seconds, 1 for automatic (default)")
    ensure.add_argument("--absent", action="store_true", help="make sure the record does not exist")
    ensure.add_argument("--no-replace", dest="replace", action="store_false", help="TXT: keep the name's other values")
    ensure.add_argument("--comment", metavar="C", help="the record's comment (also compared)")
    _plan_options(ensure)
    ensure.set_defaults(run=run_ensure)

    delete = verbs.add_parser(
        "delete",
        parents=options,
        help="remove exactly that record if present",
        description="Remove the record of that type, name and content if it exists.",
    )
    _record_arguments(delete)
    _plan_options(delete)
    delete.set_defaults(run=run_delete, proxied=False, ttl=1, absent=True, replace=True, comment=None)


def _record_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("domain", metavar="DOMAIN", help="the zone (example.com)")
    parser.add_argument("type", metavar="TYPE", help="A, AAAA, CNAME, MX, TXT, ...")
    parser.add_argument(
        "name", metavar="NAME", help="the record's name: full (home.example.com), relative to the zone (home) or @"
    )
    parser.add_argument("content", metavar="CONTENT", help='the value; for MX "host|priority"')


def _plan_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--dry-run", action="store_true", help="show the plan, write nothing")
    parser.add_argument(
        "--exit-code", action="store_true", help="with --dry-run: exit with status 3 when the plan is not empty"
    )


# ----- list -----------------------------------------------------------------


def run_list(context: Context) -> int:
    args = context.args
    filters = {key: value for key, value in (("type", args.type), ("name", args.name)) if value}
    records = context.cloudflare().list_dns_records(**filters, **context.zone_keywords(args.domain))
    context.out.document(records)
    rows = [["TYPE", "NAME", "CONTENT", "TTL", "PROXIED", "ID"]] if records else []
    for record in records:
        content = str(record.get("content"))
        if record.get("priority") is not None and str(record.get("type")).upper() == "MX":
            content = f"{record['priority']} {content}"
        rows.append(
            [
                str(record.get("type")),
                str(record.get("name")),
                content,
                "auto" if record.get("ttl") == 1 else str(record.get("ttl")),
                "yes" if record.get("proxied") else "no",
                str(record.get("id")),
            ]
        )
    for line in table(rows):
        context.out.report(line)
    if not records:
        context.out.say("no records")
    return EXIT_OK


# ----- ensure / delete --------------------------------------------------------


def _shown(field: str, value: Any) -> str:
    """A record field's value as the command prints it."""
    if field == "ttl":
        return "auto" if value == 1 else str(value)
    if field == "proxied":
        return "yes" if value else "no"
    if field == "comment":
        return "none" if value is None else repr(value)
    return str(value)


def describe_write(write: dict[str, Any]) -> str:
    """One planned write as a line: action, record, what it sets (an update:
    each field old -> new), why."""
    action = str(write.get("action"))
    content = str(write.get("content"))
    if write.get("priority") is not None:
        content = f"{write['priority']} {content}"
    changes = write.get("changes") or {}
    if action == "update" and changes:
        head = f"update {write.get('type')} {write.get('name')}"
        if "content" not in changes:
            head += f" {content}"
        parts = [f"{field} {_shown(field, change['old'])} -> {_shown(field, change['new'])}" for field, change in changes.items()]
        return f"{head}: {', '.join(parts)}"
    details = []
    if action != "delete":
        if write.get("ttl") not in (None, 1):
            details.append(f"ttl {write['ttl']}")
        if write.get("proxied"):
            details.append("proxied")
        if write.get("comment") is not None:
            details.append(f"comment {write['comment']!r}")
    text = " ".join([action, str(write.get("type")), str(write.get("name")), content, *details])
    return text + (f" ({write['reason']})" if write.get("reason") else "")


def reconcile(
    context: Context,
    domain: str,
    rtype: str,
    name: str,
    content: str,
    proxied: bool,
    ttl: int,
    present: bool,
    replace: bool,
    comment: str | None,
    dry_run: bool,
) -> list[dict[str, Any]]:
    """Plan, show and (unless ``dry_run``) carry out; returns the plan."""
    cf = context.cloudflare()
    keywords: dict[str, Any] = {"present": present, "replace": replace, **context.zone_keywords(domain)}
    if comment is not None:
        keywords["comment"] = comment
    arguments = (domain, rtype, name, content, proxied, ttl)
    plan = list(cf.dns_plan(*arguments, **keywords))
    for write in plan:
        context.out.report(describe_write(write))
    if not plan:
        context.out.say("nothing to do")
    elif dry_run:
        context.out.say("dry run: nothing written")
    else:
        cf.dns_ensured_record(*arguments, **keywords).raise_for_status()
        context.out.say("done")
    return plan


def _run_reconcile(context: Context) -> int:
    args = context.args
    plan = reconcile(
        context,
        args.domain,
        args.type,
        args.name,
        args.content,
        args.proxied,
        args.ttl,
        not args.absent,
        args.replace,
        args.comment,
        args.dry_run,
    )
    context.out.document({"plan": plan, "applied": bool(plan) and not args.dry_run})
    return EXIT_PENDING if plan and args.dry_run and args.exit_code else EXIT_OK


run_ensure = _run_reconcile
run_delete = _run_reconcile
