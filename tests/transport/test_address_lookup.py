"""nuv.lookup_address: the sanity gate, and pages read over the library's
transport (redirects decided hop by hop)."""

from __future__ import annotations

import nuv
import pytest

PRIVATE = "allow_private"


@pytest.mark.parametrize(
    ("text", "family", "expected"),
    [
        ("93.184.216.34", 4, "= 93.184.216.34"),
        (" 93.184.216.34\n", 4, "= 93.184.216.34"),
        ("2606:2800:220:1:0:0:0:10", 6, "= 2606:2800:220:1::10"),
        ("2001:1::1", 6, "= 2001:1::1"),  # globally reachable inside 2001::/23
        ("0.0.0.0", 4, "unspecified"),
        ("0.1.2.3", 4, "this network"),
        ("127.0.0.1", 4, "loopback"),
        ("169.254.1.1", 4, "link-local"),
        ("224.0.0.1", 4, "multicast"),
        ("255.255.255.255", 4, "broadcast"),
        ("240.0.0.1", 4, "reserved"),
        ("192.0.0.9", 4, "IETF protocol assignment"),
        ("192.88.99.1", 4, "6to4 relay"),
        ("10.1.2.3", 4, PRIVATE),
        ("172.31.0.1", 4, PRIVATE),
        ("192.168.1.1", 4, PRIVATE),
        ("100.64.0.1", 4, PRIVATE),
        ("198.18.0.1", 4, PRIVATE),
        ("192.0.2.1", 4, PRIVATE),
        ("198.51.100.7", 4, PRIVATE),
        ("203.0.113.2", 4, PRIVATE),
        ("::", 6, "unspecified"),
        ("::1", 6, "loopback"),
        ("fe80::1", 6, "link-local"),
        ("ff02::1", 6, "multicast"),
        ("::ffff:198.51.100.7", 6, "IPv4-mapped"),
        ("fec0::1", 6, "site-local"),
        ("2001::1", 6, "Teredo"),
        ("2001:10::1", 6, "IETF protocol assignment"),
        ("2002:c000:204::1", 6, "6to4"),
        ("64:ff9b::1.2.3.4", 6, "translation"),
        ("100::1", 6, "discard-only"),
        ("5f00::1", 6, "outside 2000::/3"),
        ("fd00::1", 6, PRIVATE),
        ("2001:db8::1", 6, PRIVATE),
        ("3fff::1", 6, PRIVATE),
        ("2001:2::1", 6, PRIVATE),
        ("2001:db8::1%eth0", 6, "zone index"),
        ("2606:2800:220:1::10", 4, "not an IPv4 address"),
        ("93.184.216.34", 6, "not an IPv6 address"),
        ("93.184.216.34 93.184.216.35", 4, "not exactly one address"),
        ("93.184.216.34,93.184.216.35", 4, "not exactly one address"),
        ("1.2.3.04", 4, "not an IP address"),
        ("<html><title>busy</title></html>", 4, "HTML page"),
    ],
)
def test_the_gate_passes_only_one_global_address(text, family, expected):
    if expected.startswith("= "):
        assert nuv.lookup_address("static:" + text, family) == expected[2:]
        return
    with pytest.raises(nuv.AddressRefused) as refused:
        nuv.lookup_address("static:" + text, family)
    if expected != PRIVATE:
        assert expected in refused.value.reason and refused.value.hint is None
        with pytest.raises(nuv.AddressRefused):  # never, whatever the opt-in
            nuv.lookup_address("static:" + text, family, allow_private=True)
    else:
        assert "allow_private=True" in refused.value.hint
        assert nuv.lookup_address("static:" + text, family, allow_private=True) == text


def test_redirects_are_decided_hop_by_hop(standin, client_env):
    """A redirect to a host no_proxy names connects directly, so the proxy's
    credentials never reach it; another scheme and a downgrade are refused."""
    standin.reset()
    standin.set_trace_addresses(ipv4="93.184.216.34")
    direct = standin.url("/cdn-cgi/trace")
    authenticated = standin.proxy_url.replace("http://", "http://user:proxy-secret@")
    client_env.setenv("http_proxy", authenticated)
    client_env.setenv("no_proxy", "127.0.0.1")
    source = f"url:http://ip.example.net/_test/redirect?to={direct}"
    assert nuv.lookup_address(source, 4) == "93.184.216.34"
    hops = [r for r in standin.requests() if r["path"] in ("/_test/redirect", "/cdn-cgi/trace")]
    assert [(r["path"], r["via_proxy"]) for r in hops] == [("/_test/redirect", True), ("/cdn-cgi/trace", False)]
    assert not any(name.lower() == "proxy-authorization" for name, _ in hops[1]["headers"])
    for target, why in (("ftp://127.0.0.1/ip", r"another scheme \(ftp\)"), ("http://127.0.0.1/ip", "https to plain http")):
        with pytest.raises(nuv.AddressUnreadable, match=f"redirected.*{why}") as failed:
            nuv.lookup_address(f"url:{standin.url('/_test/redirect')}?to={target}", 4, proxy="")
        assert failed.value.status == 302 and "proxy-secret" not in str(failed.value)
