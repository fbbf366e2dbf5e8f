"""``/_test/...``: answers shaped for transport tests, well-behaved and hostile.

Every endless or slow answer is bounded (40 s) so a broken client test cannot
hang the stand-in's threads forever.
"""

from __future__ import annotations

import socket
import time
from collections.abc import Callable, Iterator

from ._http import Request, Response, decode_text, json_response, text_response

LONGEST_WAIT = 40.0
MOST_BYTES = 256 * 1024 * 1024
CHUNK = 64 * 1024
CUT_STATUS = b"HTTP/1.1 2"
# Cut after a Content-Length line: a header block merely ending at EOF is taken
# as complete by libcurl 7.88, so only this cut is one a client can notice.
CUT_HEADER = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\nX-Cut-Off-He"


def _float_param(request: Request, name: str, default: float) -> float:
    values = request.query.get(name)
    try:
        return float(values[0]) if values else default
    except ValueError:
        return default


def _takeover(write: Callable[[socket.socket], None]) -> Response:
    return Response(0, takeover=write)


class TestRoutes:
    name = "test"

    def __init__(self, other_host_url: Callable[[], str]) -> None:
        # Base URL of this server under another host name ("localhost" for "127.0.0.1").
        self._other_host_url = other_host_url

    def handle(self, request: Request) -> Response:
        rest = request.path.removeprefix("/_test/")
        name, _, argument = rest.partition("/")
        route: Callable[[Request, str], Response] | None = getattr(self, "_route_" + name.replace("-", "_"), None)
        if route is None:
            return text_response(404, f"no test route {request.path}\n")
        return route(request, argument)

    # ----- well-behaved ------------------------------------------------

    def _route_echo(self, request: Request, _arg: str) -> Response:
        return json_response(
            200,
            {
                "method": request.method,
                "target": request.target,
                "headers": [[k, v] for k, v in request.headers],
                "body": decode_text(request.body),
            },
        )

    def _route_status(self, request: Request, arg: str) -> Response:
        try:
            code = int(arg)
        except ValueError:
            return text_response(400, "status needs a number\n")
        if not 200 <= code <= 599:
            return text_response(400, "status must be 200..599\n")
        return text_response(code, f"status {code}")

    def _route_empty(self, request: Request, _arg: str) -> Response:
        return Response(200, b"", [("Content-Type", "text/plain")])

    def _route_nul(self, request: Request, _arg: str) -> Response:
        return text_response(200, b"abc\x00def", "application/octet-stream")

    def _route_invalid_utf8(self, request: Request, _arg: str) -> Response:
        return text_response(200, b"ok \xff\xfe", "text/plain")

    def _route_bytes(self, request: Request, arg: str) -> Response:
        try:
            size = int(arg)
        except ValueError:
            return text_response(400, "bytes needs a number\n")
        if not 0 <= size <= MOST_BYTES:
            return text_response(400, f"bytes must be 0..{MOST_BYTES}\n")

        def chunks() -> Iterator[bytes]:
            block = b"a" * CHUNK
            left = size
            while left > 0:
                piece = block if left >= CHUNK else block[:left]
                left -= len(piece)
                yield piece

        return Response(200, chunks(), [("Content-Type", "application/octet-stream")], length=size)

    def _route_redirect(self, request: Request, _arg: str) -> Response:
        to = (request.query.get("to") or [""])[0]
        if not to:
            return text_response(400, "redirect needs ?to=\n")
        return Response(302, b"redirecting\n", [("Location", to), ("Content-Type", "text/plain")])

    def _route_redirect_loop(self, request: Request, _arg: str) -> Response:
        return Response(302, b"again\n", [("Location", request.path), ("Content-Type", "text/plain")])

    def _route_redirect_other_host(self, request: Request, _arg: str) -> Response:
        # Same server, other host name: a client must not carry Authorization across.
        path = (request.query.get("path") or ["/_test/echo"])[0]
        return Response(
            302, b"elsewhere\n", [("Location", self._other_host_url() + path), ("Content-Type", "text/plain")]
        )

    def _route_slow(self, request: Request, _arg: str) -> Response:
        time.sleep(min(max(_float_param(request, "seconds", 1.0), 0.0), LONGEST_WAIT))
        return text_response(200, "slow")

    # ----- hostile -----------------------------------------------------

    def _route_close(self, request: Request, _arg: str) -> Response:
        """No answer at all: the connection closes once the request is read."""
        return _takeover(lambda sock: None)

    def _route_close_mid_status(self, request: Request, _arg: str) -> Response:
        return _takeover(lambda sock: sock.sendall(CUT_STATUS))

    def _route_close_mid_header(self, request: Request, _arg: str) -> Response:
        return _takeover(lambda sock: sock.sendall(CUT_HEADER))

    def _route_close_mid_body(self, request: Request, _arg: str) -> Response:
        def write(sock: socket.socket) -> None:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\n0123456789")

        return _takeover(write)

    def _route_endless(self, request: Request, _arg: str) -> Response:
        """A chunked body that trickles on (``interval`` s apart) until 40 s have passed, then drops."""
        interval = min(max(_float_param(request, "interval", 0.5), 0.01), 5.0)

        def write(sock: socket.socket) -> None:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n")
            deadline = time.monotonic() + LONGEST_WAIT
            while time.monotonic() < deadline:
                sock.sendall(b"10\r\nmore and more...\r\n")
                time.sleep(interval)

        return _takeover(write)

    def _route_flood(self, request: Request, _arg: str) -> Response:
        """A chunked body sent as fast as the client reads, ending after 40 s (for size limits)."""

        def write(sock: socket.socket) -> None:
            sock.sendall(
                b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
            )
            chunk = b"%x\r\n" % CHUNK + b"a" * CHUNK + b"\r\n"
            deadline = time.monotonic() + LONGEST_WAIT
            while time.monotonic() < deadline:
                sock.sendall(chunk)

        return _takeover(write)

    def _route_garbage(self, request: Request, _arg: str) -> Response:
        """Not HTTP at all."""
        return _takeover(lambda sock: sock.sendall(b"\x00\x01 this is not http\r\n\r\n"))
