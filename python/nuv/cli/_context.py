"""What every sub-command shares: its options, the credentials, the clients
and the output."""

from __future__ import annotations

import argparse
import json
import os
import re
import stat
import sys
import urllib.parse
from typing import Any, TextIO

import nuv

#: The library's exceptions for a service or network failure (exit status 1).
SERVICE_ERRORS = (nuv.CloudflareError, nuv.DingTalkError)

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_PENDING = 3


class UsageError(Exception):
    """The command line or the configuration is wrong (exit status 2)."""


class Failure(Exception):
    """The job failed for a reason the library does not raise (exit status 1)."""

    hint: str | None = None


def _one_line(text: str, limit: int = 400) -> str:
    line = " ".join(str(text).split())
    return line if len(line) <= limit else line[: limit - 3] + "..."


_HTML_TITLE = re.compile(r"<title[^>]*>(.*?)</", re.IGNORECASE | re.DOTALL)
# The library's hints speak Python; the command's speak options and variables.
_ZONE_ID_HINT = re.compile(r"; a token restricted to some zones can skip the zone look-up by passing zone_id= .*$")
_HINT_WORDS = (
    ("api_token must hold the token alone", "the API token must be the token alone"),
    ("pass proxied=False for other types", "leave out --proxied for other types"),
    (" (see retry_after)", ""),
    ("dns_ensured_record", "nuv dns ensure"),
    ("Select a zone first with query(domain), or pass zone_id= to the method or to Cloudflare().", "Give the zone's domain, or --zone-id ID."),
)
_KEYWORD_HINT = re.compile(r"give it as DingTalk\(\.\.\., keyword=.*$")


def describe(error: BaseException, context: Context | None = None) -> tuple[str, str | None]:
    """The error's message and its hint, each on one line and in the
    command's terms: an error page summarised by its status and title, an
    error envelope by its codes and messages; hints name options and
    variables, and never suggest what was already given."""
    message = _summary(error) or str(error) or type(error).__name__
    hint = getattr(error, "hint", None)
    if hint:
        hint = _command_hint(str(hint), context)
    if context is not None:
        message = context.masked(message)
        hint = context.masked(hint) if hint else hint
    return _one_line(message), _one_line(hint) if hint else None


def _summary(error: BaseException) -> str | None:
    response = getattr(error, "response", None)
    if not isinstance(error, nuv.CloudflareError) or response is None:
        return None
    status, body = response
    entries = [e for e in getattr(error, "errors", None) or [] if isinstance(e, dict)]
    if entries:
        return f"HTTP {status}: " + "; ".join(f"{e.get('code')} {e.get('message')}" for e in entries)
    text = str(body).lstrip()
    if text[:1] == "<" and isinstance(status, int) and status >= 100:
        title = _HTML_TITLE.search(text[:65536])
        return f"HTTP {status}" + (f" ({_one_line(title[1], 120)})" if title and title[1].strip() else ", an HTML page")
    return None


def _command_hint(hint: str, context: Context | None) -> str | None:
    given = context.option if context is not None else (lambda _name, _default=None: None)
    if _ZONE_ID_HINT.search(hint):
        hint = _ZONE_ID_HINT.sub("", hint)
        if not given("zone_id"):
            hint += "; a token restricted to one zone can skip the look-up: give --zone-id ID (the zone's overview page shows it)"
        hint += "."
    for python, command in _HINT_WORDS:
        hint = hint.replace(python, command)
    if _KEYWORD_HINT.search(hint):
        keyword = given("dingtalk_keyword") or os.environ.get("DINGTALK_KEYWORD")
        hint = _KEYWORD_HINT.sub(
            "the keyword given (--dingtalk-keyword or DINGTALK_KEYWORD) is not one of them: check the robot's "
            "security settings"
            if keyword
            else "give one with --dingtalk-keyword (or DINGTALK_KEYWORD) and it is added to messages that lack it",
            hint,
        )
    if isinstance(context, Context) and context.token_source and "API token" in hint:
        hint += f" (the token comes from {context.token_source})"
    return hint


# ----- options ------------------------------------------------------------


def output_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("output")
    group.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=argparse.SUPPRESS,
        help="trace every request on standard error (credentials masked)",
    )
    group.add_argument(
        "-q", "--quiet", action="store_true", default=argparse.SUPPRESS, help="print nothing when nothing changed"
    )
    group.add_argument(
        "--json", action="store_true", default=argparse.SUPPRESS, help="print one JSON document instead of text"
    )
    group.add_argument(
        "--traceback", action="store_true", default=argparse.SUPPRESS, help="show the Python traceback of an error"
    )
    return options


def connection_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("connection")
    group.add_argument(
        "--proxy",
        metavar="URL",
        type=_proxy_without_credentials,
        default=argparse.SUPPRESS,
        help="proxy for every request (default: https_proxy, HTTPS_PROXY, all_proxy with no_proxy, as curl reads "
        "them); one that needs a password goes in those variables or --proxy-file",
    )
    group.add_argument(
        "--proxy-file",
        metavar="PATH",
        default=argparse.SUPPRESS,
        help="read the proxy URL (which may hold a user and password) from this file",
    )
    group.add_argument(
        "--ca-file",
        metavar="PATH",
        default=argparse.SUPPRESS,
        help="CA certificates to verify the services with (default: CURL_CA_BUNDLE, SSL_CERT_FILE, else the system's)",
    )
    group.add_argument(
        "--retries",
        metavar="N",
        type=_count,
        default=argparse.SUPPRESS,
        help="extra attempts of a request that failed without effect",
    )
    group.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=_seconds,
        default=argparse.SUPPRESS,
        help="bound on one attempt of a request",
    )
    return options


def cloudflare_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False, parents=[connection_options()])
    group = options.add_argument_group("Cloudflare")
    group.add_argument(
        "--token-file",
        metavar="PATH",
        default=argparse.SUPPRESS,
        help="read the API token from this file (default: CLOUDFLARE_API_TOKEN, "
        "else the file named by CLOUDFLARE_API_TOKEN_FILE)",
    )
    group.add_argument(
        "--api-url",
        metavar="URL",
        default=argparse.SUPPRESS,
        help=f"API base URL (default: CLOUDFLARE_API_URL, else {nuv.DEFAULT_API_URL})",
    )
    group.add_argument(
        "--zone-id",
        metavar="ID",
        default=argparse.SUPPRESS,
        help="act on this zone without looking it up (for zone-restricted tokens)",
    )
    return options


def dingtalk_options(with_connection: bool) -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False, parents=[connection_options()] if with_connection else [])
    group = options.add_argument_group("DingTalk")
    group.add_argument(
        "--dingtalk-token-file",
        metavar="PATH",
        default=argparse.SUPPRESS,
        help="read the robot's access token from this file (default: DINGTALK_TOKEN, "
        "else the file named by DINGTALK_TOKEN_FILE)",
    )
    group.add_argument(
        "--dingtalk-secret-file",
        metavar="PATH",
        default=argparse.SUPPRESS,
        help="read the robot's signing secret from this file (default: DINGTALK_SECRET, "
        "else the file named by DINGTALK_SECRET_FILE)",
    )
    group.add_argument(
        "--dingtalk-keyword",
        metavar="TEXT",
        default=argparse.SUPPRESS,
        help="the keyword the robot's security setting wants, added to messages that lack it "
        "(default: DINGTALK_KEYWORD)",
    )
    return options


def _proxy_without_credentials(text: str) -> str:
    authority = text.split("://", 1)[-1].split("/", 1)[0]
    if "@" in authority:
        raise argparse.ArgumentTypeError(
            "a proxy's user or password must not be on the command line, where other users see it (ps): "
            "put the proxy URL in https_proxy (and http_proxy), or in a file given with --proxy-file"
        )
    return text


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text}")
    return value


# ----- output -------------------------------------------------------------


class Output:
    """Short human text by default, nothing but changes with --quiet, one
    JSON document with --json; progress on standard error when it is a
    terminal."""

    def __init__(self, json_mode: bool, quiet: bool) -> None:
        self.json_mode = json_mode
        self.quiet = quiet
        self._progress_shown = False
        self._terminal = _is_terminal(sys.stderr)

    def say(self, text: str) -> None:
        """Something worth knowing that is not a change ("nothing to do")."""
        if not (self.quiet or self.json_mode):
            self._print(text)

    def report(self, text: str) -> None:
        """A change, or what the command was asked to show."""
        if not self.json_mode:
            self._print(text)

    def document(self, value: Any) -> None:
        if self.json_mode:
            self.end_progress()
            sys.stdout.write(json.dumps(value, ensure_ascii=False) + "\n")
            sys.stdout.flush()

    def progress(self, text: str) -> None:
        if self._terminal and not self.quiet:
            sys.stderr.write(f"\r{text}\x1b[K")
            sys.stderr.flush()
            self._progress_shown = True

    def end_progress(self) -> None:
        if self._progress_shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._progress_shown = False

    def _print(self, text: str) -> None:
        self.end_progress()
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def table(rows: list[list[str]]) -> list[str]:
    """Rows as lines of left-aligned columns (the last one not padded)."""
    if not rows:
        return []
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    return [
        "  ".join([*(cell.ljust(width) for cell, width in zip(row, widths, strict=False)), row[-1]]).rstrip()
        for row in rows
    ]


# ----- credentials ----------------------------------------------------------


#: A credential file larger than this is not a credential (a log, an archive).
MAX_SECRET_BYTES = 64 * 1024


def read_secret(path: str | None, variable: str, flag: str) -> str | None:
    """A credential from ``flag``'s file, else the variable, else the file
    the ``_FILE`` variable names (trailing whitespace stripped from each);
    None when none is set."""
    source = flag
    if path is None:
        # `export VAR="$(cat file)"` and a file with a final newline alike.
        value = os.environ.get(variable, "").rstrip()
        if value:
            return value
        path = os.environ.get(variable + "_FILE") or None
        source = variable + "_FILE"
    if path is None:
        return None
    try:
        value = _read_credential_file(path).rstrip()
    except (OSError, UnicodeDecodeError) as failure:
        why = failure.strerror if isinstance(failure, OSError) and failure.strerror else "not UTF-8 text"
        raise UsageError(f"cannot read {source} {path}: {why}") from None
    except ValueError as refused:
        raise UsageError(f"cannot read {source} {path}: {refused}") from None
    if not value:
        raise UsageError(f"{source} {path} is empty")
    return value


def _read_credential_file(path: str) -> str:
    """The text of a regular file of at most MAX_SECRET_BYTES. A FIFO or a
    device would block or never end: opened without waiting, then refused."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError("not a regular file")
        data = file.read(MAX_SECRET_BYTES + 1)
    if len(data) > MAX_SECRET_BYTES:
        raise ValueError(f"larger than {MAX_SECRET_BYTES // 1024} KiB, not a credential")
    return data.decode("utf-8")


def _token_source(path: str | None) -> str:
    if path is not None:
        return f"--token-file {path}"
    if os.environ.get("CLOUDFLARE_API_TOKEN"):
        return "CLOUDFLARE_API_TOKEN"
    return f"the file CLOUDFLARE_API_TOKEN_FILE names ({os.environ.get('CLOUDFLARE_API_TOKEN_FILE')})"


# ----- the clients ------------------------------------------------------------


class Context:
    def __init__(self, args: argparse.Namespace, output: Output) -> None:
        self.args = args
        self.out = output
        self._cloudflare: nuv.Cloudflare | None = None
        self._robot: nuv.DingTalk | None = None
        self._zone_ids: dict[str, str] = {}
        self._proxy: str | None = None
        self._proxy_read = False
        # Credentials read, masked from every line the command prints.
        self._secrets: list[str] = []
        self.token_source: str | None = None

    def option(self, name: str, default: Any = None) -> Any:
        return getattr(self.args, name, default)

    def masked(self, text: str) -> str:
        for secret in self._secrets:
            if len(secret) >= 4:
                text = text.replace(secret, "***")
        return text

    def proxy(self) -> str | None:
        """--proxy, else the URL in --proxy-file, else None (the environment's)."""
        if not self._proxy_read:
            path = self.option("proxy_file")
            if path is not None and self.option("proxy") is not None:
                raise UsageError("give --proxy or --proxy-file, not both")
            if path is not None:
                self._proxy = read_secret(path, "", "--proxy-file")
                password = urllib.parse.urlsplit(self._proxy if "://" in self._proxy else "//" + self._proxy).password
                if password:
                    self._secrets.append(password)
            else:
                self._proxy = self.option("proxy")
            self._proxy_read = True
        return self._proxy

    def _apply_connection_environment(self) -> None:
        ca_file = self.option("ca_file")
        if ca_file is not None:
            if not os.path.isfile(ca_file):
                raise UsageError(f"--ca-file {ca_file}: no such file")
            # libcurl reads its CA file from here; so does the address look-up.
            os.environ["CURL_CA_BUNDLE"] = ca_file

    def _resilience(self) -> dict[str, Any]:
        return {name: self.option(name) for name in ("retries", "timeout") if self.option(name) is not None}

    def cloudflare(self) -> nuv.Cloudflare:
        if self._cloudflare is None:
            token = read_secret(self.option("token_file"), "CLOUDFLARE_API_TOKEN", "--token-file")
            if token is not None:
                self._secrets.append(token)
                self.token_source = _token_source(self.option("token_file"))
            if token is None:
                raise UsageError(
                    "no Cloudflare API token: set CLOUDFLARE_API_TOKEN "
                    "(or CLOUDFLARE_API_TOKEN_FILE, or give --token-file)"
                )
            self._apply_connection_environment()
            api_url = self.option("api_url") or os.environ.get("CLOUDFLARE_API_URL") or nuv.DEFAULT_API_URL
            # No --proxy: the environment's, as curl picks it (https_proxy, no_proxy, ...).
            settings = {"proxy": self.proxy()}
            if self.option("zone_id"):
                settings["zone_id"] = self.option("zone_id")
            try:
                self._cloudflare = nuv.Cloudflare(api_token=token, api_url=api_url, **settings, **self._resilience())
            except (TypeError, ValueError) as refused:
                raise UsageError(f"Cloudflare settings refused: {refused}") from None
        return self._cloudflare

    def robot(self) -> nuv.DingTalk:
        if self._robot is None:
            token = read_secret(self.option("dingtalk_token_file"), "DINGTALK_TOKEN", "--dingtalk-token-file")
            if token is None:
                raise UsageError(
                    "no DingTalk robot token: set DINGTALK_TOKEN "
                    "(or DINGTALK_TOKEN_FILE, or give --dingtalk-token-file)"
                )
            secret = read_secret(self.option("dingtalk_secret_file"), "DINGTALK_SECRET", "--dingtalk-secret-file")
            self._secrets += [value for value in (token, secret) if value]
            if secret is None:
                raise UsageError(
                    "no DingTalk signing secret: set DINGTALK_SECRET "
                    "(or DINGTALK_SECRET_FILE, or give --dingtalk-secret-file)"
                )
            self._apply_connection_environment()
            try:
                keyword = self.option("dingtalk_keyword") or os.environ.get("DINGTALK_KEYWORD")
                # No --proxy: the environment's, as curl picks it (https_proxy, no_proxy, ...).
                settings = {"keyword": keyword} if keyword else {}
                settings["proxy"] = self.proxy()
                self._robot = nuv.DingTalk(token, secret, **settings, **self._resilience())
            except (TypeError, ValueError) as refused:
                raise UsageError(f"DingTalk settings refused: {refused}") from None
        return self._robot

    # ----- zones ----------------------------------------------------------

    def zone_keywords(self, domain: str) -> dict[str, Any]:
        """Keywords that make a zone-scoped call act on ``domain``'s zone (its
        --zone-id, else looked up once)."""
        return {"zone_id": self.zone_id(domain)}

    def zone_id(self, domain: str) -> str:
        """The id of ``domain``'s zone: --zone-id, else looked up."""
        given = self.option("zone_id")
        if given:
            return given
        if domain not in self._zone_ids:
            cf = self.cloudflare()
            cf.query(domain)
            self._zone_ids[domain] = cf.zone_id
        return self._zone_ids[domain]
