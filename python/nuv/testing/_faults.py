"""Faults tests inject per route and by count: an answer instead of the service's,
a dropped connection, a delay, each before or after the service acted.

A fault replaces the service's answer, so the service's own rate limit does not
count the requests it answers without processing them.
"""

from __future__ import annotations

import re
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ._http import Request, Response, json_response, text_response

# Longest delay a test may ask for: enough to outlast any client timeout a test sets.
MAX_DELAY = 40.0
# Cloudflare's own answer to a client over its limit.
RATE_LIMITED = {
    "result": None,
    "success": False,
    "errors": [{"code": 971, "message": "Please wait and consider throttling your request speed"}],
    "messages": [],
}
# What the edge says for its 52x answers (it answers them with an HTML page).
EDGE_REASONS = {
    520: "Web server is returning an unknown error",
    521: "Web server is down",
    522: "Connection timed out",
    523: "Origin is unreachable",
    524: "A timeout occurred",
    525: "SSL handshake failed",
    526: "Invalid SSL certificate",
    527: "Railgun Listener to origin error",
}


def default_body(status: int, app: str) -> Response:
    """The answer a test gets when it names only a status."""
    if status == 429 and app == "cloudflare":
        return json_response(429, RATE_LIMITED)
    if status >= 500:
        reason = EDGE_REASONS.get(status, "Server error")
        page = f"<html><head><title>{status} {reason}</title></head><body><h1>{status} {reason}</h1></body></html>\n"
        return text_response(status, page, "text/html; charset=utf-8")
    return text_response(status, "")


@dataclass
class Fault:
    method: str | None
    pattern: re.Pattern[str]
    # None: the service's own answer (after ``delay``).
    status: int | None
    # Absent (the default answer for the status) is told apart from an empty body.
    body: Any
    has_body: bool
    headers: dict[str, str]
    # None: every matching request until the faults are cleared.
    remaining: int | None
    delay: float
    drop: bool
    # The service handles the request before the fault takes effect.
    processed: bool
    hits: int = 0

    def describe(self) -> dict[str, Any]:
        return {
            "method": self.method,
            "path_regex": self.pattern.pattern,
            "status": self.status,
            "remaining": self.remaining,
            "delay": self.delay,
            "drop": self.drop,
            "processed": self.processed,
            "hits": self.hits,
        }

    def apply(self, request: Request, handle: Callable[[Request], Response]) -> Response:
        real = handle(request) if self.processed or (self.status is None and not self.drop) else None
        if self.delay:
            time.sleep(self.delay)
        if self.drop:
            # Read, (maybe) acted on, never answered: the client sees the connection close.
            return Response(0, takeover=lambda _sock: None)
        if self.status is None:
            assert real is not None
            return real
        if not self.has_body:
            response = default_body(self.status, request.app)
        elif isinstance(self.body, (dict, list)):
            response = json_response(self.status, self.body)
        else:
            response = text_response(self.status, "" if self.body is None else str(self.body))
        response.headers += list(self.headers.items())
        return response


def _parse(fields: dict[str, Any]) -> Fault:
    method = fields.get("method")
    if method is not None and not isinstance(method, str):
        raise ValueError("method must be a string or null (any method)")
    drop = fields.get("drop", fields.get("close", False))
    if not isinstance(drop, bool):
        raise ValueError("drop must be true or false")
    processed = fields.get("processed", False)
    if not isinstance(processed, bool):
        raise ValueError("processed must be true or false")
    # The original control call always named a status (500 by default); a fault
    # that only delays or drops names none.
    status = fields.get("status", None if drop or "delay" in fields else 500)
    if status is not None and (not isinstance(status, int) or isinstance(status, bool) or not 100 <= status <= 599):
        raise ValueError("status must be an HTTP status or null (the service's own answer)")
    count = fields.get("count", 1)
    if count is not None and (not isinstance(count, int) or isinstance(count, bool) or count < 1):
        raise ValueError("count must be a positive integer or null (until cleared)")
    delay = fields.get("delay") or 0
    if not isinstance(delay, (int, float)) or isinstance(delay, bool) or not 0 <= delay <= MAX_DELAY:
        raise ValueError(f"delay must be a number of seconds from 0 to {MAX_DELAY:g}")
    try:
        pattern = re.compile(fields.get("path_regex") or "")
    except (re.error, TypeError) as bad:
        raise ValueError(f"path_regex: {bad}") from None
    headers = {str(k): str(v) for k, v in (fields.get("headers") or {}).items()}
    retry_after = fields.get("retry_after")
    if retry_after is not None:
        if isinstance(retry_after, bool) or not isinstance(retry_after, (int, float, str)):
            raise ValueError("retry_after must be seconds or an HTTP date")
        headers["Retry-After"] = str(retry_after)
    return Fault(
        method=None if method in (None, "*") else method.upper(),
        pattern=pattern,
        status=status,
        body=fields.get("body"),
        has_body="body" in fields,
        headers=headers,
        remaining=count,
        delay=float(delay),
        drop=drop,
        processed=processed,
    )


class Faults:
    """Faults in the order they were added; the first that matches a request takes it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queue: list[Fault] = []

    def add(self, fields: dict[str, Any]) -> None:
        fault = _parse(fields)
        with self._lock:
            self._queue.append(fault)

    def take(self, request: Request) -> Fault | None:
        with self._lock:
            for fault in self._queue:
                if (fault.method is None or fault.method == request.method) and fault.pattern.search(request.path):
                    fault.hits += 1
                    if fault.remaining is not None:
                        fault.remaining -= 1
                        if fault.remaining == 0:
                            self._queue.remove(fault)
                    return fault
        return None

    def pending(self) -> list[dict[str, Any]]:
        with self._lock:
            return [fault.describe() for fault in self._queue]

    def clear(self) -> None:
        with self._lock:
            self._queue.clear()
