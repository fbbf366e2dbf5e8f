"""A server that misbehaves: every case ends, within the 30-second bound, in
the value a user is told to expect (libcurl's code and its text, the text
alone for DingTalk sends, UnicodeDecodeError for a body that is not UTF-8,
the body cut at its first NUL), and the Authorization header never follows
a redirect to another host."""

from __future__ import annotations

import json
import re
import threading
import time
from collections.abc import Callable

import pytest
from nuv import Cloudflare, DingTalk, TransportError
from support import closed_port

BOUND = 31.0  # the transfer timeout is 30 s; a second for everything around it

NOTHING = "Server returned nothing (no headers, no data)"
PARTIAL = "Transferred a partial file"
PROTOCOL = "Unsupported protocol"
REDIRECTS = "Number of redirects hit maximum amount"
WRITE_ERROR = "Failed writing received data to disk/application"
TIMEOUT = "Timeout was reached"
CERTIFICATE = "SSL peer certificate or SSH remote key was not OK"
RECEIVE = "Failure when receiving data from the peer"

ROBOT = "hostile-robot-0123456789abcdef"
ROBOT_SECRET = "SEC" + "9f8e7d" * 10
OK = '{"errcode": 0, "errmsg": "ok"}'
ZONE_ID = "0123456789abcdef0123456789abcdef"
CLOUDFLARE_URL = "https://api.cloudflare.com/client/v4"

# The /_test/ routes that misbehave, and how each ends.
HOSTILE_ROUTES = [
    pytest.param("close", 52, NOTHING, id="closed-unanswered"),
    pytest.param("close-mid-status", 52, NOTHING, id="closed-mid-status"),
    pytest.param("close-mid-header", 18, PARTIAL, id="closed-mid-header"),
    pytest.param("close-mid-body", 18, PARTIAL, id="closed-mid-body"),
    pytest.param("garbage", 1, PROTOCOL, id="not-http"),
    pytest.param("redirect-loop", 47, REDIRECTS, id="endless-redirects"),
    pytest.param("flood", 23, WRITE_ERROR, id="body-beyond-64MiB"),
]



def timed(call: Callable[[], object]) -> object:
    started = time.monotonic()
    result = call()
    assert time.monotonic() - started < BOUND
    return result


def in_new_thread(call: Callable[[], object]) -> object:
    results: list[object] = []
    thread = threading.Thread(target=lambda: results.append(call()))
    thread.start()
    thread.join(BOUND + 5)
    assert not thread.is_alive() and len(results) == 1
    return results[0]


def authorization(request: dict) -> list[str]:
    return [value for name, value in request["headers"] if name.lower() == "authorization"]


@pytest.fixture
def hostile(fresh_standin, client_env) -> Callable[[str], Cloudflare]:
    """A client whose base URL is one /_test/ route, with a zone selected by
    hand, so that every method's path lands on that route."""

    def make(route: str) -> Cloudflare:
        # One attempt, so that each case is one request within the bound.
        cf = Cloudflare(api_token="hostile-token", api_url=fresh_standin.url(f"/_test/{route}"), retries=0)
        cf.zone, cf.zone_id = "example.com", ZONE_ID
        return cf

    return make


@pytest.fixture
def robot(fresh_standin, client_env) -> DingTalk:
    fresh_standin.add_robot(ROBOT, ROBOT_SECRET, rate_limit=None)
    client_env.setenv("https_proxy", fresh_standin.proxy_url)
    return DingTalk(ROBOT, ROBOT_SECRET)


class TestCloudflare:
    @pytest.mark.parametrize("reused", [False, True], ids=["new-connection", "reused-connection"])
    @pytest.mark.parametrize("route, status, text", HOSTILE_ROUTES)
    def test_each_hostile_answer_ends_in_its_code_and_text(self, fresh_standin, client_env, capfd, route, status,
                                                           text, reused):  # fmt: skip
        cf = Cloudflare(api_token="t", api_url=fresh_standin.url("/_test"))
        if reused:  # libcurl retries a dead reused connection once; the outcome must not change
            assert cf.get("/empty") == (200, "")
            assert timed(lambda: cf.get(f"/{route}")) == (status, text)
        else:  # connections are kept per thread: a new thread has none yet
            assert in_new_thread(lambda: timed(lambda: cf.get(f"/{route}"))) == (status, text)
        assert capfd.readouterr().err == ""

    METHODS = [
        pytest.param(lambda cf: cf.get("/x"), id="get"),
        pytest.param(lambda cf: cf.dns_get_records(), id="dns_get_records"),
        pytest.param(lambda cf: cf.dns_get_records("example.com", "A", "a b", "c&d"), id="dns_get_records-filters"),
        pytest.param(lambda cf: cf.dns_create_record("A", "h.example.com", "192.0.2.1", True, 1), id="create"),
        pytest.param(lambda cf: cf.dns_update_record("r1", "MX", "example.com", "mx|5", 0, 60), id="update"),
        pytest.param(lambda cf: cf.dns_delete_record("r1"), id="delete"),
        pytest.param(lambda cf: cf.change_always_use_https("on"), id="always_use_https"),
        pytest.param(lambda cf: cf.change_ssl_model("full"), id="ssl"),
        pytest.param(lambda cf: cf.change_automatic_https_rewrites("off"), id="automatic_https_rewrites"),
        pytest.param(lambda cf: cf.purge_cache(), id="purge_cache"),
    ]

    @pytest.mark.parametrize("route, status, text", [HOSTILE_ROUTES[3], HOSTILE_ROUTES[5]])
    @pytest.mark.parametrize("call", METHODS)
    def test_every_method_returns_the_failure(self, hostile, call, route, status, text):
        assert timed(lambda: call(hostile(route))) == (status, text)

    @pytest.mark.parametrize("route, status, text", [HOSTILE_ROUTES[0], HOSTILE_ROUTES[2]])
    def test_zone_lookup_raises_the_failure_text(self, hostile, route, status, text):
        cf = hostile(route)
        with pytest.raises(TransportError, match=f"^{re.escape(text)}(\n|$)") as raised:
            timed(lambda: cf.query("example.org"))
        assert (cf.zone, cf.zone_id) == ("example.com", ZONE_ID)  # left as it was
        # The listing of another zone reports the lookup's failure as its cause.
        with pytest.raises(TypeError, match="^Domain not found: example.org\n") as raised:
            timed(lambda: cf.dns_get_records("example.org"))
        assert str(raised.value.__cause__) == text

    @pytest.mark.parametrize("route, status, text", [HOSTILE_ROUTES[1], HOSTILE_ROUTES[3]])
    def test_reconciliation_raises_the_listing_failure_and_writes_nothing(self, hostile, fresh_standin, route,
                                                                          status, text):  # fmt: skip
        cf = hostile(route)
        with pytest.raises(TransportError, match=f"^{re.escape(text)}(\n|$)"):
            timed(lambda: cf.dns_ensured_record("example.com", "A", "h.example.com", "192.0.2.1", False, 1))
        assert [r["method"] for r in fresh_standin.requests()] in (["GET"], ["GET", "GET"])

    def test_a_body_ends_at_its_first_nul(self, hostile):
        assert timed(lambda: hostile("nul").get()) == (200, "abc")

    def test_a_body_that_is_not_utf8_raises(self, hostile):
        with pytest.raises(UnicodeDecodeError) as raised:
            timed(lambda: hostile("invalid-utf8").get())
        assert (raised.value.encoding, raised.value.object, raised.value.start) == ("utf-8", b"ok \xff\xfe", 3)

    @pytest.mark.parametrize("port", ["expired_port", "wrong_host_port"], ids=["expired", "wrong-host"])
    def test_a_certificate_that_does_not_verify(self, fresh_standin, client_env, port):
        cf = Cloudflare(api_token="t", api_url=f"https://127.0.0.1:{fresh_standin.info[port]}/client/v4")
        assert timed(cf.get) == (60, CERTIFICATE)
        assert fresh_standin.requests() == []  # nothing was sent to it

    def test_a_proxy_that_refuses_connect(self, fresh_standin, client_env):
        cf = Cloudflare("", "", "t", fresh_standin.refusing_proxy_url, CLOUDFLARE_URL)
        assert timed(cf.get) == (56, RECEIVE)
        assert fresh_standin.requests() == []

    def test_a_body_that_never_ends_times_out_at_30_seconds(self, hostile):
        # The one test here that waits for the timeout.
        assert timed(lambda: hostile("endless").get("?interval=0.5")) == (28, TIMEOUT)


class TestAuthorizationAcrossHosts:
    """`localhost` and `127.0.0.1` reach the same server, but are two hosts to
    a client: the bearer token may go to the one it was meant for only."""

    def test_not_sent_after_a_redirect_from_127_0_0_1_to_localhost(self, fresh_standin, client_env):
        cf = Cloudflare(api_token="bearer-for-127", api_url=fresh_standin.url("/_test"))
        status, body = timed(lambda: cf.get("/redirect-other-host?path=/_test/echo"))
        assert status == 200 and json.loads(body)["target"] == "/_test/echo"
        first, second = fresh_standin.requests()
        assert (first["host"], authorization(first)) == ("127.0.0.1", ["Bearer ***"])
        assert (second["host"], authorization(second)) == ("localhost", [])

    def test_not_sent_after_a_redirect_from_localhost_to_127_0_0_1(self, fresh_standin, client_env):
        cf = Cloudflare(api_token="bearer-for-localhost", api_url=fresh_standin.url("/_test").replace(
            "127.0.0.1", "localhost"))  # fmt: skip
        timed(lambda: cf.get(f"/redirect?to={fresh_standin.url('/_test/status/204')}"))
        first, second = fresh_standin.requests()
        assert (first["host"], authorization(first)) == ("localhost", ["Bearer ***host"])
        assert (second["host"], second["path"], authorization(second)) == ("127.0.0.1", "/_test/status/204", [])

    def test_still_sent_after_a_redirect_on_the_same_host(self, fresh_standin, client_env):
        cf = Cloudflare(api_token="bearer-same-host", api_url=fresh_standin.url("/_test"))
        assert timed(lambda: cf.get(f"/redirect?to={fresh_standin.url('/_test/status/201')}")) == (201, "status 201")
        assert [authorization(r) for r in fresh_standin.requests()] == [["Bearer ***host"]] * 2

    def test_not_sent_when_the_api_host_redirects_elsewhere(self, fresh_standin, client_env):
        # Under the service's real host name, through the proxy.
        elsewhere = {"Location": "https://elsewhere.test/_test/echo"}
        fresh_standin.add_fault("GET", "/zones$", status=302, headers=elsewhere)
        cf = Cloudflare("", "", "bearer-for-cloudflare", fresh_standin.proxy_url, CLOUDFLARE_URL)
        status, body = timed(lambda: cf.get("/zones"))
        assert status == 200 and not [v for k, v in json.loads(body)["headers"] if k.lower() == "authorization"]
        first, second = fresh_standin.requests()
        assert (first["host"], authorization(first)) == ("api.cloudflare.com", ["Bearer ***lare"])
        assert (second["host"], authorization(second)) == ("elsewhere.test", [])
        assert second["connect"]["host"] == "elsewhere.test"


class TestDingTalk:
    """A send returns the failure's text as its result, never raises for it
    (except for a body that is not UTF-8), and traces it as the result."""

    ROBOT_PATH = "^/robot/send$"

    @pytest.mark.parametrize(
        "fault, text",
        [
            # Twice: libcurl retries once when a reused connection dies unanswered.
            pytest.param({"close": True, "count": 2}, NOTHING, id="closed-unanswered"),
            pytest.param({"status": 302, "headers": {"Location": "/robot/send"}, "count": 40}, REDIRECTS,
                         id="endless-redirects"),  # fmt: skip
            pytest.param({"status": 200, "body": "abc\0def"}, "abc", id="nul-in-body"),
            pytest.param({"status": 502, "body": "upstream down"}, "upstream down", id="http-error"),
        ],
    )
    def test_faults_of_the_robot_host(self, fresh_standin, robot, capfd, fault, text):
        # Any method: after a 302 libcurl asks again with GET.
        fresh_standin.add_fault(None, self.ROBOT_PATH, **fault)
        assert timed(lambda: robot.send_markdown("t", "x", ["1"])) == text
        out, err = capfd.readouterr()
        assert out.splitlines()[-1] == f"Result: {text}" and err == ""
        assert fresh_standin.messages(ROBOT) == []

    @pytest.mark.parametrize("route, text", [
        pytest.param("close-mid-header", PARTIAL, id="closed-mid-header"),
        pytest.param("close-mid-body", PARTIAL, id="closed-mid-body"),
        pytest.param("garbage", PROTOCOL, id="not-http"),
        pytest.param("flood", WRITE_ERROR, id="body-beyond-64MiB"),
    ])  # fmt: skip
    def test_redirected_to_a_hostile_host(self, fresh_standin, robot, capfd, route, text):
        location = f"https://elsewhere.test/_test/{route}"
        fresh_standin.add_fault("POST", self.ROBOT_PATH, status=302, headers={"Location": location})
        assert timed(lambda: robot.send_text("x")) == text
        out, err = capfd.readouterr()
        assert out.splitlines()[-1] == f"Result: {text}" and err == ""
        assert [r["host"] for r in fresh_standin.requests()] == ["oapi.dingtalk.com", "elsewhere.test"]

    def test_a_body_that_is_not_utf8_raises(self, fresh_standin, robot):
        location = "https://elsewhere.test/_test/invalid-utf8"
        fresh_standin.add_fault("POST", self.ROBOT_PATH, status=302, headers={"Location": location})
        with pytest.raises(UnicodeDecodeError):
            timed(lambda: robot.send_text("x"))

    def test_an_untrusted_certificate(self, fresh_standin, robot, client_env):
        client_env.setenv("CURL_CA_BUNDLE", "/etc/ssl/certs/ca-certificates.crt")
        assert timed(lambda: robot.send_text("x")) == CERTIFICATE
        assert fresh_standin.requests() == []

    def test_a_proxy_that_refuses_connect(self, fresh_standin, robot, client_env):
        client_env.setenv("https_proxy", fresh_standin.refusing_proxy_url)
        assert timed(lambda: robot.send_markdown("t", "x")) == RECEIVE
        assert fresh_standin.requests() == []

    def test_no_network(self, fresh_standin, robot, client_env):
        client_env.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}")
        assert timed(lambda: robot.send_text("x")) == "Couldn't connect to server"
