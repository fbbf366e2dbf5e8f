"""Connections, TLS sessions and the CA store are reused across requests;
none of that may change what a request does."""

import os
import shutil
import subprocess
import threading

import pytest
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


# ----- where trust comes from ---------------------------------------------

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
CA_VARIABLES = ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR")


@pytest.fixture
def stores(fresh_standin, tmp_path):
    """Hashed directories (as c_rehash makes them): "good" holds the
    stand-in's CA, "other" only a CA that did not sign the stand-in's
    certificates; and the files: "good" the stand-in's CA, "other" the
    system bundle."""
    other_ca = tmp_path / "other-ca.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
         "-subj", "/CN=nuv other test CA", "-keyout", str(tmp_path / "other-key.pem"), "-out", str(other_ca)],
        check=True, capture_output=True,
    )  # fmt: skip
    directories = {}
    for name, ca in (("good", fresh_standin.ca_file), ("other", other_ca)):
        directory = tmp_path / f"{name}-certs"
        directory.mkdir()
        shutil.copy(ca, directory / "ca.pem")
        subprocess.run(["openssl", "rehash", str(directory)], check=True, capture_output=True)
        directories[name] = str(directory)
    return {"dir": directories, "file": {"good": fresh_standin.ca_file, "other": SYSTEM_BUNDLE}}


# (variables set, as (name, "good"/"other"), in no particular order; the status expected)
TRUST_SOURCES = [
    ([("SSL_CERT_DIR", "good")], 200),
    ([("SSL_CERT_DIR", "other")], 60),
    ([], 60),  # the system's hashed directory does not trust the stand-in
    ([("CURL_CA_BUNDLE", "good"), ("SSL_CERT_DIR", "other")], 200),
    ([("SSL_CERT_FILE", "good"), ("SSL_CERT_DIR", "other")], 200),
    ([("SSL_CERT_FILE", "other"), ("SSL_CERT_DIR", "good")], 60),
    ([("CURL_CA_BUNDLE", "other"), ("SSL_CERT_FILE", "good")], 60),
]


@pytest.mark.parametrize("variables, status", TRUST_SOURCES, ids=[str(v) for v, _ in TRUST_SOURCES])
def test_trust_comes_from_the_first_variable_set(fresh_standin, client_env, stores, variables, status):
    for name in CA_VARIABLES:
        client_env.delenv(name, raising=False)
    for name, which in variables:
        client_env.setenv(name, stores["dir" if name == "SSL_CERT_DIR" else "file"][which])
    assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/empty")[0] == status


def test_a_changed_directory_is_never_served_by_an_old_connection(fresh_standin, client_env, stores):
    client_env.delenv("CURL_CA_BUNDLE")
    client_env.setenv("SSL_CERT_DIR", stores["dir"]["good"])
    cf = Cloudflare(api_url=fresh_standin.url("/_test"))
    assert cf.get("/empty") == (200, "")
    client_env.setenv("SSL_CERT_DIR", stores["dir"]["other"])
    assert cf.get("/empty")[0] == 60
    client_env.setenv("SSL_CERT_DIR", stores["dir"]["good"])
    assert cf.get("/empty") == (200, "")


# (usual places: directories, files, each "good", "other", "plain" (a
# directory of PEM files without hashed names), "missing"; the status expected)
SYSTEM_PLACES = [
    (["good"], [], 200),
    (["missing", "plain", "good"], ["other"], 200),  # the first hashed directory
    (["other"], ["good"], 60),  # a hashed directory before any bundle
    (["plain", "missing"], ["missing", "good", "other"], 200),  # else the first bundle there
    (["plain"], ["missing"], 77),  # no store at all: TLS refused, with a hint
]


@pytest.mark.parametrize("directories, files, status", SYSTEM_PLACES, ids=[str(p[:2]) for p in SYSTEM_PLACES])
def test_without_variables_trust_comes_from_the_system_places(
    fresh_standin, client_env, stores, tmp_path, directories, files, status
):
    import _nuv
    from nuv import TransportError

    for name in CA_VARIABLES:
        client_env.delenv(name, raising=False)
    plain = tmp_path / "plain-certs"
    plain.mkdir()
    shutil.copy(fresh_standin.ca_file, plain / "ca.pem")
    paths = {"dir": stores["dir"] | {"plain": str(plain)}, "file": dict(stores["file"])}
    for kind in paths.values():
        kind["missing"] = str(tmp_path / "missing")
    _nuv._set_system_trust_places([paths["dir"][d] for d in directories], [paths["file"][f] for f in files])
    try:
        cf = Cloudflare(api_url=fresh_standin.url("/_test"))
        response = cf.get("/empty")
        assert response[0] == status
        if status == 77:
            with pytest.raises(TransportError) as caught:
                response.raise_for_status()
            assert "no trust store" in response.detail
            assert all(name in caught.value.hint for name in CA_VARIABLES), caught.value.hint
            # Without TLS nothing needs trusting: the proxy answers plain HTTP.
            assert Cloudflare(api_url=fresh_standin.proxy_url).get("/")[0] >= 100
    finally:
        _nuv._set_system_trust_places(None, None)
