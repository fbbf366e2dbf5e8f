"""The HTTP executor as every method sees it: request forms, headers and
their trace, proxies, TLS verification, redirects and bodies of every shape."""

import os
import subprocess
import sys
import time

import pytest
from nuv import Cloudflare
from support import closed_port, echoed, ticking_thread, trace_lines


def header(echo, name):
    return [v for k, v in echo["headers"] if k.lower() == name.lower()]


class TestRequestForms:
    def test_get_sends_both_headers_and_no_body(self, echo_cf):
        echo = echoed(echo_cf.get("/x?y=1"))
        assert echo["method"] == "GET" and echo["target"] == "/_test/echo/x?y=1"
        names = [k.lower() for k, _ in echo["headers"]]
        assert names.index("content-type") < names.index("authorization")
        assert header(echo, "Authorization") == ["Bearer echo-token"]
        assert header(echo, "Content-Type") == ["application/json"]
        assert echo["body"] == ""

    def test_both_clients_name_nuv_and_libcurl(self, echo_cf, fresh_standin, client_env):
        import importlib.metadata
        import re

        from nuv import DingTalk

        import nuv

        (agent,) = header(echoed(echo_cf.get("/x")), "User-Agent")
        match = re.fullmatch(r"nuv/(\S+) libcurl/(\d+\.\d+\.\d+\S*)", agent)
        assert match and match[1] == importlib.metadata.version("nuv") == nuv.__version__, agent
        assert match[2] == nuv.versions()["libcurl"]
        fresh_standin.add_robot("ua-robot-token", "SEC" + "0" * 64)
        client_env.setenv("https_proxy", fresh_standin.proxy_url)
        DingTalk("ua-robot-token", "SEC" + "0" * 64).send_text("hello")
        (message,) = fresh_standin.messages("ua-robot-token")
        assert [v for k, v in message["headers"] if k.lower() == "user-agent"] == [agent]

    def test_the_empty_path_is_the_base_url_itself(self, echo_cf):
        assert echoed(echo_cf.get(""))["target"] == "/_test/echo"

    def test_default_path_is_the_zone_listing(self, echo_cf):
        target = echoed(echo_cf.get())["target"]
        assert target == "/_test/echo/zones?page=1&per_page=20&order=status&direction=desc&match=all"

    def test_raw_path_is_sent_as_given(self, echo_cf):
        assert echoed(echo_cf.get(path="/a%20b?x=1&y=%2F"))["target"] == "/_test/echo/a%20b?x=1&y=%2F"


class TestTrace:
    def test_lines_and_order_for_a_get(self, fresh_standin, client_env, capfd):
        cf = Cloudflare(api_token="short", api_url=fresh_standin.url("/_test/echo"))
        cf.get("/p")
        assert trace_lines(capfd) == [
            "Content-Type: application/json",
            "Authorization: Bearer ***",
            "user_proxy: ",
            f"http_method: get url: {fresh_standin.url('/_test/echo')}/p",
        ]

    @pytest.mark.parametrize(
        "token, shown",
        [("", ""), ("a" * 15, "***"), ("0123456789abcdef", "***cdef"), ("x" * 40 + "WXYZ", "***WXYZ")],
    )
    def test_token_is_masked_but_sent_whole(self, fresh_standin, client_env, capfd, token, shown):
        cf = Cloudflare(api_token=token, api_url=fresh_standin.url("/_test/echo"))
        echo = echoed(cf.get())
        assert header(echo, "Authorization") == [f"Bearer {token}".rstrip()] or token == ""
        out = capfd.readouterr().out
        assert f"Authorization: Bearer {shown}\n" in out
        if len(token) >= 4:
            assert token not in out

    def test_int_token_is_sent_as_its_text(self, echo_cf):
        echo_cf.api_token = 12345
        assert header(echoed(echo_cf.get()), "Authorization") == ["Bearer 12345"]


class TestProxy:
    def test_a_given_proxy_is_used_and_traced_and_http_proxy_is_not(self, fresh_standin, client_env, capfd):
        client_env.setenv("http_proxy", f"http://127.0.0.1:{closed_port()}")
        cf = Cloudflare(api_token="t", api_url="https://api.cloudflare.com/client/v4", proxy=fresh_standin.proxy_url)
        fresh_standin.clear_requests()
        status, _ = cf.get("/zones")
        assert status in (400, 403)  # answered by the Cloudflare stand-in, through the tunnel
        (request,) = fresh_standin.requests()
        assert request["via_proxy"] and request["host"] == "api.cloudflare.com"
        lines = trace_lines(capfd)
        assert lines[2:4] == [f"user_proxy: {fresh_standin.proxy_url}", "http_method: get url: https://api.cloudflare.com/client/v4/zones"]

    def test_empty_user_proxy_goes_direct_despite_http_proxy(self, fresh_standin, echo_cf, client_env, capfd):
        client_env.setenv("http_proxy", f"http://127.0.0.1:{closed_port()}")
        fresh_standin.clear_requests()
        assert echoed(echo_cf.get())["method"] == "GET"
        assert not fresh_standin.requests()[0]["via_proxy"]
        lines = trace_lines(capfd)
        assert lines[2] == "user_proxy: " and lines[3].startswith("http_method: ")  # http_proxy unused, untraced

    def test_proxy_password_is_masked(self, fresh_standin, client_env, capfd):
        proxy = fresh_standin.proxy_url.replace("http://", "http://user:proxy-password-1234@")
        cf = Cloudflare("", "", "t", proxy, "https://api.cloudflare.com/client/v4")
        cf.get("/zones")
        out = capfd.readouterr().out
        assert "proxy-password" not in out
        assert f"user_proxy: {fresh_standin.proxy_url.replace('http://', 'http://***@')}\n" in out
        (request,) = [r for r in fresh_standin.requests() if r["via_proxy"]]
        assert "proxy_authorization" in request["connect"]

    def test_unreachable_proxy_is_a_value(self, fresh_standin, client_env):
        cf = Cloudflare("", "", "t", f"http://127.0.0.1:{closed_port()}", "https://api.cloudflare.com/client/v4")
        assert cf.get() == (7, "Couldn't connect to server")


class TestTls:
    def test_untrusted_certificate_fails_with_60(self, fresh_standin, client_env):
        client_env.delenv("CURL_CA_BUNDLE")
        client_env.setenv("SSL_CERT_FILE", "/etc/ssl/certs/ca-certificates.crt")
        cf = Cloudflare(api_url=fresh_standin.url("/_test/echo"))
        status, text = cf.get()
        assert status == 60 and "certificate" in text.lower()

    def test_ssl_cert_file_is_used_when_curl_ca_bundle_is_absent(self, fresh_standin, client_env):
        client_env.delenv("CURL_CA_BUNDLE")
        client_env.setenv("SSL_CERT_FILE", fresh_standin.ca_file)
        assert Cloudflare(api_url=fresh_standin.url("/_test/echo")).get()[0] == 200

    @pytest.mark.parametrize("which", ["expired_port", "wrong_host_port"])
    def test_expired_and_wrong_host_certificates_fail(self, fresh_standin, client_env, which):
        port = fresh_standin.info[which]
        status, _ = Cloudflare(api_url=f"https://127.0.0.1:{port}").get("/_test/echo")
        assert status == 60


class TestOutcomes:
    def test_http_errors_are_values(self, fresh_standin, client_env):
        cf = Cloudflare(api_url=fresh_standin.url("/_test"))
        assert cf.get("/status/404") == (404, "status 404")
        assert cf.get("/status/503") == (503, "status 503")

    def test_empty_body(self, fresh_standin, client_env):
        assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/empty") == (200, "")

    def test_body_ends_at_its_first_nul(self, fresh_standin, client_env):
        assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/nul") == (200, "abc")

    def test_invalid_utf8_raises(self, fresh_standin, client_env):
        with pytest.raises(UnicodeDecodeError):
            Cloudflare(api_url=fresh_standin.url("/_test")).get("/invalid-utf8")

    def test_redirect_is_followed(self, fresh_standin, client_env):
        cf = Cloudflare(api_url=fresh_standin.url("/_test"))
        to = fresh_standin.url("/_test/status/201")
        assert cf.get(f"/redirect?to={to}") == (201, "status 201")

    def test_redirect_loop_ends_with_47(self, fresh_standin, client_env):
        status, text = Cloudflare(api_url=fresh_standin.url("/_test")).get("/redirect-loop")
        assert status == 47 and "redirect" in text.lower()

    def test_redirect_to_another_protocol_is_refused(self, fresh_standin, client_env):
        status, _ = Cloudflare(api_url=fresh_standin.url("/_test")).get("/redirect?to=file:///etc/passwd")
        assert status == 1

    def test_refused_connection(self, client_env):
        assert Cloudflare(api_url=f"https://127.0.0.1:{closed_port()}").get() == (7, "Couldn't connect to server")

    def test_empty_api_url_is_a_transport_failure(self, client_env):
        # The path alone is a URL without a scheme, so https to an empty host.
        cf = Cloudflare.__new__(Cloudflare)
        assert cf.get() == (6, "Couldn't resolve host name")


class TestRedirectsKeepTheRequest:
    """A write answered by a redirect is sent again as the same write, body
    included: never turned into a GET (whose 200 would pass for success)."""

    RECORD = ("A", "n.example.com", "192.0.2.1", False, 1)
    WRITES = [
        ("POST", lambda cf: cf.dns_create_record(*TestRedirectsKeepTheRequest.RECORD), True),
        ("PUT", lambda cf: cf.dns_update_record("r1", *TestRedirectsKeepTheRequest.RECORD), True),
        ("PATCH", lambda cf: cf.change_ssl_model("full"), True),
        ("DELETE", lambda cf: cf.dns_delete_record("r1"), False),
    ]

    @pytest.mark.parametrize("code", [301, 302, 303, 307, 308])
    @pytest.mark.parametrize("method, write, has_body", WRITES, ids=[w[0] for w in WRITES])
    def test_method_and_body_survive(self, fresh_standin, client_env, code, method, write, has_body):
        landing = fresh_standin.url("/_test/echo/landed")
        fresh_standin.add_fault(method, "^/moved/", status=code, headers={"Location": landing})
        cf = Cloudflare(api_token="t", api_url=fresh_standin.url("/moved"))
        cf.zone_id = "z1"
        fresh_standin.clear_requests()
        echo = echoed(write(cf))
        first = fresh_standin.requests()[0]
        assert (echo["method"], echo["target"]) == (method, "/_test/echo/landed")
        assert echo["body"] == first["body"] and (echo["body"] != "") == has_body


class TestSchemeLessBaseUrl:
    def test_goes_out_over_tls(self, fresh_standin, client_env):
        # "127.0.0.1:<port>/..." with no scheme: https, so the stand-in's TLS
        # port answers (in clear text it would refuse the request).
        cf = Cloudflare(api_token="t", api_url=fresh_standin.url("/_test/echo").removeprefix("https://"))
        assert echoed(cf.get("/x"))["target"] == "/_test/echo/x"


class TestBodySizeLimit:
    LIMIT = 64 * 1024 * 1024

    def test_exactly_the_limit_is_accepted(self, fresh_standin, client_env):
        status, body = Cloudflare(api_url=fresh_standin.url("/_test")).get(f"/bytes/{self.LIMIT}")
        assert status == 200 and len(body) == self.LIMIT

    def test_one_byte_more_is_refused_silently(self, fresh_standin, client_env, capfd):
        status, text = Cloudflare(api_url=fresh_standin.url("/_test")).get(f"/bytes/{self.LIMIT + 1}")
        assert (status, text) == (23, "Failed writing received data to disk/application")
        assert capfd.readouterr().err == ""

    @pytest.mark.skipif(bool(os.environ.get("NUV_SANITIZED")), reason="the sanitizer reserves all address space")
    def test_running_out_of_memory_is_status_27_and_silent(self, fresh_standin, client_env):
        # A process whose address space ends 24 MiB above what it uses: the
        # 60 MiB body cannot fit, nothing else in the transfer grows.
        script = f"""
import resource
from nuv import Cloudflare
cf = Cloudflare(api_url={fresh_standin.url("/_test")!r})
with open("/proc/self/status") as status:
    used = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (used + 24 * 1024 * 1024, resource.RLIM_INFINITY))
result = cf.get("/bytes/{60 * 1024 * 1024}")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(repr(tuple(result)))
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines()[-1] == "(27, 'Out of memory')"
        assert done.stderr == ""


def test_other_threads_run_while_a_request_waits(fresh_standin, client_env):
    with ticking_thread() as ticks:
        started = time.monotonic()
        assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/slow?seconds=1") == (200, "slow")
        finished = time.monotonic()
    assert sum(started < t < finished for t in ticks) > 10


def test_a_reply_slower_than_30_seconds_times_out(fresh_standin, client_env):
    assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/slow?seconds=35") == (28, "Timeout was reached")


@pytest.mark.parametrize("timeout", [0.0004, 0.0001, 1e-9])
def test_a_timeout_under_a_millisecond_still_bounds_the_attempt(fresh_standin, client_env, timeout):
    cf = Cloudflare(api_url=fresh_standin.url("/_test"), timeout=timeout, retries=0)
    assert cf.get("/slow?seconds=2") == (28, "Timeout was reached")
