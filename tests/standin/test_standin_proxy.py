"""The proxy: CONNECT tunnels to fixed host names, absolute-form requests, the refusing proxy."""

from __future__ import annotations

import http.client
import json
import ssl
import time
import urllib.parse

import pytest
from nuv.testing._dingtalk import signature


def test_connect_to_the_cloudflare_host_reaches_the_api(fresh_standin, tunnel):
    fresh_standin.add_zone("example.com")
    cloudflare = tunnel("api.cloudflare.com", proxy_auth="Basic dXNlcjpwYXNz")
    for _ in range(3):  # one tunnel, several requests
        reply = cloudflare.request(
            "GET", "/client/v4/zones", headers={"Authorization": f"Bearer {fresh_standin.token}"}
        )
        assert [z["name"] for z in reply.json["result"]] == ["example.com"]
    # The certificate was made for the CONNECT host and verified against it.
    assert cloudflare.conn.sock.getpeercert()["subjectAltName"] == (("DNS", "api.cloudflare.com"),)
    entries = fresh_standin.requests("cloudflare")
    assert len(entries) == 3
    entry = entries[0]
    assert (entry["via_proxy"], entry["host"], entry["target"]) == (True, "api.cloudflare.com", "/client/v4/zones")
    assert entry["connect"]["target"] == "api.cloudflare.com:443"
    assert entry["connect"]["proxy_authorization"] == "Basic ***"  # recorded, never in clear


def test_connect_to_the_dingtalk_host_reaches_the_robot(fresh_standin, tunnel):
    fresh_standin.add_robot("tok", "SECxyz")
    timestamp = str(round(time.time() * 1000))
    sign = urllib.parse.quote_plus(signature("SECxyz", timestamp))
    target = f"/robot/send?access_token=tok&timestamp={timestamp}&sign={sign}"
    body = {"msgtype": "text", "text": {"content": "hi"}}
    assert tunnel("oapi.dingtalk.com").request("POST", target, body).json == {"errcode": 0, "errmsg": "ok"}
    assert fresh_standin.messages("tok")[0]["body"]["text"]["content"] == "hi"
    assert fresh_standin.requests("dingtalk")[0]["host"] == "oapi.dingtalk.com"


def test_other_hosts_are_routed_by_path(tunnel):
    other = tunnel("anything.example")
    assert other.request("GET", "/_test/echo").json["target"] == "/_test/echo"
    assert other.request("GET", "/elsewhere").status == 404


def test_absolute_form_plain_http(fresh_standin):
    conn = http.client.HTTPConnection("127.0.0.1", fresh_standin.proxy_port, timeout=30)
    try:
        conn.request("GET", "http://api.cloudflare.com/client/v4/zones", headers={"Authorization": "Bearer wrong"})
        response = conn.getresponse()
        assert (response.status, json.loads(response.read())["errors"][0]["code"]) == (403, 9109)
    finally:
        conn.close()
    [entry] = fresh_standin.requests()
    assert (entry["target"], entry["path"], entry["via_proxy"], entry["connect"]) == (
        "http://api.cloudflare.com/client/v4/zones",
        "/client/v4/zones",
        True,
        None,
    )


def test_refusing_proxy(fresh_standin):
    conn = http.client.HTTPSConnection(
        "127.0.0.1",
        fresh_standin.refusing_proxy_port,
        timeout=30,
        context=ssl.create_default_context(cafile=fresh_standin.ca_file),
    )
    conn.set_tunnel("api.cloudflare.com", 443)
    with pytest.raises(OSError, match="Tunnel connection failed: 403"):
        conn.request("GET", "/client/v4/zones")
    conn.close()
    assert fresh_standin.requests() == []
