"""``nuv standin``: run the offline stand-ins and print the environment that
points the command at them."""

from __future__ import annotations

import argparse
import secrets
import shlex
import signal
import sys
import threading
from typing import Any

from ._context import EXIT_OK, Context, Failure

ROBOT_TOKEN = "standin-robot"


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "standin",
        parents=[common],
        help="run the offline stand-ins of Cloudflare and DingTalk",
        description="Run local stand-ins of the Cloudflare API, a DingTalk robot and Cloudflare's trace page "
        "until Ctrl-C or SIGTERM, and print the environment variables that point nuv at them (eval them in "
        "another shell; then even `nuv ddns example.com home.example.com --notify` runs offline).",
    )
    parser.add_argument(
        "--zone",
        dest="zones",
        action="append",
        metavar="DOMAIN",
        help="a zone to create (repeatable; default example.com)",
    )
    parser.add_argument("--env-file", metavar="PATH", help="also write the variables to this file")
    parser.set_defaults(run=run)


def environment(info: dict[str, Any], robot_secret: str) -> dict[str, str]:
    """Variables that send the command's requests to the stand-ins: the real
    host names are reached through the stand-ins' proxy, which trusts only
    their test CA."""
    return {
        "CLOUDFLARE_API_TOKEN": info["token"],
        "DINGTALK_TOKEN": ROBOT_TOKEN,
        "DINGTALK_SECRET": robot_secret,
        "CURL_CA_BUNDLE": info["ca_file"],
        "https_proxy": info["proxy_url"],
        # For scripts that seed the stand-ins or read what they received.
        "NUV_STANDIN_CONTROL_URL": info["control_url"],
        "NUV_STANDIN_CONTROL_KEY": info["control_key"],
    }


def run(context: Context) -> int:
    try:
        from nuv.testing import StandIn, StandInError
    except ImportError as missing:
        raise Failure(f"the stand-ins need the testing extra: pip install 'nuv[testing]' ({missing})") from None
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    try:
        standin = StandIn.start()
    except StandInError as failed:
        raise Failure(str(failed)) from None
    with standin:
        zones = context.args.zones or ["example.com"]
        for zone in zones:
            standin.add_zone(zone)
        robot_secret = "SEC" + secrets.token_hex(32)
        standin.add_robot(ROBOT_TOKEN, robot_secret)
        variables = environment(standin.info, robot_secret)
        exports = "".join(f"export {name}={shlex.quote(value)}\n" for name, value in variables.items())
        if context.args.env_file:
            with open(context.args.env_file, "w", encoding="utf-8") as file:
                file.write(exports)
        context.out.document({"environment": variables, "zones": zones, "control_url": standin.control_url})
        if not context.out.json_mode:
            sys.stdout.write(f"# nuv stand-ins running (zones: {', '.join(zones)}); Ctrl-C stops them\n{exports}")
        sys.stdout.flush()
        stop.wait()
    return EXIT_OK
