"""``nuv ddns`` run unattended against what sources, networks, peers and a
shared state folder can do: nothing wrong is published, nothing is written
outside the name, no message is lost or repeated, no traceback."""

from __future__ import annotations

import json
import os
import signal
import time

import pytest
from cli_support import DOMAIN, HOST, ROBOT_SECRET
from nuv.cli.standin import ROBOT_TOKEN
from support import closed_port

GOOD = "93.184.216.1"
DIRECT = {"no_proxy": "127.0.0.1"}


def _seed(nuv, type="A", name=HOST, content=GOOD):
    return nuv.standin.add_record(nuv.zone["id"], type=type, name=name, content=content, ttl=1)


def _wait_for_request(nuv, path_end: str) -> None:
    for _ in range(200):
        if any(r["path"].endswith(path_end) for r in nuv.standin.requests("cloudflare")):
            return
        time.sleep(0.05)
    raise AssertionError(f"no request to {path_end}")


# (family, page status, page text, or a stand-in test route; what stderr says)
ADDRESS_ROWS = [
    (4, 200, "ip=0.0.0.0\n", "unspecified"),
    (4, 200, "fl=1\nip=127.0.0.1\n", "loopback"),
    (4, 200, "255.255.255.255", "broadcast"),
    (4, 200, "ip=224.0.0.1", "multicast"),
    (4, 200, "ip=169.254.1.1", "link-local"),
    (4, 200, "ip=10.1.2.3", "private"),
    (4, 200, "ip=100.64.0.7", "shared"),
    (4, 200, "ip=198.51.100.7", "documentation"),
    (4, 200, "ip=93.184.216.9\nip=93.184.216.10\n", "more than one ip= line"),
    (4, 200, "ip=[x](http://evil.example/) @all", "not exactly one address"),
    (6, 200, "ip=::1", "loopback"),
    (6, 200, "ip=fe80::1", "link-local"),
    (6, 200, "ip=::ffff:198.51.100.7", "IPv4-mapped"),
    (6, 200, "ip=2606:2800:220:1::10%eth0", "zone index"),
    (4, 503, "<html><head><title>503 Service Unavailable</title></head><body>[x](http://evil.example/)</body></html>",
     "HTTP 503 (503 Service Unavailable)"),
    (4, 200, "<html><body>busy</body></html>", "HTML page"),
    (4, None, "/_test/close-mid-body", "ended before its declared length"),
    (4, None, "/_test/flood", "longer than 65536 bytes"),
    (4, None, "/_test/invalid-utf8", "not text"),
    (4, None, "/_test/garbage", "HTTP/0.9"),
    (4, None, "/_test/close-mid-header", "ended before its declared length"),
    (4, None, "/_test/redirect?to=ftp://127.0.0.1/ip", "another scheme (ftp)"),
    (4, None, "/_test/redirect?to=http://127.0.0.1/ip", "https to plain http"),
    (4, None, "/_test/endless?interval=0.4", "no complete answer within 1 s"),
]  # fmt: skip


@pytest.mark.parametrize(("family", "status", "page", "why"), ADDRESS_ROWS)
def test_a_bad_address_is_never_written_and_told_once(nuv, address_page, family, status, page, why):
    rtype, seeded = ("A", GOOD) if family == 4 else ("AAAA", "2606:2800:220:1::1")
    _seed(nuv, rtype, content=seeded)
    if status is None:
        source = "url:" + nuv.standin.url(page)
    else:
        address_page.status, address_page.text = status, page
        source = "url:" + address_page.url
    sources = ["--ipv4", source, "--ipv6", "none"] if family == 4 else ["--ipv4", "none", "--ipv6", source]
    args = ("ddns", DOMAIN, "home", *sources, "--notify", "--timeout", "1", "--retries", "0")
    for run in range(2):
        ran = nuv(*args, env=DIRECT)
        assert ran.status == 1 and nuv.contents(rtype) == [seeded], ran.err
        assert why in ran.err
        assert ran.err.count("\n") == 1 and "Traceback" not in ran.err
    messages = nuv.messages()
    assert len(messages) == 1  # the second run's failure was already told
    text = messages[0]["body"]["markdown"]["text"]
    assert "](" not in text and "@" not in text and "<" not in text


@pytest.mark.parametrize(
    ("domain", "name", "status", "written"),
    [
        (DOMAIN, "home", 0, HOST),
        (DOMAIN, "HOME.example.com.", 0, "HOME.example.com"),
        (DOMAIN + ".", "@", 0, DOMAIN),
        (DOMAIN, "home.other.net", 2, None),
        (DOMAIN, "home.other.net.", 2, None),
    ],
)
def test_names_resolve_against_the_zone(nuv, domain, name, status, written):
    """The short form updates the record in place; nothing is ever written
    outside the name, and --delete-missing touches only that name and type."""
    _seed(nuv, content="93.184.216.2")
    other = [_seed(nuv, "A", f"other.{DOMAIN}"), _seed(nuv, "AAAA", HOST, "2606:2800:220:1::1")]
    _seed(nuv, content="93.184.216.2", name=DOMAIN)
    ran = nuv("ddns", domain, name, "--ipv4", "static:93.184.216.3", "--ipv6", "none")
    assert ran.status == status, ran.err
    a_records = {(r["name"].lower(), r["content"]) for r in nuv.records("A")}
    if written is None:
        # Only the zone listing that tells "DOMAIN NAME" from two full names.
        assert "outside the zone" in ran.err
        assert all(r["path"].endswith("/zones") for r in nuv.standin.requests("cloudflare"))
        return
    assert (written.lower(), "93.184.216.3") in a_records and len(a_records) == 3
    gone = nuv("ddns", domain, name, "--ipv4", "iface:lo", "--ipv6", "none", "--delete-missing")
    assert gone.status == 0, gone.err
    left = {r["id"] for r in nuv.records()}
    assert {r["id"] for r in other} <= left and len(left) == 3


def test_runs_of_one_name_take_turns(nuv):
    """With a slow listing, a second run waits at most --lock-timeout, then
    gives up before reading or writing anything."""
    nuv.standin.fault(r"/dns_records$", method="GET", delay=3, count=1)
    args = ("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.5", "--ipv6", "none", "--notify")
    first = nuv.popen(*args)
    try:
        _wait_for_request(nuv, "/dns_records")
        nuv.standin.clear_requests()
        second = nuv(*args[:4], "static:93.184.216.6", *args[5:], "--lock-timeout", "0.2")
        assert second.status == 1 and "another nuv ddns run" in second.err and "--lock-timeout" in second.err
        assert nuv.standin.requests("cloudflare") == []
    finally:
        assert first.wait(60) == 0, first.stderr.read()
    assert nuv.contents("A") == ["93.184.216.5"] and len(nuv.messages()) == 1


def test_a_message_the_robot_refused_is_posted_by_the_next_run(nuv, tmp_path):
    nuv.standin.add_robot(ROBOT_TOKEN, ROBOT_SECRET, keywords=["dns-bot"])
    args = ("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.7", "--ipv6", "none", "--notify")
    refused = nuv(*args)
    assert refused.status == 1 and nuv.contents("A") == ["93.184.216.7"]
    assert "kept for the next run" in refused.err and "--dingtalk-keyword" in refused.err
    assert "keyword=" not in refused.err and nuv.messages() == []
    for _ in range(2):  # posted once, never again
        assert nuv(*args, "--dingtalk-keyword", "dns-bot").status == 0
    [held] = nuv.messages()
    assert "could not be posted then" in held["body"]["markdown"]["text"] and "93.184.216.7" in held["body"]["markdown"]["text"]

    # A backlog too long for the robot is cut, saying how much was left out.
    state = tmp_path / "state" / "nuv" / "ddns-home.example.com.json"
    backlog = [{"when": "earlier", "title": "old", "text": "- " + "x" * 100} for _ in range(300)]
    state.write_text(json.dumps({"notified": {}, "pending": backlog}))
    assert nuv(*args, "--dingtalk-keyword", "dns-bot").status == 0
    text = nuv.messages()[-1]["body"]["markdown"]["text"]
    assert len(text.encode()) <= 20_000 and "more lines left out" in text


@pytest.mark.parametrize("attack", ["symlink", "fifo", "deep", "foreign", "device"])
def test_a_bad_state_file_is_set_aside_and_the_dns_work_goes_on(nuv, tmp_path, attack):
    folder = tmp_path / "state" / "nuv"
    folder.mkdir(parents=True)
    state = folder / "ddns-home.example.com.json"
    victim = tmp_path / "victim"
    victim.write_text("precious")
    extra = []
    if attack == "symlink":
        state.symlink_to(victim)
    elif attack == "fifo":
        os.mkfifo(state)
    elif attack == "deep":
        state.write_text("[" * 100_000 + "]" * 100_000)
    elif attack == "foreign":
        state.write_text('{"notified": ["not", "ours"]}')
    else:
        extra = ["--state-file", "/dev/zero"]
    ran = nuv("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.8", "--ipv6", "none", "--notify", *extra)
    assert ran.status == 0 and nuv.contents("A") == ["93.184.216.8"], ran.err
    assert "warning" in ran.err and "Traceback" not in ran.err
    assert victim.read_text() == "precious" and len(nuv.messages()) == 1
    if attack != "device":
        assert state.is_file() and not state.is_symlink() and state.stat().st_mode & 0o777 == 0o600
        assert any(p.name.startswith(state.name + ".bad-") for p in folder.iterdir())


def test_sigterm_ends_a_round_at_once(nuv):
    nuv.standin.fault(r"/dns_records$", method="GET", delay=30, count=None)
    running = nuv.popen("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.9", "--ipv6", "none")
    try:
        _wait_for_request(nuv, "/dns_records")
        running.send_signal(signal.SIGTERM)
        status = running.wait(15)  # the listing would answer after 30 s
    finally:
        running.kill()
        nuv.standin.clear_faults()
    assert status == 128 + signal.SIGTERM and "stopped by SIGTERM" in running.stderr.read()
    assert nuv.contents("A") == []


@pytest.mark.parametrize(
    ("args", "env", "says", "never"),
    [
        (["--ipv4", "none"], {"https_proxy": f"http://127.0.0.1:{closed_port()}"}, "--ipv6 none", "zone_id="),
        (["--ipv4", "static:93.184.216.1", "--ipv6", "none"], {"CLOUDFLARE_API_TOKEN": "wrong-token-0123456789"},
         "9109", "wrong-token"),
        (["--ipv4", "static:93.184.216.1", "--ipv6", "none", "--retries", "0"], {"FAULT": "503"},
         "HTTP 503 (503 Server error)", "<html"),
    ],
)  # fmt: skip
def test_errors_are_one_line_in_the_commands_terms(nuv, args, env, says, never):
    if env.pop("FAULT", None):
        nuv.standin.fault(r"/zones$", method="GET", status=503, count=None)
    ran = nuv("ddns", DOMAIN, HOST, *args, env=env)
    assert ran.status == 1 and says in ran.err and never not in ran.err, ran.err
    assert ran.err.count("\n") == 1 and "DingTalk(" not in ran.err and "zone_id=" not in ran.err
