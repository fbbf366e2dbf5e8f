"""The HTTP core and the /_test/ routes: keep-alive, the request record, well-behaved and hostile answers."""

from __future__ import annotations

import socket
import ssl

import pytest


def raw_exchange(standin, request: bytes, port: int | None = None) -> bytes:
    """Send bytes as they are over TLS and read until the server closes."""
    context = ssl.create_default_context(cafile=standin.ca_file)
    with socket.create_connection(("127.0.0.1", port or standin.https_port), timeout=30) as plain:
        with context.wrap_socket(plain, server_hostname="127.0.0.1") as tls:
            tls.sendall(request)
            data = b""
            while chunk := tls.recv(65536):
                data += chunk
            return data


def test_keep_alive_serves_many_requests_on_one_connection(client):
    first_socket = None
    for i in range(50):
        code = (200, 201, 404, 500, 503)[i % 5]
        reply = client.request("GET", f"/_test/status/{code}")
        assert (reply.status, reply.body) == (code, f"status {code}".encode())
        first_socket = first_socket or client.conn.sock
        assert client.conn.sock is first_socket  # http.client would have reconnected after a close


def test_connection_close_is_honoured(fresh_standin):
    data = raw_exchange(fresh_standin, b"GET /_test/empty HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    assert data.startswith(b"HTTP/1.1 200 OK\r\n")
    assert b"\r\nContent-Length: 0\r\n" in data and b"\r\nConnection: close\r\n" in data


def test_request_record_keeps_the_wire_form(fresh_standin, client):
    target = "/_test/echo?a=1&b=x%20y&b=%2B&empty="
    headers = {"X-Second": "2", "X-First": "1"}
    echoed = client.request("PUT", target, "body \u00e9", headers).json
    assert (echoed["method"], echoed["target"], echoed["body"]) == ("PUT", target, "body \u00e9")
    [entry] = fresh_standin.requests()
    assert (entry["app"], entry["method"], entry["target"], entry["path"]) == ("test", "PUT", target, "/_test/echo")
    assert entry["query"] == {"a": ["1"], "b": ["x y", "+"], "empty": [""]}
    names = [name for name, _ in entry["headers"]]
    assert names.index("X-Second") < names.index("X-First")
    assert (entry["body"], entry["via_proxy"], entry["host"]) == ("body \u00e9", False, "127.0.0.1")
    assert fresh_standin.requests("cloudflare") == []


def test_request_bodies_chunked_and_after_100_continue(fresh_standin):
    chunked = raw_exchange(
        fresh_standin,
        b"POST /_test/echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
    )
    assert b'"body": "hello world"' in chunked
    expect = raw_exchange(
        fresh_standin,
        b"POST /_test/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
        b"Expect: 100-continue\r\nConnection: close\r\n\r\nok",
    )
    assert expect.startswith(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n")


def test_body_shapes(client):
    assert client.request("GET", "/_test/empty").body == b""
    assert client.request("GET", "/_test/nul").body == b"abc\x00def"
    assert client.request("GET", "/_test/invalid-utf8").body == b"ok \xff\xfe"
    big = client.request("GET", f"/_test/bytes/{3 * 1024 * 1024 + 7}")
    assert (int(big.headers["Content-Length"]), len(big.body), set(big.body)) == (
        3 * 1024 * 1024 + 7,
        3 * 1024 * 1024 + 7,
        {97},
    )
    assert client.request("GET", "/_test/slow?seconds=0.1").body == b"slow"


def test_redirects(fresh_standin, client):
    to = client.request("GET", "/_test/redirect?to=https%3A%2F%2Fexample.invalid%2Fx")
    assert (to.status, to.headers["Location"]) == (302, "https://example.invalid/x")
    loop = client.request("GET", "/_test/redirect-loop")
    assert (loop.status, loop.headers["Location"]) == (302, "/_test/redirect-loop")
    other = client.request("GET", "/_test/redirect-other-host")
    assert other.headers["Location"] == f"https://localhost:{fresh_standin.https_port}/_test/echo"


@pytest.mark.parametrize(
    ("route", "received"),
    [
        ("close", b""),
        ("close-mid-status", b"HTTP/1.1 2"),
        ("close-mid-header", b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\nX-Cut-Off-He"),
        ("close-mid-body", b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\n0123456789"),
        ("garbage", b"\x00\x01 this is not http\r\n\r\n"),
    ],
)
def test_hostile_answers_end_the_connection(fresh_standin, route, received):
    # No Connection: close in the request: the server alone decides to hang up.
    assert raw_exchange(fresh_standin, f"GET /_test/{route} HTTP/1.1\r\nHost: x\r\n\r\n".encode()) == received


def test_endless_body_keeps_coming(client):
    client.conn.request("GET", "/_test/endless?interval=0.01")
    response = client.conn.getresponse()
    assert response.getheader("Transfer-Encoding") == "chunked"
    assert response.read(64) == b"more and more..." * 4


@pytest.mark.parametrize(("port_key", "reason"), [("expired_port", "expired"), ("wrong_host_port", "match")])
def test_bad_certificates_fail_verification(fresh_standin, port_key, reason):
    context = ssl.create_default_context(cafile=fresh_standin.ca_file)
    with socket.create_connection(("127.0.0.1", fresh_standin.info[port_key]), timeout=30) as plain:
        with pytest.raises(ssl.SSLCertVerificationError, match=reason):
            context.wrap_socket(plain, server_hostname="127.0.0.1")
