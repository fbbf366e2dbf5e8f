"""One process, every listener: direct HTTPS, the proxy, the hostile extras and the control API."""

from __future__ import annotations

import re
import shutil
import socket
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

from ._cloudflare import CloudflareApp
from ._control import ControlApp
from ._dingtalk import DingTalkApp
from ._http import (
    Listener,
    Request,
    RequestLog,
    Response,
    json_response,
    plain_handler,
    proxy_handler,
    text_response,
    tls_handler,
)
from ._testroutes import TestRoutes
from ._tls import CertificateAuthority

CLOUDFLARE_HOST = "api.cloudflare.com"
DINGTALK_HOST = "oapi.dingtalk.com"


@dataclass
class Fault:
    method: str | None
    pattern: re.Pattern[str]
    status: int
    body: Any
    count: int
    delay: float
    close: bool
    headers: dict[str, str]

    def response(self) -> Response:
        if self.delay:
            time.sleep(self.delay)
        if self.close:
            return Response(0, takeover=lambda _sock: None)
        extra = list(self.headers.items())
        if isinstance(self.body, (dict, list)):
            return json_response(self.status, self.body, extra)
        response = text_response(self.status, "" if self.body is None else str(self.body))
        response.headers += extra
        return response


class Faults:
    """Answers queued by tests; each one replaces the next ``count`` matching requests."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queue: list[Fault] = []

    def add(self, fields: dict[str, Any]) -> None:
        method = fields.get("method")
        status = fields.get("status", 500)
        count = fields.get("count", 1)
        if method is not None and not isinstance(method, str):
            raise ValueError("method must be a string or null (any method)")
        if not isinstance(status, int) or not 100 <= status <= 599:
            raise ValueError("status must be an HTTP status")
        if not isinstance(count, int) or count < 1:
            raise ValueError("count must be a positive integer")
        try:
            pattern = re.compile(fields.get("path_regex") or "")
        except re.error as bad:
            raise ValueError(f"path_regex: {bad}") from None
        fault = Fault(
            method=None if method in (None, "*") else method.upper(),
            pattern=pattern,
            status=status,
            body=fields.get("body"),
            count=count,
            delay=min(max(float(fields.get("delay") or 0), 0.0), 40.0),
            close=bool(fields.get("close", False)),
            headers={str(k): str(v) for k, v in (fields.get("headers") or {}).items()},
        )
        with self._lock:
            self._queue.append(fault)

    def take(self, request: Request) -> Fault | None:
        with self._lock:
            for fault in self._queue:
                if (fault.method is None or fault.method == request.method) and fault.pattern.search(request.path):
                    fault.count -= 1
                    if fault.count == 0:
                        self._queue.remove(fault)
                    return fault
        return None

    def clear(self) -> None:
        with self._lock:
            self._queue.clear()


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
        try:
            self.ca = CertificateAuthority(self.directory)
            self.log = RequestLog()
            self.faults = Faults()
            self.cloudflare = CloudflareApp()
            self.dingtalk = DingTalkApp()
            self.tests = TestRoutes(lambda: f"https://localhost:{self.https.port}")
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
        return self.not_found

    def dispatch(self, request: Request) -> Response:
        app = self._app_for(request)
        request.app = app.name
        # Recorded before anything can go wrong, so a test always sees what arrived.
        self.log.add(request.record())
        fault = self.faults.take(request)
        if fault is not None:
            return fault.response()
        return app.handle(request)


def _url_host(host: str) -> str:
    try:
        socket.inet_pton(socket.AF_INET6, host)
    except OSError:
        return host
    return f"[{host}]"
