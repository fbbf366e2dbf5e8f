"""``python -m nuv.testing``: run the stand-ins until SIGTERM/SIGINT or until stdin reaches EOF.

Exactly one JSON line goes to stdout once every listener is up; a parent reads
it to learn the ports. Watching stdin means a parent that dies (and so closes
the pipe) takes the stand-in down with it.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from typing import Any

from ._ratelimit import RateLimit
from ._server import StandInServer


def _rate_limit(text: str) -> RateLimit | None:
    """ "off" or LIMIT/WINDOW[/BLOCK] (requests, seconds, seconds)."""
    if text == "off":
        return None
    parts = text.split("/")
    try:
        if not 2 <= len(parts) <= 3:
            raise ValueError
        numbers = [int(parts[0]), *(float(p) for p in parts[1:])]
        rate = RateLimit.parse(dict(zip(("limit", "window", "block"), numbers, strict=False)))
    except ValueError:
        raise argparse.ArgumentTypeError("expected off or LIMIT/WINDOW[/BLOCK], e.g. 1200/300 or 1200/3/3") from None
    return rate


def _watch_stdin(stop: threading.Event) -> None:
    if sys.stdin is None:
        return
    try:
        while os.read(sys.stdin.fileno(), 65536):
            pass
    except (OSError, ValueError):
        pass
    stop.set()


def _announce(info: dict[str, Any]) -> None:
    print(
        "nuv stand-ins up\n"
        f"  Cloudflare API  {info['api_url']}  (token {info['token']})\n"
        f"  DingTalk robot  {info['api_url'].removesuffix('/client/v4')}/robot/send\n"
        f"  proxy           {info['proxy_url']}\n"
        f"  control         {info['control_url']}  (key in the JSON line)\n"
        f"  CA file         {info['ca_file']}\n"
        f"  expired cert on {info['expired_port']}, wrong-host cert on {info['wrong_host_port']}, "
        f"refusing proxy on {info['refusing_proxy_port']}",
        file=sys.stderr,
        flush=True,
    )
    # Last: once a parent has this line, the summary is already in its log.
    sys.stdout.write(json.dumps(info) + "\n")
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m nuv.testing", description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument(
        "--ignore-stdin",
        action="store_true",
        help="keep running when stdin reaches EOF (for running in the background with </dev/null)",
    )
    parser.add_argument(
        "--cloudflare-rate-limit",
        type=_rate_limit,
        default=RateLimit(),
        metavar="off|LIMIT/WINDOW[/BLOCK]",
        help="requests per token per WINDOW seconds, then 429 for BLOCK seconds (default 1200/300/300)",
    )
    args = parser.parse_args(argv)

    # Handlers first: a parent may signal as soon as it has read the JSON line.
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    server = StandInServer(args.host)
    server.cloudflare.start_rate_limit = args.cloudflare_rate_limit
    server.cloudflare.reset()
    try:
        server.start()
        _announce(server.info())
        if not args.ignore_stdin:
            threading.Thread(target=_watch_stdin, args=(stop,), name="stdin-watch", daemon=True).start()
        while not stop.wait(0.5):
            pass
    finally:
        server.close()
        sys.stdout.flush()
        sys.stderr.flush()
    # Connection threads may sit in blocking calls; nothing of theirs needs finishing.
    os._exit(0)


if __name__ == "__main__":
    main()
