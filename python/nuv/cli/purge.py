"""``nuv purge DOMAIN``: purge the zone's cache, or just some of it."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ._context import EXIT_OK, EXIT_USAGE, Context, UsageError, cloudflare_options


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "purge",
        parents=[common, cloudflare_options()],
        help="purge a zone's cache",
        description="Purge the given files, tags, hosts and prefixes from the zone's cache; "
        "with none of them, everything (after a confirmation unless --yes).",
    )
    parser.add_argument("domain", metavar="DOMAIN")
    parser.add_argument("--file", dest="files", action="append", metavar="URL", help="a URL to purge (repeatable)")
    parser.add_argument("--tag", dest="tags", action="append", metavar="T", help="a cache tag (repeatable)")
    parser.add_argument("--host", dest="hosts", action="append", metavar="H", help="a host name (repeatable)")
    parser.add_argument(
        "--prefix", dest="prefixes", action="append", metavar="P", help="a URL prefix without scheme (repeatable)"
    )
    parser.add_argument("-y", "--yes", action="store_true", help="purge everything without asking")
    parser.set_defaults(run=run)


def _confirmed(domain: str) -> bool:
    if not sys.stdin.isatty():
        raise UsageError(f"purging everything cached for {domain} needs --yes when not asked on a terminal")
    sys.stderr.write(f"Purge everything cached for {domain}? [y/N] ")
    sys.stderr.flush()
    return sys.stdin.readline().strip().lower() in ("y", "yes")


def run(context: Context) -> int:
    args = context.args
    selection = {key: getattr(args, key) for key in ("files", "tags", "hosts", "prefixes") if getattr(args, key)}
    if not selection and not args.yes and not _confirmed(args.domain):
        sys.stderr.write("nuv: nothing purged\n")
        return EXIT_USAGE
    cf = context.cloudflare()
    cf.purge_cache(**selection, **context.zone_keywords(args.domain)).raise_for_status()
    what = "; ".join(f"{len(v)} {k}" for k, v in selection.items()) if selection else "everything"
    context.out.report(f"purged {what} for {args.domain}")
    context.out.document({"purged": selection or "everything", "domain": args.domain})
    return EXIT_OK
