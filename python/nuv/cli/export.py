"""``nuv export DOMAIN``: a zone's records as an octoDNS YAML or BIND zone
file that ``nuv sync`` reads back to an empty plan (comments, tags and
proxied kept)."""

from __future__ import annotations

import argparse
import os
import tempfile
from pathlib import Path
from typing import Any

from .._bindzone import write_zone
from ._context import EXIT_OK, Context, UsageError, cloudflare_options
from .sync import octodns_module


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "export",
        parents=[common, cloudflare_options()],
        help="write a zone's records as an octoDNS YAML or BIND file",
        description="Write every record of the zone as an octoDNS YAML zone file or a BIND zone file "
        "(Cloudflare's comment conventions for comments, tags and proxied); nuv sync reads it back.",
    )
    parser.add_argument("domain", metavar="DOMAIN")
    parser.add_argument(
        "--format",
        choices=("yaml", "bind"),
        help="yaml (octoDNS) or bind (default: by --output's extension, else yaml)",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write here (replaced whole) instead of standard output; "
        "octoDNS and nuv sync take a YAML file's zone from its name: DOMAIN.yaml",
    )
    parser.set_defaults(run=run)


def _write_file(path: str, text: str) -> None:
    """Replaces ``path`` whole: a reader never sees half a zone."""
    target = Path(path)
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{target.name}.", dir=target.parent or ".")
        try:
            # mkstemp's 0600 would hide the zone from the rest of a CI job: the umask decides, as for open().
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(descriptor, 0o666 & ~umask)
            with os.fdopen(descriptor, "w", encoding="utf-8") as file:
                file.write(text)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as failure:
        raise UsageError(f"cannot write {path}: {failure.strerror or failure}") from None


def run(context: Context) -> int:
    args = context.args
    output = args.output
    style = args.format or ("bind" if output and Path(output).suffix.lower() not in (".yaml", ".yml") else "yaml")
    cf = context.cloudflare()
    zone_id = context.option("zone_id")
    records = list(cf.list_dns_records(args.domain, zone_id=zone_id) if zone_id else cf.list_dns_records(args.domain))
    zone = args.domain.rstrip(".").lower()
    if style == "yaml":
        text = octodns_module().write_octodns(zone, records)
    else:
        text = write_zone(zone, records, origin=True)
    if output:
        _write_file(output, text)
        context.out.say(f"{zone}: {len(records)} records written to {output}")
    elif not context.out.json_mode:
        context.out.report(text.rstrip("\n"))
    context.out.document({"zone": zone, "format": style, "records": len(records), "output": output, "text": text})
    return EXIT_OK
