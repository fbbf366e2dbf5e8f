"""The ``nuv`` command: the library's main jobs from a shell, cron, systemd or CI.

Each sub-command group lives in its own module and registers itself with
``register(commands, common)``; a sub-command's ``run(context)`` returns the
exit status. The command parses, calls the library and prints: every rule
about records, zones and messages is the library's.
"""

from __future__ import annotations

import argparse
import sys
import traceback

import nuv

from . import ddns, ding, dns, export, purge, standin, sync, zone, zones
from ._context import (
    EXIT_FAILED,
    EXIT_USAGE,
    SERVICE_ERRORS,
    Context,
    Failure,
    Output,
    UsageError,
    describe,
    output_options,
)

__all__ = ["main"]

COMMAND_GROUPS = (zones, dns, zone, purge, sync, export, ddns, ding, standin)

EPILOG = """\
credentials come from the environment, never from arguments:
  CLOUDFLARE_API_TOKEN (or CLOUDFLARE_API_TOKEN_FILE, --token-file)
  DINGTALK_TOKEN, DINGTALK_SECRET (or their _FILE variables, --dingtalk-token-file, --dingtalk-secret-file)
  CLOUDFLARE_API_URL sets another API base URL (--api-url)
  DINGTALK_KEYWORD the robot's security keyword (--dingtalk-keyword)

exit status: 0 success (changed or not), 1 the service or the network failed,
2 usage or configuration error, 3 changes pending (--dry-run --exit-code,
sync --expect-no-changes)

try every command offline: nuv standin
"""


def version_line() -> str:
    """``nuv 0.2.0 (libcurl/7.88.1 OpenSSL/3.0.17 json-c/0.16)``: the libraries as loaded."""
    versions = nuv.versions()
    own = versions.pop("nuv")
    return f"nuv {own} (" + " ".join(f"{name}/{version}" for name, version in versions.items()) + ")"


def build_parser() -> argparse.ArgumentParser:
    common = output_options()
    parser = argparse.ArgumentParser(
        prog="nuv",
        description="Cloudflare DNS and DingTalk robots from the command line.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=[common],
    )
    parser.add_argument(
        "--version", action="version", version=version_line(),
        help="print the versions of nuv, libcurl, OpenSSL and json-c, then exit",
    )  # fmt: skip
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for group in COMMAND_GROUPS:
        group.register(commands, common)
    return parser


def _report_error(
    args: argparse.Namespace, output: Output | None, error: BaseException, status: int, context: Context | None = None
) -> int:
    if getattr(args, "traceback", False):
        traceback.print_exception(error)
    message, hint = describe(error, context)
    if output is not None:
        output.end_progress()
        output.document({"ok": False, "error": message, "hint": hint, "exit_status": status})
    sys.stderr.write(f"nuv: {message}" + (f" -- {hint}" if hint else "") + "\n")
    sys.stderr.flush()
    return status


def main(argv: list[str] | None = None) -> int:
    if (sys.argv[1:] if argv is None else argv) == ["--version"]:
        # Answered before any sub-command's parser is built.
        print(version_line())
        return 0
    parser = build_parser()
    args = parser.parse_args(argv)
    output: Output | None = None
    context: Context | None = None
    try:
        nuv.set_trace("stderr" if getattr(args, "verbose", False) else "off")
        output = Output(json_mode=getattr(args, "json", False), quiet=getattr(args, "quiet", False))
        context = Context(args, output)
        return int(args.run(context))
    except UsageError as error:
        return _report_error(args, output, error, EXIT_USAGE, context)
    except (Failure, *SERVICE_ERRORS) as error:
        return _report_error(args, output, error, EXIT_FAILED, context)
    except ValueError as error:
        # The library refuses arguments it can tell are wrong before any request.
        return _report_error(args, output, error, EXIT_USAGE, context)
    except KeyboardInterrupt:
        if output is not None:
            output.end_progress()
        sys.stderr.write("nuv: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (| head): nothing left to say to it.
        sys.stdout = None  # type: ignore[assignment]
        return EXIT_FAILED
