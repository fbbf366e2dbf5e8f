"""Helpers for testing the stand-ins themselves, with the standard library as the client."""

from __future__ import annotations

import http.client
import json
import ssl
from dataclasses import dataclass
from typing import Any

import pytest
from nuv.testing import StandIn


def pytest_configure(config: pytest.Config) -> None:
    # The project's root conftest normally loads the plugin; this keeps
    # `pytest tests/standin` working on its own too.
    if not config.pluginmanager.hasplugin("nuv.testing.pytest_plugin"):
        config.pluginmanager.import_plugin("nuv.testing.pytest_plugin")


@dataclass
class Reply:
    status: int
    headers: http.client.HTTPMessage
    body: bytes

    @property
    def json(self) -> Any:
        return json.loads(self.body)

    @property
    def codes(self) -> list[int]:
        """Error codes of a Cloudflare failure envelope (checked to be one)."""
        payload = self.json
        assert payload["success"] is False and payload["result"] is None and payload["messages"] == []
        return [e["code"] for e in payload["errors"]]


class Client:
    """One keep-alive HTTPS connection to the stand-in, direct or through its proxy."""

    def __init__(self, standin: StandIn, host: str | None = None, proxy_auth: str | None = None) -> None:
        self.standin = standin
        self.context = ssl.create_default_context(cafile=standin.ca_file)
        if host is None:
            self.conn = http.client.HTTPSConnection("127.0.0.1", standin.https_port, context=self.context, timeout=30)
        else:
            self.conn = http.client.HTTPSConnection("127.0.0.1", standin.proxy_port, context=self.context, timeout=30)
            headers = {"Proxy-Authorization": proxy_auth} if proxy_auth else None
            self.conn.set_tunnel(host, 443, headers=headers)

    def request(self, method: str, target: str, body: Any = None, headers: dict[str, str] | None = None) -> Reply:
        if body is not None and not isinstance(body, (bytes, str)):
            body = json.dumps(body)
        self.conn.request(method, target, body=body, headers=headers or {})
        response = self.conn.getresponse()
        return Reply(response.status, response.headers, response.read())

    def close(self) -> None:
        self.conn.close()


class Api:
    """The Cloudflare stand-in, called with the default token unless told otherwise."""

    def __init__(self, client: Client, token: str) -> None:
        self.client, self.token = client, token

    def __call__(self, method: str, path: str, body: Any = None, token: str | None = None) -> Reply:
        headers = {"Authorization": f"Bearer {token or self.token}"}
        if body is not None:
            headers["Content-Type"] = "application/json"
        return self.client.request(method, "/client/v4" + path, body, headers)


@pytest.fixture
def client(fresh_standin: StandIn) -> Any:
    c = Client(fresh_standin)
    yield c
    c.close()


@pytest.fixture
def tunnel(fresh_standin: StandIn) -> Any:
    """Factory of clients whose connection goes through a CONNECT tunnel to a given host."""
    made: list[Client] = []

    def open_tunnel(host: str, proxy_auth: str | None = None) -> Client:
        made.append(Client(fresh_standin, host=host, proxy_auth=proxy_auth))
        return made[-1]

    yield open_tunnel
    for c in made:
        c.close()


@pytest.fixture
def api(client: Client, fresh_standin: StandIn) -> Api:
    return Api(client, fresh_standin.token)


@pytest.fixture
def zone(fresh_standin: StandIn) -> dict[str, Any]:
    return fresh_standin.add_zone("example.com")
