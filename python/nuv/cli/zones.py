"""``nuv zones``: the zones the token can see."""

from __future__ import annotations

import argparse
from typing import Any

from ._context import EXIT_OK, Context, cloudflare_options, table


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "zones",
        parents=[common, cloudflare_options()],
        help="list the zones the token can see",
        description="List every zone the API token can see (all pages).",
    )
    parser.set_defaults(run=run)


def run(context: Context) -> int:
    zones = [
        {"name": z.get("name"), "id": z.get("id"), "status": z.get("status")}
        for z in context.cloudflare().list_zones()
    ]
    context.out.document(zones)
    for line in table([[str(z["name"]), str(z["id"]), str(z["status"])] for z in zones]):
        context.out.report(line)
    if not zones:
        context.out.say("no zones")
    return EXIT_OK
