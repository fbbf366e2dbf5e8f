"""One process, every listener: direct HTTPS, the proxy, the hostile extras and the control API."""

from __future__ import annotations

import secrets
import shutil
import socket
import tempfile
from pathlib import Path
from typing import Any, Protocol

from ._cloudflare import CloudflareApp
from ._control import ControlApp
from ._dingtalk import DingTalkApp
from ._faults import Faults
from ._pings import PingEndpoint, is_ping
from ._http import (
    Listener,
    Request,
    RequestLog,
    Response,
    plain_handler,
    proxy_handler,
    text_response,
    tls_handler,
)
from ._testroutes import TestRoutes
from ._tls import CertificateAuthority
from ._trace_page import TracePage

CLOUDFLARE_HOST = "api.cloudflare.com"
DINGTALK_HOST = "oapi.dingtalk.com"


class App(Protocol):
    name: str

    def handle(self, request: Request) -> Response: ...


class NotFound:
    name = "other"

    def handle(self, request: Request) -> Response:
        return text_response(404, f"the stand-in serves nothing at {request.path}\n")


class StandInServer:
    def __init__(self, host: str = "127.0.0.1") -> None:
        self.host = host
        self.directory = Path(tempfile.mkdtemp(prefix="nuv-standin-"))
        # Any local user can reach the listeners: the control API answers
        # only to whoever read this run's JSON line.
        self.control_key = secrets.token_urlsafe(24)
        try:
            self.ca = CertificateAuthority(self.directory)
            self.log = RequestLog()
            self.faults = Faults()
            self.cloudflare = CloudflareApp()
            self.dingtalk = DingTalkApp()
            self.tests = TestRoutes(lambda: f"https://localhost:{self.https.port}")
            self.trace_page = TracePage()
            self.pings = PingEndpoint()
            self.not_found = NotFound()
            names = list(dict.fromkeys([host, "127.0.0.1", "localhost"]))
            # Leaves for the fixed listeners are made now (milliseconds with EC keys).
            self.https = Listener(host, tls_handler(self.ca.server_context(*names), self.dispatch), "https")
            self.expired = Listener(
                host, tls_handler(self.ca.server_context(*names, expired=True), self.dispatch), "expired"
            )
            self.wrong_host = Listener(
                host, tls_handler(self.ca.server_context("wrong-host.invalid"), self.dispatch), "wrong-host"
            )
            self.proxy = Listener(host, proxy_handler(self.dispatch, self.ca.tunnel_context), "proxy")
            self.refusing_proxy = Listener(
                host,
                proxy_handler(self.dispatch, self.ca.tunnel_context, refuse=True),
                "refusing-proxy",
            )
            self.control = ControlApp(self)
            self.control_listener = Listener(host, plain_handler(self.control.dispatch), "control")
            self._listeners = [
                self.https,
                self.expired,
                self.wrong_host,
                self.proxy,
                self.refusing_proxy,
                self.control_listener,
            ]
        except BaseException:
            shutil.rmtree(self.directory, ignore_errors=True)
            raise

    def start(self) -> None:
        for listener in self._listeners:
            listener.start()

    def close(self) -> None:
        for listener in self._listeners:
            listener.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def reset(self) -> None:
        self.cloudflare.reset()
        self.dingtalk.reset()
        self.trace_page.reset()
        self.pings.reset()
        self.faults.clear()
        self.log.clear()

    def info(self) -> dict[str, Any]:
        base = f"https://{_url_host(self.host)}"
        return {
            "api_url": f"{base}:{self.https.port}/client/v4",
            "https_port": self.https.port,
            "proxy_url": f"http://{_url_host(self.host)}:{self.proxy.port}",
            "proxy_port": self.proxy.port,
            "control_url": f"http://{_url_host(self.host)}:{self.control_listener.port}",
            "control_key": self.control_key,
            "ca_file": str(self.ca.ca_file),
            "token": self.cloudflare.default_token,
            "expired_port": self.expired.port,
            "wrong_host_port": self.wrong_host.port,
            "refusing_proxy_port": self.refusing_proxy.port,
            "refusing_proxy_url": f"http://{_url_host(self.host)}:{self.refusing_proxy.port}",
        }

    def _app_for(self, request: Request) -> App:
        if request.host == CLOUDFLARE_HOST:
            return self.cloudflare
        if request.host == DINGTALK_HOST:
            return self.dingtalk
        if request.path == "/client/v4" or request.path.startswith("/client/v4/"):
            return self.cloudflare
        if request.path == "/robot/send":
            return self.dingtalk
        if request.path.startswith("/_test/"):
            return self.tests
        if request.path == "/cdn-cgi/trace":
            return self.trace_page
        if is_ping(request):
            return self.pings
        return self.not_found

    def dispatch(self, request: Request) -> Response:
        app = self._app_for(request)
        request.app = app.name
        # Recorded before anything can go wrong, so a test always sees what arrived.
        self.log.add(_masked(request.record()))
        fault = self.faults.take(request)
        if fault is not None:
            return fault.apply(request, app.handle)
        return app.handle(request)


def _url_host(host: str) -> str:
    try:
        socket.inet_pton(socket.AF_INET6, host)
    except OSError:
        return host
    return f"[{host}]"


def mask_authorization(value: str | None) -> str | None:
    """An Authorization (or Proxy-Authorization) value as the request record
    keeps it: the scheme, then ``***`` and, for a bearer token of 16
    characters or more, its last 4, as nuv's trace shows a token. A client
    pointed here by mistake may send a real credential."""
    if not value:
        return value
    scheme, blank, credential = value.partition(" ")
    if not blank:
        return "***"
    if not credential:
        return value
    tail = credential[-4:] if scheme.lower() == "bearer" and len(credential) >= 16 else ""
    return f"{scheme} ***{tail}"


def _masked(record: dict[str, Any]) -> dict[str, Any]:
    secret_headers = {"authorization", "proxy-authorization"}
    record["headers"] = [
        [name, mask_authorization(value) if name.lower() in secret_headers else value]
        for name, value in record["headers"]
    ]
    if record.get("connect"):
        connect = record["connect"] = dict(record["connect"])
        connect["proxy_authorization"] = mask_authorization(connect.get("proxy_authorization"))
        connect["headers"] = [
            [name, mask_authorization(value) if name.lower() in secret_headers else value]
            for name, value in connect["headers"]
        ]
    return record
