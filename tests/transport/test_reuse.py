"""Connections, TLS sessions and the CA store are reused across requests;
none of that may change what a request does."""

import os
import threading

from nuv import Cloudflare


def test_a_changed_ca_file_is_never_served_by_an_old_connection(fresh_standin, client_env):
    cf = Cloudflare(api_url=fresh_standin.url("/_test"))
    assert cf.get("/empty") == (200, "")
    # The connection verified under the test CA is still open; with a CA
    # file that does not trust the server, the next request must fail.
    client_env.setenv("CURL_CA_BUNDLE", "/etc/ssl/certs/ca-certificates.crt")
    assert cf.get("/empty")[0] == 60
    client_env.setenv("CURL_CA_BUNDLE", fresh_standin.ca_file)
    assert cf.get("/empty") == (200, "")


def test_a_missing_ca_file_is_reported_by_libcurl(fresh_standin, client_env, tmp_path):
    client_env.setenv("CURL_CA_BUNDLE", str(tmp_path / "missing.pem"))
    assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/empty")[0] == 77


def test_parent_and_child_both_work_after_fork(fresh_standin, client_env, capfd):
    cf = Cloudflare(api_url=fresh_standin.url("/_test"))
    for _ in range(3):
        assert cf.get("/empty") == (200, "")

    pid = os.fork()
    if pid == 0:  # the child: its own connections, sessions and locks
        try:
            ok = all(cf.get("/status/201") == (201, "status 201") for _ in range(20))
        finally:
            os._exit(0 if ok else 1)
    results = [cf.get("/status/202") for _ in range(20)]
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert results == [(202, "status 202")] * 20
    child_requests = [r for r in fresh_standin.requests("test") if r["path"] == "/_test/status/201"]
    assert len(child_requests) == 20


def test_threads_make_requests_at_the_same_time(fresh_standin, client_env):
    errors = []

    def worker(n):
        cf = Cloudflare(api_url=fresh_standin.url("/_test"))
        for _ in range(25):
            result = cf.get(f"/status/{410 + n}")
            if result != (410 + n, f"status {410 + n}"):
                errors.append(result)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
