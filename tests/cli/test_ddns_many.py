"""``nuv ddns`` keeping many names: zones found from the names, one listing
and one batch per zone, IPv6 host ids, attributes enforced or kept, records
it owns, heartbeats and the configuration file, against the stand-ins."""

from __future__ import annotations

import json
import signal
from pathlib import Path

import pytest
from cli_support import DOMAIN, HOST

CHECK = "https://hc-ping.com/0b1c2d3e-aaaa-bbbb-cccc-123456789abc"
PUSH = "https://status.example.org/api/push/tok-0123456789abcdef?status=up&msg=OK&ping="
NAMES = ["home.example.com", "vpn.example.com", "nas.sub.example.com", "www.example.net"]


def _counts(nuv) -> tuple[int, int, int]:
    """Zone listings, record listings and batches the stand-in received, then forgotten."""
    seen = [(r["method"], r["path"]) for r in nuv.standin.requests("cloudflare")]
    nuv.standin.clear_requests()
    return (
        sum(path.endswith("/zones") for _, path in seen),
        sum(method == "GET" and path.endswith("/dns_records") for method, path in seen),
        sum(path.endswith("/batch") for _, path in seen),
    )


def _where(nuv) -> dict[str, set[tuple[str, str]]]:
    return {z["name"]: {(r["name"], r["content"]) for r in nuv.standin.records(z["id"])} for z in nuv.standin.zones()}


def test_many_names_in_several_zones_cost_one_listing_and_one_batch_per_zone(nuv):
    nuv.standin.add_zone("sub.example.com")
    nuv.standin.add_zone("example.net")
    steps = [
        # (IPv4, zone listings, record listings, batches, messages posted)
        ("93.184.216.10", 1, 3, 3, 1),
        ("93.184.216.10", 0, 3, 0, 0),  # a quiet round: the zones are remembered
        ("93.184.216.20", 0, 3, 3, 1),
    ]
    for address, zones, listings, batches, messages in steps:
        before = len(nuv.messages())
        ran = nuv("ddns", *NAMES, "--ipv4", f"static:{address}", "--ipv6", "none", "--notify", "--json")
        assert ran.status == 0, ran.err
        assert _counts(nuv) == (zones, listings, batches)
        assert len(nuv.messages()) - before == messages
        assert ran.json["requests"]["record_listings"] == listings and ran.json["requests"]["batches"] == batches
    where = _where(nuv)
    assert where["sub.example.com"] == {("nas.sub.example.com", "93.184.216.20")}
    assert where["example.net"] == {("www.example.net", "93.184.216.20")}
    assert where["example.com"] == {("home.example.com", "93.184.216.20"), ("vpn.example.com", "93.184.216.20")}
    text = nuv.messages()[-1]["body"]["markdown"]["text"]
    assert all(f"A {name}: 93.184.216.10 → 93.184.216.20" in text for name in NAMES)
    [entry] = [n for n in ran.json["names"] if n["name"] == "www.example.net"]
    assert entry["records"]["A"] == {"state": "changed", "old": ["93.184.216.10"], "new": "93.184.216.20",
                                     "source": None, "attributes": {}}  # fmt: skip

    # A remembered zone id the service no longer knows is looked up again.
    [state] = (Path(nuv.base_env["XDG_STATE_HOME"]) / "nuv").glob("ddns-home.example.com-and-3-more-*.json")
    saved = json.loads(state.read_text())
    state.write_text(json.dumps({**saved, "zones": {**saved["zones"], "example.net": "0" * 32}}))
    moved = nuv("ddns", *NAMES, "--ipv4", "static:93.184.216.30", "--ipv6", "none")
    assert moved.status == 0, moved.err
    assert ("www.example.net", "93.184.216.30") in _where(nuv)["example.net"]


@pytest.mark.parametrize(
    ("host_id", "prefix_length", "first", "moved"),
    [
        ("::10", None, "2606:2800:220:1::10", "2606:2800:220:2::10"),
        ("mac:52:54:00:12:34:56", None, "2606:2800:220:1:5054:ff:fe12:3456", "2606:2800:220:2:5054:ff:fe12:3456"),
        ("::1:0:0:0:10", 48, "2606:2800:220:1::10", "2606:2800:221:1::10"),
    ],
)
def test_host_ids_follow_a_changing_prefix(nuv, tmp_path, host_id, prefix_length, first, moved):
    """Per name in the file: this host's own address, and a neighbour's host id under the same prefix."""
    config = tmp_path / "ddns.toml"
    length = f"ipv6-prefix-len = {prefix_length}\n" if prefix_length else ""
    config.write_text(
        f'zone = "{DOMAIN}"\nipv4 = "none"\n\n[[host]]\nname = "home"\n\n'
        f'[[host]]\nname = "nas"\nipv6-host-id = "{host_id}"\n{length}'
    )
    for detected, expected in (("2606:2800:220:1::99", first), ("2606:2800:221:2::99" if prefix_length else "2606:2800:220:2::99", moved)):
        ran = nuv("ddns", "--config", str(config), "--ipv6", f"static:{detected}")
        assert ran.status == 0, ran.err
        assert {(r["name"], r["content"]) for r in nuv.records("AAAA")} == {(HOST, detected), (f"nas.{DOMAIN}", expected)}


ATTRIBUTES = ("proxied", "ttl", "comment")


@pytest.mark.parametrize(
    ("seed", "options", "after"),
    [
        (None, [], (False, 1, None)),  # created: the defaults
        (None, ["--proxied", "--comment", "ddns"], (True, 1, "ddns")),
        ((True, 1, "by hand"), [], (True, 1, "by hand")),  # kept: no longer turns the proxy off
        ((True, 1, "by hand"), ["--no-proxied"], (False, 1, "by hand")),
        ((False, 300, "by hand"), [], (False, 300, "by hand")),
        ((False, 300, "by hand"), ["--ttl", "120"], (False, 120, "by hand")),
        ((False, 300, "by hand"), ["--comment", "ddns"], (False, 300, "ddns")),
        ((False, 300, "by hand"), ["--proxied"], (True, 1, "by hand")),
    ],
)
def test_attributes_are_enforced_when_given_and_kept_otherwise(nuv, seed, options, after):
    if seed:
        nuv.standin.add_record(nuv.zone["id"], type="A", name=HOST, content="93.184.216.1", **dict(zip(ATTRIBUTES, seed)))
    args = ("ddns", DOMAIN, HOST, "--ipv4", "static:93.184.216.2", "--ipv6", "none", *options)
    if options and seed:
        planned = nuv(*args, "--dry-run")
        changed = [a for a, old, new in zip(ATTRIBUTES, seed, after, strict=True) if old != new and a != "ttl"]
        assert all(f"{a}: " in planned.out for a in changed) and "would change" in planned.out
        assert [r["content"] for r in nuv.records("A")] == ["93.184.216.1"]
    assert nuv(*args).status == 0
    [record] = nuv.records("A")
    assert (record["content"], *(record[a] for a in ATTRIBUTES)) == ("93.184.216.2", *after)


@pytest.mark.parametrize(("foreign", "reported"), [("93.184.216.1", ""), ("93.184.216.2", "outside the scope")])
def test_owned_only_never_touches_a_foreign_record(nuv, foreign, reported):
    nuv.standin.add_record(nuv.zone["id"], type="A", name=HOST, content=foreign, ttl=300, comment="by hand")
    args = ("ddns", DOMAIN, HOST, "--ipv6", "none", "--owned-only", "^ddns", "--comment", "ddns home")
    for address in ("93.184.216.2", "93.184.216.3"):
        ran = nuv(*args, "--ipv4", f"static:{address}", "--delete-missing")
        assert ran.status == 0 and reported in ran.out, ran.err
        reported = ""  # once ours differs, the foreign record no longer keeps it out
    gone = nuv(*args, "--ipv4", "iface:lo", "--delete-missing")
    assert gone.status == 0
    assert [(r["content"], r["comment"]) for r in nuv.records("A")] == [(foreign, "by hand")]
    assert "needs a --comment it matches" in nuv(*args[:-2], "--comment", "mine").err


def test_delete_on_stop_removes_only_what_the_service_owns(nuv):
    nuv.standin.add_record(nuv.zone["id"], type="A", name=HOST, content="93.184.216.1", comment="by hand")
    service = nuv.popen(
        "ddns", DOMAIN, "home", "www", "--ipv4", "static:93.184.216.5", "--ipv6", "none", "--every", "0.2s",
        "--owned-only", "^svc$", "--comment", "svc", "--delete-on-stop",
    )  # fmt: skip
    try:
        assert "(none) -> 93.184.216.5" in service.stdout.readline()
        assert len(nuv.records("A")) == 3
    finally:
        service.send_signal(signal.SIGTERM)
        status = service.wait(30)
    assert status == 0
    assert "-> (removed)" in service.stdout.read()
    assert [(r["name"], r["comment"]) for r in nuv.records("A")] == [(HOST, "by hand")]
    assert "--every" in nuv("ddns", DOMAIN, "home", "--delete-on-stop").err


@pytest.mark.parametrize(
    ("url", "source", "fault", "pings", "status"),
    [
        (CHECK, "static:93.184.216.9", None, [("start", ""), ("success", "")], 0),
        (CHECK, "url:http://127.0.0.1:9/", None, [("start", ""), ("fail", "A: url:http")], 1),
        (PUSH, "static:93.184.216.9", None, [("up", "OK")], 0),
        (PUSH, "url:http://127.0.0.1:9/", None, [("down", "A: url:http")], 1),
        (CHECK, "static:93.184.216.9", 500, [], 0),  # the monitor is down: a warning, never a failure
    ],
)
def test_heartbeats_report_every_round(nuv, url, source, fault, pings, status):
    if fault:
        nuv.standin.fault(r"^/0b1c", status=fault, count=None)
    ran = nuv("ddns", DOMAIN, HOST, "--ipv4", source, "--ipv6", "none", "--ping", url, "--retries", "0",
              env={"no_proxy": "127.0.0.1"})  # fmt: skip
    assert ran.status == status, ran.err
    got = [(p["kind"], p["text"]) for p in nuv.standin.pings()]
    assert [kind for kind, _ in got] == [kind for kind, _ in pings]
    assert all(text in said for (_, said), (_, text) in zip(got, pings, strict=True))
    assert ("heartbeat not sent" in ran.err) == bool(fault) and "0b1c2d3e" not in ran.err + ran.out


@pytest.mark.parametrize(
    ("text", "line", "says"),
    [
        ('zone = "example.com"\nproxy = true\n[[host]]\nname = "home"\n', 2, "unknown key 'proxy'"),
        ('zone = "example.com"\n\n[[host]]\nname = "home"\nproxied = true\nttls = 60\n', 6, "unknown key 'ttls' in [[host]]"),
        ('[[host]]\nname = "home.example.com"\n\n[[host]]\nname = "nas.example.com"\nttl = "60"\n', 6, "ttl: the TTL"),
        ('ttl = 5\n[[host]]\nname = "home.example.com"\n', 1, "from 30 to 86400"),
        ('zone = "example.com"\n[[host]]\nname = "nas"\nipv6-host-id = "mac:zz"\n', 4, "not a MAC address"),
        ('zone = "example.com"\n[[host]]\nname = "nas"\nipv4 = "ftp:x"\n', 4, "not a source"),
        ('zone = "example.com"\n[[host]]\nname = "home.other.net"\n', 3, "outside the zone"),
        ('[[host]]\nname = "home"\n', 2, "relative"),
        ('[[host]]\nttl = 60\n', 1, "needs name"),
        ('zone = "example.com"\n[[host]]\nname = "home"\n[[host]]\nname = "home"\n', 5, "named twice"),
        ('[[host]]\nname = "home.example.com\n', 2, "(TOML)"),
    ],
)
def test_configuration_errors_name_the_file_and_line(nuv, tmp_path, text, line, says):
    config = tmp_path / "ddns.toml"
    config.write_text(text)
    ran = nuv("ddns", "--config", str(config))
    assert ran.status == 2 and ran.err.startswith(f"nuv: {config}:{line}: ") and says in ran.err, ran.err
    assert ran.err.count("\n") == 1 and nuv.standin.requests("cloudflare") == []


def test_names_sharing_a_state_take_over_what_each_name_held(nuv):
    """A message held in a name's own state file is posted by the run that now keeps it with others."""
    folder = Path(nuv.base_env["XDG_STATE_HOME"]) / "nuv"
    folder.mkdir(parents=True)
    held = {"when": "earlier", "title": "home changed", "text": "- A: (none) → 93.184.216.1"}
    (folder / f"ddns-{HOST}.json").write_text(json.dumps({"notified": {}, "pending": [held]}))
    ran = nuv("ddns", DOMAIN, "home", "vpn", "--ipv4", "static:93.184.216.2", "--ipv6", "none", "--notify")
    assert ran.status == 0, ran.err
    assert [m["body"]["markdown"]["title"] for m in nuv.messages()] == ["home changed", f"{HOST}, vpn.{DOMAIN} changed"]
    assert not (folder / f"ddns-{HOST}.json").exists()
