"""Rounds of every method on every path leave nothing behind: the reference
counts of the arguments (and of the client), the open file descriptors and
the resident memory stay flat.

Each case is one path of one method (success, a service error, a transport
failure, an argument error, each exception). After a warm-up that fills the
connection cache, the CA store and the allocator's free lists, it runs 2,000
rounds when it makes no request and 200 when it does. No case waits for a
timeout. Arguments are made at run time (not interned literals, which are
immortal and would hide a leaked reference), and large where a leaked copy
of them would otherwise drown in the noise.

The memory bound is skipped under the sanitizer build: ASan's allocator
keeps freed memory in quarantine, so the resident size means nothing there.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
from nuv import AuthenticationError, Cloudflare, DingTalk, ZoneNotFoundError
from support import closed_port

SANITIZED = os.environ.get("NUV_SANITIZED") == "1"

ROUNDS_WITHOUT_REQUEST = 2000
ROUNDS_WITH_REQUEST = 200
WARM_UP = 30
# What the rounds may add, measured after a warm-up. A leak of one reference
# per call would show as the round count; of one response body, as megabytes.
# Every round with requests makes at least two, so 200 rounds leaking 200
# bytes a request exceed the heap bound; the noise measured is under 20 KiB.
REFCOUNT_SLACK = 0
FD_SLACK = 0
RSS_SLACK = 3 * 1024 * 1024
HEAP_SLACK = 64 * 1024

ROBOT = "leak-robot-0123456789abcdef"
ROBOT_SECRET = "SEC" + "ab12" * 16
BIG = 64 * 1024  # bytes of a big text argument


def fresh(text: str) -> str:
    """A str object of its own, never a shared or immortal constant."""
    copy = text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    assert len(text) < 2 or copy is not text
    return copy



def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")  # fmt: skip
    ]


def _heap_reader() -> Callable[[], int] | None:
    """Bytes the C allocator has handed out and not got back (glibc), which
    sees a small leak long before the resident size does."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_reader()


# ----- the paths ---------------------------------------------------------


@dataclass
class Env:
    standin: Any
    monkeypatch: pytest.MonkeyPatch
    tmp_path: Any
    cf: Cloudflare  # valid token, zone example.com selected
    bad: Cloudflare  # unknown token, zone id set by hand
    offline: Cloudflare  # base URL on a closed port, zone set by hand
    unqueried: Cloudflare  # no zone selected
    test: Cloudflare  # base URL on the transport test routes
    zone: dict[str, Any]
    other_zone: dict[str, Any]
    record: dict[str, Any]
    robot: DingTalk


@dataclass
class Case:
    id: str
    requests: bool
    build: Callable[[Env], tuple[list[object], Callable[[], None]]]


CASES: list[Case] = []


def case(id: str, requests: bool):
    def register(build):
        CASES.append(Case(id, requests, build))
        return build

    return register


def raises(error: type[BaseException], call: Callable[[], object], text: str | None = None) -> None:
    try:
        call()
    except error as caught:
        assert text is None or text in str(caught), caught
    else:
        raise AssertionError(f"{error.__name__} not raised")


def status_of(result: object) -> object:
    assert isinstance(result, tuple) and len(result) == 2 and isinstance(result[1], str), result
    return result[0]


# --- no request: the module's own paths ---


@case("fib", requests=False)
def _(env):
    n = 2**40 + 15  # a fresh int, taken modulo 2**32

    def step():
        assert env.cf.fib(n) == env.cf.fib(n=15) == 610

    return [n, env.cf], step


@case("fib-too-large", requests=False)
def _(env):
    n = 2**40 + 10001
    return [n], lambda: raises(ValueError, lambda: env.cf.fib(n))


@case("fib-not-an-int", requests=False)
def _(env):
    n = fresh("fifteen")
    return [n], lambda: raises(TypeError, lambda: env.cf.fib(n))


@case("fputs-written", requests=False)
def _(env):
    name, text = fresh(str(env.tmp_path / "out.txt")), fresh("x" * BIG)

    def step():
        assert env.cf.fputs(name, text) == 0

    return [name, text], step


@case("fputs-write-failed", requests=False)
def _(env):
    name, text = fresh("/dev/full"), fresh("x" * BIG)

    def step():
        assert env.cf.fputs(filename=name, text=text) == -1

    return [name, text], step


@case("fputs-cannot-open", requests=False)
def _(env):
    name, text = fresh(str(env.tmp_path / "missing" / "out.txt")), fresh("text")
    return [name, text], lambda: raises(OSError, lambda: env.cf.fputs(name, text), "missing")


@case("argument-errors", requests=False)
def _(env):
    cf, text, number = env.cf, fresh("example.com"), 10**20
    nul = fresh("a\0b")
    listed = [fresh("13800000000"), number]

    def step():
        raises(TypeError, lambda: cf.get(None))
        raises(TypeError, lambda: cf.get(path=text, colour=text))
        raises(TypeError, lambda: cf.query(number))
        raises(ValueError, lambda: cf.query(nul))
        raises(TypeError, lambda: cf.dns_get_records(text, number))
        raises(TypeError, lambda: cf.dns_create_record(text, text, text, text))
        raises(TypeError, lambda: cf.dns_update_record(text, text, text, text, True, text))
        raises(TypeError, lambda: cf.dns_delete_record(record_id=number))
        raises(TypeError, lambda: cf.dns_ensured_record(text, text, text, text, True, 1, present=None))
        raises(TypeError, lambda: cf.dns_ensured_record(text, text, text, text, True, 1, replace=text))
        raises(TypeError, lambda: cf.change_always_use_https(number))
        raises(TypeError, lambda: cf.change_ssl_model())
        raises(TypeError, lambda: cf.change_automatic_https_rewrites(value=text, other=text))
        raises(TypeError, lambda: env.robot.send_text(number))
        raises(ValueError, lambda: env.robot.send_text(nul))
        raises(TypeError, lambda: env.robot.send_markdown(text, text, listed), "list items must be strings.")
        raises(TypeError, lambda: env.robot.send_markdown(text, text, text))
        raises(TypeError, lambda: env.robot.send_markdown(text, text, None))

    return [cf, env.robot, text, number, nul, listed, *listed], step


@case("zone-not-selected", requests=False)
def _(env):
    cf, rid, text = env.unqueried, fresh("0123456789abcdef"), fresh("203.0.113.9")
    message = "Zone id is null, please query domain first."

    def step():
        raises(TypeError, lambda: cf.dns_create_record("A", text, text, True, 1), message)
        raises(TypeError, lambda: cf.dns_update_record(rid, "A", text, text, False, 1), message)
        raises(TypeError, lambda: cf.dns_delete_record(rid), message)
        raises(TypeError, lambda: cf.dns_ensured_record(text, "A", text, text, True, 1), message)
        raises(TypeError, lambda: cf.change_always_use_https(text), message)
        raises(TypeError, lambda: cf.change_ssl_model(text), message)
        raises(TypeError, lambda: cf.change_automatic_https_rewrites(text), message)
        raises(TypeError, lambda: cf.purge_cache(text, tags=[text]), message)
        raises(TypeError, lambda: cf.dns_get_records(), "domain should be a string")

    return [cf, rid, text], step


@case("mx-without-host", requests=False)
def _(env):
    cf, content, name = env.cf, fresh("||||"), fresh("mail.example.com")

    def step():
        raises(ValueError, lambda: cf.dns_create_record("MX", name, content, False, 1), "MX content")
        raises(ValueError, lambda: cf.dns_update_record(name, "MX", name, content, False, 1), "MX content")
        raises(ValueError, lambda: cf.dns_ensured_record(name, "MX", name, content, False, 1), "MX content")

    return [cf, content, name], step


@case("unusable-credentials", requests=False)
def _(env):
    token = fresh("\ud800-surrogate-token")
    cf = Cloudflare(api_token=token, api_url=env.standin.api_url)
    gone = Cloudflare(api_url=env.standin.api_url)
    del gone.api_token
    robot_int = DingTalk(ROBOT, ROBOT_SECRET)
    robot_int.token = 10**20
    robot_gone = DingTalk(ROBOT, ROBOT_SECRET)
    del robot_gone.secret

    def step():
        raises(ValueError, lambda: cf.get(), "api_token must be text")
        raises(AttributeError, lambda: gone.get(), "api_token")
        raises(TypeError, lambda: robot_int.send_text("x"), "token must be str")
        raises(AttributeError, lambda: robot_gone.send_markdown("t", "x", ["1"]), "secret")

    return [token, cf, gone, robot_int, robot_gone, robot_int.token], step


@case("objects-and-fields", requests=False)
def _(env):
    email, account, token = fresh("ops@example.com"), fresh("account-1"), fresh("token-" + "t" * 40)
    proxy, url = fresh("http://user:pw@127.0.0.1:1"), fresh("https://127.0.0.1:1/client/v4")
    zone, zone_id, secret = fresh("example.com"), fresh("f" * 32), fresh("SEC" + "s" * 60)
    cf = env.cf

    def step():
        Cloudflare(email, account, token, proxy, url)
        Cloudflare(email=email, api_token=token)
        client = Cloudflare(email, account, token, proxy, url)
        client.__init__(email, account, token)  # re-init replaces the fields
        client.zone, client.zone_id = zone, zone_id
        assert client.zone is zone and client.zone_id is zone_id
        raises(TypeError, lambda: setattr(client, "zone", 5))
        del client
        DingTalk(token, secret)
        DingTalk(token=token, secret=secret).__init__(token, secret)
        assert cf.api_url and cf.email == "" and Cloudflare().zone == ""

    return [email, account, token, proxy, url, zone, zone_id, secret, cf], step


# --- one request or more ---


@case("get-success-1MiB", requests=True)
def _(env):
    path = fresh("/bytes/1048576")

    def step():
        for _ in range(2):
            status, body = env.test.get(path)
            assert status == 200 and len(body) == 1048576

    return [env.test, path], step


@case("get-service-error", requests=True)
def _(env):
    path = fresh("/zones?name=example.com")

    def step():
        assert status_of(env.bad.get(path=path)) == status_of(env.bad.get(path)) == 403

    return [env.bad, path], step


@case("get-transport-failure", requests=True)
def _(env):
    path = fresh("/zones")

    def step():
        assert env.offline.get(path) == env.offline.get(path=path) == (7, "Couldn't connect to server")

    return [env.offline, path], step


@case("get-hostile-answers", requests=True)
def _(env):
    paths = [fresh(p) for p in ("/close", "/close-mid-header", "/close-mid-body", "/redirect-loop", "/nul")]
    expected = [52, 18, 18, 47, 200]

    def step():
        assert [status_of(env.test.get(p)) for p in paths] == expected

    return [env.test, *paths], step


@case("get-invalid-utf8", requests=True)
def _(env):
    path = fresh("/invalid-utf8")
    def step():
        raises(UnicodeDecodeError, lambda: env.test.get(path))
        raises(UnicodeDecodeError, lambda: env.test.get(path=path))

    return [env.test, path], step


@case("get-redirect-other-host", requests=True)
def _(env):
    path = fresh("/redirect-other-host?path=/_test/status/201")

    def step():
        assert env.test.get(path) == env.test.get(path=path) == (201, "status 201")

    return [env.test, path], step


@case("query-success", requests=True)
def _(env):
    cf, domains = env.cf, [fresh("example.com"), fresh("example.org")]

    def step():
        for domain in domains:
            assert status_of(cf.query(domain)) == 200 and cf.zone == domain

    return [cf, *domains], step


@case("query-exceptions", requests=True)
def _(env):
    domain, missing = fresh("example.com"), fresh("missing.example")

    def step():
        raises(Exception, lambda: env.bad.query(domain), "Invalid access token")
        raises(Exception, lambda: env.offline.query(domain), "Couldn't connect to server")
        raises(TypeError, lambda: env.cf.query(missing), "Domain not found: missing.example")

    return [env.bad, env.offline, env.cf, domain, missing], step


@case("dns_get_records-success", requests=True)
def _(env):
    cf, kind, name, content = env.cf, fresh("A"), fresh("www.example.com"), fresh("192.0.2.1")
    domains = [fresh("example.org"), fresh("example.com")]

    def step():
        assert status_of(cf.dns_get_records(None, kind, name, content)) == 200
        for domain in domains:  # each selects the other zone first
            assert status_of(cf.dns_get_records(domain=domain)) == 200

    return [cf, kind, name, content, *domains], step


@case("dns_get_records-failures", requests=True)
def _(env):
    missing, domain = fresh("missing.example"), fresh("example.com")

    def step():
        assert status_of(env.bad.dns_get_records()) == 403
        assert env.offline.dns_get_records() == (7, "Couldn't connect to server")
        for client, cause in ((env.cf, ZoneNotFoundError), (env.bad, AuthenticationError)):
            try:
                client.dns_get_records(missing)
            except TypeError as error:
                assert str(error) == "Domain not found: missing.example"
                assert type(error.__cause__) is cause
            else:
                raise AssertionError("no TypeError")
        env.offline.zone = fresh("other.example")  # forces a lookup, which fails
        raises(TypeError, lambda: env.offline.dns_get_records(domain), "Domain not found")

    return [env.bad, env.offline, env.cf, missing, domain], step


@case("create-and-delete-success", requests=True)
def _(env):
    cf = env.cf
    a = [fresh("A"), fresh("leak.example.com"), fresh("192.0.2.77")]
    mx = [fresh("MX"), fresh("example.com"), fresh("mx.example.com|20")]

    def step():
        for kind, name, content in (a, mx):
            status, body = cf.dns_create_record(kind, name, content, True, 1)
            assert status == 200, body
            record_id = body.split('"id": "', 1)[1].split('"', 1)[0]
            assert status_of(cf.dns_delete_record(record_id)) == 200

    return [cf, *a, *mx], step


@case("write-service-errors", requests=True)
def _(env):
    cf, record = env.cf, env.record
    kind, name, content = fresh("A"), fresh(record["name"]), fresh(record["content"])
    bad_ttl, unknown = 7, fresh("0" * 32)

    def step():
        assert status_of(cf.dns_create_record(kind, name, content, False, 1)) == 400  # identical
        assert status_of(cf.dns_update_record(unknown, kind, name, content, False, 1)) in (400, 404)
        assert status_of(cf.dns_update_record(fresh(record["id"]), kind, name, content, False, bad_ttl)) == 400
        assert status_of(cf.dns_delete_record(unknown)) in (400, 404)
        assert status_of(env.bad.dns_create_record(kind, name, content, False, 1)) == 403

    return [cf, env.bad, kind, name, content, unknown], step


@case("update-success", requests=True)
def _(env):
    cf, rid = env.cf, fresh(env.record["id"])
    kind, name = fresh("A"), fresh(env.record["name"])
    contents = [fresh("192.0.2.1"), fresh("192.0.2.2")]

    def step():
        for content in contents:
            assert status_of(cf.dns_update_record(rid, kind, name, content, False, 1)) == 200

    return [cf, rid, kind, name, *contents], step


@case("writes-transport-failure", requests=True)
def _(env):
    cf, rid, text = env.offline, fresh("0123456789abcdef"), fresh("192.0.2.3")
    failed = (7, "Couldn't connect to server")

    def step():
        assert cf.dns_create_record("A", text, text, True, 1) == failed
        assert cf.dns_update_record(rid, "A", text, text, True, 1) == failed
        assert cf.dns_delete_record(rid) == failed
        assert cf.change_ssl_model(text) == failed
        assert cf.purge_cache(text) == failed

    return [cf, rid, text], step


@case("ensured-unchanged-and-not-found", requests=True)
def _(env):
    cf = env.cf
    domain, kind, name = fresh("example.com"), fresh("A"), fresh(env.record["name"])
    content, absent = fresh(env.record["content"]), fresh("198.51.100.200")

    def step():
        assert status_of(cf.dns_ensured_record(domain, kind, name, content, False, 1)) == 200
        assert cf.dns_ensured_record(domain, kind, name, absent, False, 1, present=False)[0] == "404"
        gone = fresh("nothing-here.example.com")
        assert cf.dns_ensured_record(domain, kind, gone, absent, False, 1, False)[0] == "404"

    return [cf, domain, kind, name, content, absent], step


@case("ensured-writes", requests=True)
def _(env):
    cf, domain = env.cf, fresh("example.com")
    name, contents = fresh(env.record["name"]), [fresh("192.0.2.10"), fresh("192.0.2.11")]
    txt = [fresh("TXT"), fresh("txt.example.com"), fresh("v=leak1"), fresh("v=leak2")]

    def step():
        for content in contents:  # updates the record each time
            assert status_of(cf.dns_ensured_record(domain, "A", name, content, False, 1)) == 200
        # present, absent, present again: a create and a delete per round
        kind, txt_name, first, second = txt
        assert status_of(cf.dns_ensured_record(domain, kind, txt_name, first, False, 1, replace=False)) == 200
        assert status_of(cf.dns_ensured_record(domain, kind, txt_name, second, False, 1)) == 200  # replaces
        assert status_of(cf.dns_ensured_record(domain, kind, txt_name, second, False, 1, present=0)) == 200

    return [cf, domain, name, *contents, *txt], step


@case("ensured-mx-found", requests=True)
def _(env):
    cf = env.cf
    args = [fresh("example.com"), fresh("MX"), fresh("example.com"), fresh("mx3.example.com|10")]

    def step():
        for _ in range(2):
            status, message = cf.dns_ensured_record(*args, False, 1, replace=False)
            assert status == 200 and message.startswith("Record found: "), message

    return [cf, *args], step


@case("ensured-swap-restored", requests=True)
def _(env):
    cf, standin = env.cf, env.standin
    args = [fresh("example.com"), fresh("CNAME"), fresh("swap.example.com"), fresh("target.example.net")]

    def step():
        standin.refuse_batches(404, count=1)  # the swap one write at a time, restored
        standin.add_fault("POST", "/dns_records$", status=500, body="create refused")
        cf.retries = 0  # the 500 is the create's last word: no second listing
        try:
            assert cf.dns_ensured_record(*args, False, 1) == (500, "create refused")
        finally:
            cf.retries = 2

    return [cf, *args], step


@case("ensured-exceptions", requests=True)
def _(env):
    cf, standin = env.cf, env.standin
    domain, kind, name, content = fresh("example.com"), fresh("A"), fresh("x.example.com"), fresh("192.0.2.5")
    missing = fresh("missing.example")

    def step():
        standin.add_fault("GET", "/dns_records$", status=200, body="not json")
        raises(Exception, lambda: cf.dns_ensured_record(domain, kind, name, content, False, 1), "not json")
        raises(Exception, lambda: env.offline.dns_ensured_record(domain, kind, name, content, False, 1),
               "Couldn't connect")  # fmt: skip
        raises(TypeError, lambda: cf.dns_ensured_record(missing, kind, name, content, False, 1), "Domain not found")
        cf.zone = domain  # selected again without a lookup
        cf.zone_id = fresh(env.zone["id"])

    return [cf, env.offline, domain, kind, name, content, missing], step


@case("settings-and-purge", requests=True)
def _(env):
    cf = env.cf
    on, off, full, bogus = fresh("on"), fresh("off"), fresh("full"), fresh("sideways")

    def step():
        for value in (on, off):
            assert status_of(cf.change_always_use_https(value)) == 200
            assert status_of(cf.change_automatic_https_rewrites(value=value)) == 200
        assert status_of(cf.change_ssl_model(full)) == 200
        assert status_of(cf.change_ssl_model(bogus)) == 400
        assert status_of(cf.purge_cache(bogus, files=[bogus], zone_id=None)) == 200
        assert status_of(cf.purge_cache(tags=(on, off))) == 200
        assert status_of(env.bad.purge_cache()) == 403
        assert status_of(env.bad.change_always_use_https(on)) == 403

    return [cf, env.bad, on, off, full, bogus], step


@case("dingtalk-sends", requests=True)
def _(env):
    robot = env.robot
    content, title = fresh("deploy " + "x" * BIG), fresh("Deploy")
    mobiles = [fresh("13800000000"), fresh("13900000000")]
    as_tuple = tuple(mobiles)
    ok = '{"errcode": 0, "errmsg": "ok"}'

    def step():
        assert robot.send_text(content) == ok
        assert robot.send_markdown(title, content, mobiles) == ok
        assert robot.send_markdown(title=title, text=content, mobiles=as_tuple) == ok
        assert robot.send_markdown(title, content) == ok

    return [robot, content, title, mobiles, as_tuple, *mobiles], step


@case("dingtalk-service-errors", requests=True)
def _(env):
    wrong = DingTalk(fresh(ROBOT), fresh(ROBOT_SECRET + "x"))
    unknown = DingTalk(fresh("no-such-robot-token"), fresh(ROBOT_SECRET))
    content = fresh("hello")

    def step():
        assert '"errcode": 310000' in wrong.send_text(content)
        assert '"errcode": 300001' in unknown.send_markdown(content, content, [content])

    return [wrong, unknown, content, wrong.token, wrong.secret], step


@case("dingtalk-transport-failure", requests=True)
def _(env):
    env.monkeypatch.setenv("https_proxy", f"http://user:pw@127.0.0.1:{closed_port()}")
    content = fresh("x" * BIG)

    def step():
        assert env.robot.send_text(content) == "Couldn't connect to server"
        assert env.robot.send_markdown(content, content, [content]) == "Couldn't connect to server"

    return [env.robot, content], step


@case("dingtalk-hostile-answers", requests=True)
def _(env):
    content = fresh("x")

    def step():
        # Once: a message goes on a connection of its own, which libcurl never
        # silently retries.
        env.standin.add_fault("POST", "^/robot/send$", close=True)
        assert env.robot.send_text(content) == "Server returned nothing (no headers, no data)"
        env.standin.add_fault("POST", "^/robot/send$", status=302,
                              headers={"Location": "https://elsewhere.test/_test/invalid-utf8"})  # fmt: skip
        raises(UnicodeDecodeError, lambda: env.robot.send_text(content))

    return [env.robot, content], step


# ----- the check ----------------------------------------------------------


@pytest.fixture
def env(fresh_standin, client_env, tmp_path) -> Env:
    standin = fresh_standin
    # Hundreds of rounds of one token: far beyond the service's 1,200 requests per 300 s.
    standin.set_rate_limit(None)
    zone = standin.add_zone("example.com")
    other_zone = standin.add_zone("example.org")
    record = standin.add_record(zone["id"], type="A", name="www.example.com", content="192.0.2.1", ttl=1,
                                proxied=False)  # fmt: skip
    standin.add_record(zone["id"], type="MX", name="example.com", content="mx2.example.com", priority=10, ttl=1)
    standin.add_record(zone["id"], type="A", name="swap.example.com", content="192.0.2.44", ttl=1, proxied=False)
    standin.add_robot(ROBOT, ROBOT_SECRET, rate_limit=None)  # the leak hunt sends hundreds
    client_env.setenv("https_proxy", standin.proxy_url)  # DingTalk's way to its fixed host

    cf = Cloudflare(api_token=standin.token, api_url=standin.api_url)
    assert cf.query("example.com")[0] == 200
    bad = Cloudflare(api_token="unknown-token", api_url=standin.api_url)
    offline = Cloudflare(api_token="t", api_url=f"https://127.0.0.1:{closed_port()}/client/v4")
    for client in (bad, offline):
        client.zone, client.zone_id = "example.com", zone["id"]
    return Env(
        standin=standin,
        monkeypatch=client_env,
        tmp_path=tmp_path,
        cf=cf,
        bad=bad,
        offline=offline,
        unqueried=Cloudflare(api_token=standin.token, api_url=standin.api_url),
        test=Cloudflare(api_token="t", api_url=standin.url("/_test")),
        zone=zone,
        other_zone=other_zone,
        record=record,
        robot=DingTalk(ROBOT, ROBOT_SECRET),
    )


def measure(watched: list[object]) -> tuple[list[int], int, int, int]:
    gc.collect()
    return (
        [sys.getrefcount(obj) for obj in watched],
        open_fds(),
        resident_bytes(),
        heap_in_use() if heap_in_use else 0,
    )


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_rounds_leave_references_descriptors_and_memory_flat(env, case, capfd, record_property):
    watched, step = case.build(env)
    rounds = ROUNDS_WITH_REQUEST if case.requests else ROUNDS_WITHOUT_REQUEST
    for _ in range(WARM_UP):
        step()
    capfd.readouterr()  # the trace of the warm-up, so that its buffer is not counted
    refs_before, fds_before, rss_before, heap_before = measure(watched)
    for i in range(rounds):
        step()
        if i % 50 == 49:
            capfd.readouterr()
    capfd.readouterr()
    refs_after, fds_after, rss_after, heap_after = measure(watched)

    record_property("rounds", rounds)
    record_property("fd_growth", fds_after - fds_before)
    record_property("rss_growth", rss_after - rss_before)
    record_property("heap_growth", heap_after - heap_before)
    grown = [(i, b, a) for i, (b, a) in enumerate(zip(refs_before, refs_after)) if a - b > REFCOUNT_SLACK]
    assert not grown, f"argument references grew (index, before, after): {grown}"
    assert fds_after - fds_before <= FD_SLACK, (fds_before, fds_after)
    if SANITIZED:
        return
    assert rss_after - rss_before <= RSS_SLACK, f"resident memory grew by {rss_after - rss_before} bytes"
    if heap_in_use:
        assert heap_after - heap_before <= HEAP_SLACK, f"heap in use grew by {heap_after - heap_before} bytes"


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine keeps freed memory resident")
def test_switching_the_ca_file_releases_what_the_old_one_used(standin, client_env, tmp_path, capfd):
    # Two names for the same CA: each switch is a change of the trust in force
    # (a new store, share and handle), and the old ones must go.
    files = [str(tmp_path / f"ca-{n}.pem") for n in range(2)]
    for name in files:
        with open(standin.ca_file, "rb") as source, open(name, "wb") as copy:
            copy.write(source.read())
    cf = Cloudflare(api_url=f"http://127.0.0.1:{closed_port()}")  # no connection to keep

    def switches(count: int) -> None:
        for n in range(count):
            client_env.setenv("CURL_CA_BUNDLE", files[n % 2])
            assert cf.get()[0] == 7
            if n % 200 == 199:
                capfd.readouterr()

    switches(100)
    _, _, rss_before, heap_before = measure([])
    switches(3000)
    _, _, rss_after, heap_after = measure([])
    assert rss_after - rss_before <= RSS_SLACK, f"resident memory grew by {rss_after - rss_before} bytes"
    if heap_in_use:
        assert heap_after - heap_before <= HEAP_SLACK, f"heap in use grew by {heap_after - heap_before} bytes"
