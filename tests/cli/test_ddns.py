"""``nuv ddns``: address sources, --delete-missing, the --every loop and
--notify, against the stand-ins."""

from __future__ import annotations

import ipaddress
import signal
from pathlib import Path

import pytest
from cli_support import DOMAIN, HOST
from support import closed_port

SEEDED = "192.0.2.1"


def _global_ipv6_by_interface() -> dict[str, set[str]]:
    """Global, usable IPv6 addresses per interface, as /proc lists them."""
    found: dict[str, set[str]] = {}
    path = Path("/proc/net/if_inet6")
    for line in path.read_text().splitlines() if path.exists() else []:
        hex_address, _, _, scope, flags, name = line.split()
        address = ipaddress.ip_address(":".join(hex_address[i : i + 4] for i in range(0, 32, 4)))
        if scope == "00" and not int(flags, 16) & 0x69 and address.is_global:
            found.setdefault(name, set()).add(str(address))
    return found


@pytest.mark.parametrize(
    ("source", "page", "delete_missing", "status", "a_records"),
    [
        ("static:93.184.216.9", None, True, 0, ["93.184.216.9"]),
        ("url", (200, "fl=1\nip=93.184.216.44\nts=1\n"), True, 0, ["93.184.216.44"]),
        ("url", (200, "93.184.216.45\n"), True, 0, ["93.184.216.45"]),
        # A source that cannot be read never counts as "no address".
        ("url", (200, "ip=2001:db8::1\n"), True, 1, [SEEDED]),
        ("url", (200, "<html>busy</html>"), True, 1, [SEEDED]),
        ("url", (500, "oops"), True, 1, [SEEDED]),
        ("closed", None, True, 1, [SEEDED]),
        ("iface:no-such-if0", None, True, 1, [SEEDED]),
        # lo has no global address: no address, so only --delete-missing acts.
        ("iface:lo", None, False, 0, [SEEDED]),
        ("iface:lo", None, True, 0, []),
    ],
)
def test_ipv4_sources(nuv, address_page, source, page, delete_missing, status, a_records):
    nuv.standin.add_record(nuv.zone["id"], type="A", name=HOST, content=SEEDED, ttl=1)
    if source == "url":
        address_page.status, address_page.text = page
        source = f"url:{address_page.url}"
    elif source == "closed":
        source = f"url:http://127.0.0.1:{closed_port()}/cdn-cgi/trace"
    args = ["ddns", DOMAIN, HOST, "--ipv4", source, "--ipv6", "none"]
    ran = nuv(*args, *(["--delete-missing"] if delete_missing else []), env={"no_proxy": "127.0.0.1"})
    assert ran.status == status, ran.err
    assert nuv.contents("A") == a_records
    if status:
        assert ran.err.count("\n") == 1 and "A:" in ran.err


def test_default_sources_read_the_trace_page(nuv):
    """By default both families come from Cloudflare's trace page on its
    resolvers' addresses, here the stand-in's, reached through its proxy."""
    nuv.standin.set_trace_addresses(ipv4="93.184.216.61", ipv6="2606:2800:220:1::61")
    assert nuv("ddns", DOMAIN, HOST).status == 0
    nuv.standin.set_trace_addresses(ipv4="93.184.216.62")
    moved = nuv("ddns", DOMAIN, HOST, "--quiet")
    assert (moved.status, moved.out) == (
        0,
        "A home.example.com: 93.184.216.61 -> 93.184.216.62 (from url:https://1.1.1.1/cdn-cgi/trace)\n",
    )
    assert (nuv.contents("A"), nuv.contents("AAAA")) == (["93.184.216.62"], ["2606:2800:220:1::61"])
    asked = {r["connect"]["host"] for r in nuv.standin.requests() if r["path"] == "/cdn-cgi/trace"}
    assert asked == {"1.1.1.1", "2606:4700:4700::1111"}


def test_ipv6_from_an_interface(nuv):
    interfaces = _global_ipv6_by_interface()
    if not interfaces:
        pytest.skip("no interface with a global IPv6 address")
    name, addresses = sorted(interfaces.items())[0]
    ran = nuv("ddns", DOMAIN, HOST, "--ipv4", "none", "--ipv6", f"iface:{name}")
    assert ran.status == 0, ran.err
    assert len(nuv.contents("AAAA")) == 1 and nuv.contents("AAAA")[0] in addresses


def test_output_says_what_changed_and_quiet_says_nothing_otherwise(nuv):
    args = ("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.10", "--ipv6", "static:2606:2800:220:1::10")
    first = nuv(*args, "--quiet")
    assert first.out.splitlines() == [
        "A home.example.com: (none) -> 93.184.216.10",
        "AAAA home.example.com: (none) -> 2606:2800:220:1::10",
    ]
    assert nuv(*args, "--quiet").out == ""
    assert "(unchanged)" in nuv(*args).out
    moved = nuv("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.20", "--ipv6", "none", "--json")
    assert moved.json["changes"] == [
        {"type": "A", "name": HOST, "old": ["93.184.216.10"], "new": "93.184.216.20", "source": None, "attributes": {}}
    ]
    assert nuv.contents("AAAA") == ["2606:2800:220:1::10"]


def test_every_runs_rounds_until_the_limit_or_sigterm(nuv):
    limited = nuv(
        "ddns",
        DOMAIN,
        HOST,
        "--ipv4",
        "static:93.184.216.10",
        "--ipv6",
        "none",
        "--every",
        "0.05s",
        "--rounds",
        "3",
        "--json",
    )
    assert limited.status == 0, limited.err
    assert [len(r["changes"]) for r in limited.json_lines] == [1, 0, 0]

    looping = nuv.popen(
        "ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.11", "--ipv6", "none", "--every", "0.2s", "--json"
    )
    try:
        first_round = looping.stdout.readline()
    finally:
        looping.send_signal(signal.SIGTERM)
        status = looping.wait(30)
    assert status == 0
    assert '"new": "93.184.216.11"' in first_round
    assert looping.stderr.read() == ""


def test_notify_sends_one_message_per_change_and_per_failure(nuv, address_page):
    address_page.status = 500
    failing = f"url:{address_page.url}"
    steps = [
        # (IPv4 source, exit status, messages sent by this run, text of the last one)
        ("static:93.184.216.10", 0, 1, "(none) → 93.184.216.10"),
        ("static:93.184.216.10", 0, 0, None),
        ("static:93.184.216.20", 0, 1, "93.184.216.10 → 93.184.216.20"),
        (failing, 1, 1, "HTTP 500"),
        (failing, 1, 0, None),  # the same failure again: already told
        ("static:93.184.216.20", 0, 1, "working again"),  # recovered, nothing changed: said once
        (failing, 1, 1, "HTTP 500"),  # failing again after recovering: told again
    ]
    for source, status, sent, text in steps:
        before = len(nuv.messages())
        ran = nuv("ddns", DOMAIN, HOST, "--ipv4", source, "--ipv6", "none", "--notify", env={"no_proxy": "127.0.0.1"})
        assert ran.status == status, (source, ran.err)
        messages = nuv.messages()
        assert len(messages) - before == sent, source
        if text:
            assert messages[-1]["msgtype"] == "markdown"
            assert text in messages[-1]["body"]["markdown"]["text"]
