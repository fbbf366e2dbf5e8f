"""``nuv ding text|markdown``: a message to a DingTalk robot."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import nuv

from ._context import EXIT_OK, Context, Failure, UsageError, dingtalk_options


def register(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "ding", help="send a message to a DingTalk robot", description="Messages to a DingTalk custom robot."
    )
    kinds = parser.add_subparsers(title="message types", metavar="TYPE", required=True)
    options = [common, dingtalk_options(with_connection=True)]

    text = kinds.add_parser(
        "text",
        parents=options,
        help="a text message",
        description="Send a text message ('-': read it from standard input).",
    )
    text.add_argument("parts", metavar="MESSAGE", nargs=1)
    _mention_options(text)
    text.set_defaults(run=run, kind="text")

    markdown = kinds.add_parser(
        "markdown",
        parents=options,
        help="a markdown message",
        description="Send a markdown message ('-' as TEXT: read it from standard input).",
    )
    markdown.add_argument("title", metavar="TITLE")
    markdown.add_argument("text", metavar="TEXT")
    _mention_options(markdown)
    markdown.set_defaults(run=run, kind="markdown")


def _mention_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--at",
        dest="at_mobiles",
        action="append",
        default=[],
        metavar="MOBILE",
        help="mention this mobile number (repeatable)",
    )
    parser.add_argument(
        "--at-user",
        dest="at_user_ids",
        action="append",
        default=[],
        metavar="ID",
        help="mention this user id (repeatable)",
    )
    parser.add_argument("--at-all", action="store_true", help="mention everyone")


def run(context: Context) -> int:
    args = context.args
    parts = list(args.parts) if args.kind == "text" else [args.title, args.text]
    if parts[-1] == "-":
        # As $(...) would: the final line break of a pipe is not part of the message.
        parts[-1] = sys.stdin.read().rstrip("\n")
    if not parts[-1].strip():
        raise UsageError("the message is empty")
    robot = context.robot()
    mentions = {"at_mobiles": args.at_mobiles, "at_user_ids": args.at_user_ids, "at_all": args.at_all}
    send = robot.send_text if args.kind == "text" else robot.send_markdown
    _accepted(send(*parts, **{name: value for name, value in mentions.items() if value}))
    context.out.say(f"{args.kind} message sent")
    context.out.document({"sent": True, "type": args.kind})
    return EXIT_OK


def _accepted(reply: nuv.DingTalkReply | None) -> None:
    """Raise unless the robot accepted the message."""
    if reply is None:
        raise Failure("the message could not be signed")
    reply.raise_for_errcode()


def send_markdown(robot: nuv.DingTalk, title: str, text: str) -> None:
    """Post a markdown message; raises unless the robot accepted it."""
    _accepted(robot.send_markdown(title, text))
