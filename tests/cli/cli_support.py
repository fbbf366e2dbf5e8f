"""Running the ``nuv`` command in subprocesses against the stand-ins, and a
local page for ``url:`` address sources."""

from __future__ import annotations

import http.server
import json
import subprocess
import sys
import threading
from dataclasses import dataclass, field
from typing import Any

from nuv.cli.standin import ROBOT_TOKEN

ROBOT_SECRET = "SEC" + "5" * 64
DOMAIN = "example.com"
HOST = "home.example.com"
# Variables of the test process that would change what the command does.
CLEARED = (
    "http_proxy",
    "https_proxy",
    "HTTPS_PROXY",
    "all_proxy",
    "ALL_PROXY",
    "no_proxy",
    "NO_PROXY",
    "SSL_CERT_FILE",
    "CLOUDFLARE_API_URL",
    "CLOUDFLARE_API_TOKEN_FILE",
    "DINGTALK_TOKEN_FILE",
    "DINGTALK_SECRET_FILE",
    "NUV_TRACE",
    "STATE_DIRECTORY",
)


@dataclass
class Run:
    status: int
    out: str
    err: str

    @property
    def json(self) -> Any:
        return json.loads(self.out)

    @property
    def json_lines(self) -> list[Any]:
        return [json.loads(line) for line in self.out.splitlines()]


@dataclass
class Nuv:
    """Runs ``nuv`` with the stand-ins' environment (``env`` adds or, with
    None, removes variables)."""

    standin: Any
    zone: dict[str, Any]
    base_env: dict[str, str]
    runs: list[Run] = field(default_factory=list)

    def env(self, **changes: str | None) -> dict[str, str]:
        env = dict(self.base_env)
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def popen(self, *args: str, env: dict[str, str | None] | None = None, **options: Any) -> subprocess.Popen[str]:
        options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **options}
        return subprocess.Popen([sys.executable, "-m", "nuv", *args], env=self.env(**(env or {})), text=True, **options)

    def __call__(self, *args: str, env: dict[str, str | None] | None = None, input: str | None = None) -> Run:
        done = subprocess.run(
            [sys.executable, "-m", "nuv", *args],
            env=self.env(**(env or {})),
            input=input,
            text=True,
            capture_output=True,
            timeout=120,
            check=False,
        )
        run = Run(done.returncode, done.stdout, done.stderr)
        self.runs.append(run)
        return run

    def records(self, type: str | None = None) -> list[dict[str, Any]]:
        return [r for r in self.standin.records(self.zone["id"]) if type is None or r["type"] == type]

    def contents(self, type: str) -> list[str]:
        return sorted(r["content"] for r in self.records(type))

    def messages(self) -> list[dict[str, Any]]:
        return self.standin.messages(ROBOT_TOKEN)


class AddressPage:
    """A plain-HTTP page on 127.0.0.1 answering ``text`` with ``status``, as
    an address source (``url:``) would."""

    def __init__(self) -> None:
        self.text = "ip=93.184.216.44\n"
        self.status = 200
        page = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802 - the base class's name
                body = page.text.encode()
                self.send_response(page.status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/cdn-cgi/trace"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
