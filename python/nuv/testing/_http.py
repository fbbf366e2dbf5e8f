"""A small threaded HTTP/1.1 server core: connections, the proxy, the request record.

Written on bare sockets rather than ``http.server`` because the stand-in must
keep the raw request target and header order, turn a CONNECT into a TLS tunnel
on the same socket, and misbehave on purpose (close mid-header and so on).
"""

from __future__ import annotations

import http
import json
import socket
import ssl
import sys
import threading
import time
import traceback
import urllib.parse
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

MAX_LINE = 64 * 1024
MAX_HEADERS = 200
MAX_BODY = 64 * 1024 * 1024
# A keep-alive connection idle this long is dropped, so a client that died
# silently does not pin a thread forever.
IDLE_TIMEOUT = 120.0
HANDSHAKE_TIMEOUT = 10.0
# Bodies kept in the request record are cut here; tests never need more.
RECORDED_BODY_LIMIT = 4 * 1024 * 1024
RECORD_LIMIT = 20000


class BadRequest(Exception):
    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status


class SocketReader:
    """Buffered reads whose buffer stays in plain sight.

    After a CONNECT, bytes read past the request (a ClientHello sent before
    the 200) must be noticed; ``makefile`` would hide them in its own buffer.
    """

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = bytearray()

    def _fill(self) -> bool:
        chunk = self.sock.recv(65536)
        if not chunk:
            return False
        self.buffer += chunk
        return True

    def readline(self, limit: int = MAX_LINE) -> bytes:
        """One line with its LF; b"" at EOF; BadRequest when longer than ``limit``."""
        start = 0
        while True:
            end = self.buffer.find(b"\n", start)
            if end >= 0:
                line = bytes(self.buffer[: end + 1])
                del self.buffer[: end + 1]
                return line
            if len(self.buffer) > limit:
                raise BadRequest(431, "line too long")
            start = len(self.buffer)
            if not self._fill():
                line = bytes(self.buffer)
                self.buffer.clear()
                return line

    def read(self, size: int) -> bytes:
        while len(self.buffer) < size:
            if not self._fill():
                raise BadRequest(400, "body ended early")
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data


def decode_text(data: bytes) -> str:
    """UTF-8 when it is UTF-8, else latin-1, so every body survives a JSON round trip."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


@dataclass
class Request:
    method: str
    target: str
    version: str
    headers: list[tuple[str, str]]
    body: bytes
    path: str
    query: dict[str, list[str]]
    host: str
    via_proxy: bool = False
    connect: dict[str, Any] | None = None
    app: str = "other"

    def header(self, name: str) -> str | None:
        return _header(self.headers, name.lower())

    def record(self) -> dict[str, Any]:
        return {
            "app": self.app,
            "method": self.method,
            "target": self.target,
            "path": self.path,
            "query": self.query,
            "headers": [[k, v] for k, v in self.headers],
            "body": decode_text(self.body[:RECORDED_BODY_LIMIT]),
            "via_proxy": self.via_proxy,
            "host": self.host,
            "connect": self.connect,
            "time": time.time(),
        }


@dataclass
class Response:
    status: int
    body: bytes | Iterable[bytes] = b""
    headers: list[tuple[str, str]] = field(default_factory=list)
    # Needed when ``body`` is an iterator, so Content-Length can still be sent.
    length: int | None = None
    close: bool = False
    # When set, takes the socket over after the request was read; the
    # connection is closed afterwards. Used to misbehave on purpose.
    takeover: Callable[[socket.socket], None] | None = None


def json_response(status: int, payload: Any, headers: list[tuple[str, str]] | None = None) -> Response:
    body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
    return Response(status, body, [("Content-Type", "application/json; charset=utf-8"), *(headers or [])])


def text_response(status: int, text: str | bytes, content_type: str = "text/plain; charset=utf-8") -> Response:
    body = text.encode("utf-8") if isinstance(text, str) else text
    return Response(status, body, [("Content-Type", content_type)])


class RequestLog:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: deque[dict[str, Any]] = deque(maxlen=RECORD_LIMIT)

    def add(self, entry: dict[str, Any]) -> None:
        with self._lock:
            self._entries.append(entry)

    def entries(self) -> list[dict[str, Any]]:
        with self._lock:
            return list(self._entries)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()


Dispatch = Callable[[Request], Response]


def _split_host(authority: str) -> tuple[str, int | None]:
    """'host:port' / '[v6]:port' / 'host' -> (host, port)."""
    if authority.startswith("["):
        end = authority.find("]")
        host, rest = authority[1:end], authority[end + 1 :]
        return host, int(rest[1:]) if rest.startswith(":") and rest[1:].isdigit() else None
    host, sep, port = authority.rpartition(":")
    if sep and port.isdigit():
        return host, int(port)
    return authority, None


def _read_headers(reader: SocketReader) -> list[tuple[str, str]]:
    headers: list[tuple[str, str]] = []
    while True:
        line = reader.readline()
        if not line:
            raise BadRequest(400, "connection closed inside the header")
        if line in (b"\r\n", b"\n"):
            return headers
        if len(headers) >= MAX_HEADERS:
            raise BadRequest(431, "too many header fields")
        text = line.rstrip(b"\r\n").decode("latin-1")
        name, sep, value = text.partition(":")
        if not sep or not name or name != name.strip():
            raise BadRequest(400, "malformed header line")
        headers.append((name, value.strip(" \t")))


def _header(headers: list[tuple[str, str]], name: str) -> str | None:
    for key, value in headers:
        if key.lower() == name:
            return value
    return None


def _read_chunked(reader: SocketReader) -> bytes:
    body = bytearray()
    while True:
        size_line = reader.readline().split(b";", 1)[0].strip()
        try:
            size = int(size_line, 16)
        except ValueError:
            raise BadRequest(400, "bad chunk size") from None
        if size == 0:
            while reader.readline() not in (b"\r\n", b"\n", b""):
                pass  # trailers carry nothing the stand-in needs
            return bytes(body)
        if len(body) + size > MAX_BODY:
            raise BadRequest(413, "body too large")
        body += reader.read(size)
        reader.readline()


def _read_body(sock: socket.socket, reader: SocketReader, version: str, headers: list[tuple[str, str]]) -> bytes:
    encoding = (_header(headers, "transfer-encoding") or "").lower()
    length_text = _header(headers, "content-length")
    if "chunked" not in encoding and length_text is None:
        return b""
    expect = (_header(headers, "expect") or "").lower()
    if expect == "100-continue" and version == "HTTP/1.1":
        # libcurl waits for this (up to a second) before sending larger bodies.
        sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    if "chunked" in encoding:
        return _read_chunked(reader)
    try:
        length = int(length_text or "")
    except ValueError:
        raise BadRequest(400, "bad Content-Length") from None
    if length < 0:
        raise BadRequest(400, "bad Content-Length")
    if length > MAX_BODY:
        raise BadRequest(413, "body too large")
    return reader.read(length)


def _write_response(sock: socket.socket, request_method: str, response: Response, close: bool) -> None:
    try:
        reason = http.HTTPStatus(response.status).phrase
    except ValueError:
        reason = "Status"
    body = response.body
    if isinstance(body, (bytes, bytearray)):
        length = len(body)
        chunks: Iterable[bytes] = (bytes(body),)
    else:
        assert response.length is not None, "a streamed body needs its length"
        length, chunks = response.length, body
    lines = [f"HTTP/1.1 {response.status} {reason}"]
    names = {name.lower() for name, _ in response.headers}
    lines += [f"{name}: {value}" for name, value in response.headers]
    if "date" not in names:
        lines.append("Date: " + time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime()))
    if "server" not in names:
        lines.append("Server: nuv-standin")
    no_body = request_method == "HEAD" or response.status in (204, 304) or 100 <= response.status < 200
    if response.status not in (204, 304) and not 100 <= response.status < 200:
        lines.append(f"Content-Length: {length}")
    if close:
        lines.append("Connection: close")
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    if no_body:
        sock.sendall(head)
        return
    first = True
    for chunk in chunks:
        # Header and a small body in one send: avoids a Nagle/delayed-ACK stall.
        sock.sendall(head + chunk if first else chunk)
        first = False
    if first:
        sock.sendall(head)


def _wants_close(version: str, headers: list[tuple[str, str]]) -> bool:
    tokens = {t.strip().lower() for t in (_header(headers, "connection") or "").split(",")}
    if version == "HTTP/1.0":
        return "keep-alive" not in tokens
    return "close" in tokens


def close_quietly(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


def log_error(where: str) -> None:
    print(f"nuv.testing: error in {where}:", file=sys.stderr)
    traceback.print_exc(file=sys.stderr)
    sys.stderr.flush()


@dataclass
class ConnectionContext:
    """How a connection came in; tunnels served over a CONNECT carry the proxy's facts."""

    via_proxy: bool = False
    connect: dict[str, Any] | None = None
    # For requests inside a tunnel the host is the CONNECT host.
    tunnel_host: str | None = None
    is_proxy: bool = False


ConnectHandler = Callable[[socket.socket, str, list[tuple[str, str]], "ConnectionContext"], None]


def serve_connection(
    sock: socket.socket,
    dispatch: Dispatch,
    context: ConnectionContext,
    on_connect: ConnectHandler | None = None,
    reader: SocketReader | None = None,
) -> None:
    """Serve HTTP/1.1 requests on ``sock`` until either side closes it. Closes ``sock``."""
    reader = reader or SocketReader(sock)
    try:
        while True:
            sock.settimeout(IDLE_TIMEOUT)
            try:
                line = reader.readline()
                if not line:
                    return
                if line in (b"\r\n", b"\n"):
                    continue  # a stray CRLF between requests is allowed (RFC 9112, 2.2)
                sock.settimeout(60.0)
                parts = line.rstrip(b"\r\n").decode("latin-1").split(" ")
                if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
                    raise BadRequest(400, "malformed request line")
                method, target, version = parts
                headers = _read_headers(reader)
                if method == "CONNECT":
                    if not context.is_proxy or on_connect is None:
                        raise BadRequest(405, "CONNECT is only served by the proxy")
                    if reader.buffer:
                        raise BadRequest(400, "data sent before the tunnel was established")
                    on_connect(sock, target, headers, context)
                    return
                body = _read_body(sock, reader, version, headers)
            except BadRequest as error:
                _write_response(sock, "GET", text_response(error.status, f"{error}\n"), close=True)
                return
            except (TimeoutError, ConnectionError, ssl.SSLError, OSError):
                return
            request = _make_request(method, target, version, headers, body, context)
            if request is None:
                _write_response(sock, method, text_response(400, "bad request target\n"), close=True)
                return
            try:
                response = dispatch(request)
            except Exception:
                log_error(f"{method} {target}")
                response = text_response(500, "stand-in internal error\n")
            if response.takeover is not None:
                try:
                    response.takeover(sock)
                except OSError:
                    pass
                return
            close = response.close or _wants_close(version, headers)
            try:
                _write_response(sock, method, response, close)
            except OSError:
                return
            if close:
                return
    finally:
        close_quietly(sock)


def _make_request(
    method: str,
    target: str,
    version: str,
    headers: list[tuple[str, str]],
    body: bytes,
    context: ConnectionContext,
) -> Request | None:
    host_header = _header(headers, "host") or ""
    if target.startswith(("http://", "https://")):
        # Absolute form: what a plain-HTTP proxy receives.
        parsed = urllib.parse.urlsplit(target)
        host = parsed.hostname or ""
        path, raw_query = parsed.path or "/", parsed.query
    elif target.startswith("/"):
        path, _, raw_query = target.partition("?")
        host = context.tunnel_host or _split_host(host_header)[0]
    elif target == "*" and method == "OPTIONS":
        path, raw_query, host = "*", "", _split_host(host_header)[0]
    else:
        return None
    query = urllib.parse.parse_qs(raw_query, keep_blank_values=True)
    return Request(
        method=method,
        target=target,
        version=version,
        headers=headers,
        body=body,
        path=path,
        query=query,
        host=host.lower(),
        via_proxy=context.via_proxy or target.startswith(("http://", "https://")),
        connect=context.connect,
    )


class Listener:
    """A listening socket on a free port whose connections each get a daemon thread."""

    def __init__(self, host: str, handle: Callable[[socket.socket], None], name: str) -> None:
        self.sock = socket.create_server((host, 0), backlog=128)
        self.host = host
        self.port: int = self.sock.getsockname()[1]
        self._handle = handle
        self._name = name
        self._thread = threading.Thread(target=self._accept_loop, name=f"{name}-accept", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def _accept_loop(self) -> None:
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return  # listener closed
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._serve, args=(conn,), name=self._name, daemon=True).start()

    def _serve(self, conn: socket.socket) -> None:
        try:
            self._handle(conn)
        except Exception:
            log_error(self._name)
            close_quietly(conn)

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


def tls_handler(context: ssl.SSLContext, dispatch: Dispatch) -> Callable[[socket.socket], None]:
    """Connection handler of a direct HTTPS listener."""

    def handle(conn: socket.socket) -> None:
        conn.settimeout(HANDSHAKE_TIMEOUT)
        try:
            tls = context.wrap_socket(conn, server_side=True)
        except (ssl.SSLError, OSError):
            # The client refused our certificate or went away: nothing to serve.
            close_quietly(conn)
            return
        serve_connection(tls, dispatch, ConnectionContext())

    return handle


def plain_handler(dispatch: Dispatch) -> Callable[[socket.socket], None]:
    def handle(conn: socket.socket) -> None:
        serve_connection(conn, dispatch, ConnectionContext())

    return handle


def proxy_handler(
    dispatch: Dispatch,
    tunnel_context: Callable[[str], ssl.SSLContext],
    refuse: bool = False,
) -> Callable[[socket.socket], None]:
    """Connection handler of the proxy: absolute-form requests and CONNECT tunnels.

    With ``refuse`` it is the hostile proxy: 403 to every CONNECT and request.
    """

    def on_connect(sock: socket.socket, target: str, headers: list[tuple[str, str]], ctx: ConnectionContext) -> None:
        if refuse:
            _write_response(sock, "CONNECT", text_response(403, "CONNECT refused by this proxy\n"), close=True)
            return
        host, port = _split_host(target)
        if not host or port is None:
            _write_response(sock, "CONNECT", text_response(400, "CONNECT needs host:port\n"), close=True)
            return
        sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        connect = {
            "target": target,
            "host": host.lower(),
            "port": port,
            "headers": [[k, v] for k, v in headers],
            "proxy_authorization": _header(headers, "proxy-authorization"),
        }
        tunnel = ConnectionContext(via_proxy=True, connect=connect, tunnel_host=host.lower())
        sock.settimeout(HANDSHAKE_TIMEOUT)
        try:
            first = sock.recv(1, socket.MSG_PEEK)
        except OSError:
            return
        if first != b"\x16":
            # Not a TLS record: a client tunnelling plain HTTP (libcurl's HTTPPROXYTUNNEL on http://).
            serve_connection(sock, dispatch, tunnel)
            return
        try:
            tls = tunnel_context(host).wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError):
            return
        serve_connection(tls, dispatch, tunnel)

    def refusing_dispatch(_request: Request) -> Response:
        return text_response(403, "this proxy refuses every request\n")

    def handle(conn: socket.socket) -> None:
        context = ConnectionContext(is_proxy=True)
        serve_connection(conn, refusing_dispatch if refuse else dispatch, context, on_connect=on_connect)

    return handle
