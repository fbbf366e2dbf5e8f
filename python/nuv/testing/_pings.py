"""Heartbeat endpoints of the monitoring services cron jobs report to: a
healthchecks.io check (``https://hc-ping.com/<uuid>`` with ``/start``,
``/fail`` or an exit status after it; ``/ping/<uuid>`` on a self-hosted
instance) and an Uptime Kuma push URL (``/api/push/<token>?status=up&msg=``).

Every ping is kept, in order, as what a test asserts on: which check, what it
said (start, success, fail, up, down) and the text it carried.
"""

from __future__ import annotations

import threading
from typing import Any

from ._http import Request, Response, json_response, text_response

HEALTHCHECKS_HOST = "hc-ping.com"


def is_ping(request: Request) -> bool:
    return (
        request.host == HEALTHCHECKS_HOST
        or request.path.startswith("/ping/")
        or request.path.startswith("/api/push/")
    )


class PingEndpoint:
    name = "ping"

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pings: list[dict[str, Any]] = []

    def reset(self) -> None:
        with self._lock:
            self._pings.clear()

    def pings(self) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(ping) for ping in self._pings]

    def handle(self, request: Request) -> Response:
        if request.method not in ("GET", "HEAD", "POST"):
            return text_response(405, "method not allowed\n")
        body = request.body.decode("utf-8", "replace")
        if request.path.startswith("/api/push/"):
            token = request.path.removeprefix("/api/push/").strip("/")
            status = request.query.get("status", ["up"])[0]
            if not token or status not in ("up", "down"):
                return json_response(404, {"ok": False, "msg": "Monitor not found or not active."})
            self._keep("kuma", token, status, request.query.get("msg", [""])[0])
            return json_response(200, {"ok": True})
        path = request.path.removeprefix("/ping") if request.path.startswith("/ping/") else request.path
        segments = [s for s in path.split("/") if s]
        kind = "success"
        if len(segments) > 1 and (segments[-1] in ("start", "fail", "log") or segments[-1].isdigit()):
            kind = segments.pop()
            kind = "success" if kind == "0" else "fail" if kind.isdigit() else kind
        if not segments:
            return text_response(404, "not found\n")
        self._keep("healthchecks", "/".join(segments), kind, body)
        return text_response(200, "OK")

    def _keep(self, service: str, check: str, kind: str, text: str) -> None:
        with self._lock:
            self._pings.append({"service": service, "check": check, "kind": kind, "text": text})
