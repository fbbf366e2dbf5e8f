"""nuv sync and nuv export against the stand-in: the round trip plans
nothing, exit statuses for CI, and octoDNS on the same file ends in the
same zone."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from cli_support import DOMAIN

SEEDED = [
    {"type": "A", "name": "www", "content": "192.0.2.1", "proxied": True, "comment": "front", "tags": ["team:web"]},
    {"type": "AAAA", "name": "www", "content": "2001:db8::1", "ttl": 300},
    {"type": "CNAME", "name": "api", "content": "www.example.com", "ttl": 600, "comment": "a, b; c"},
    {"type": "MX", "name": "@", "content": "mx.example.net", "priority": 10, "ttl": 3600},
    {"type": "TXT", "name": "@", "content": '"v=spf1 -all"', "ttl": 300},
    {"type": "CAA", "name": "@", "data": {"flags": 0, "tag": "issue", "value": "letsencrypt.org"}},
    {
        "type": "SRV",
        "name": "_sip._tcp",
        "data": {"priority": 1, "weight": 5, "port": 5060, "target": "sip.example.net"},
    },
    {"type": "TLSA", "name": "_443._tcp.www", "data": {"usage": 3, "selector": 1, "matching_type": 1, "certificate": "0C72AC70"}},
    {"type": "HTTPS", "name": "@", "data": {"priority": 1, "target": ".", "value": 'alpn="h3,h2"'}},
    {"type": "DS", "name": "@", "data": {"key_tag": 2371, "algorithm": 13, "digest_type": 2, "digest": "1F987CC6"}},
]
# Records the service describes with data, as octoDNS and a BIND file write them.
DATA_FILES = {
    "yaml": """\
---
'':
- type: CAA
  values:
  - {flags: 0, tag: issue, value: letsencrypt.org}
  - {tag: iodef, value: 'mailto:sec@example.com'}
- {type: DS, value: {key_tag: 2371, algorithm: 13, digest_type: 2, digest: 1F987CC6583E92DF}}
- {type: HTTPS, value: {svcpriority: 1, targetname: ., svcparams: {alpn: [h3, h2]}}}
_sip._tcp: {type: SRV, value: {priority: 10, weight: 60, port: 5060, target: sip.example.com.}}
_443._tcp.www:
  type: TLSA
  value: {certificate_usage: 3, selector: 1, matching_type: 1, certificate_association_data: 0C72AC70B745AC19}
""",
    "zone": """\
$ORIGIN example.com.
@ 3600 IN CAA 0 issue "letsencrypt.org"
@ 3600 IN CAA 0 iodef "mailto:sec@example.com"
@ 3600 IN DS 2371 13 2 1F987CC6 583E92DF
@ 3600 IN HTTPS 1 . alpn="h3,h2"
_sip._tcp 3600 IN SRV 10 60 5060 sip
_443._tcp.www 3600 IN TLSA 3 1 1 0C72AC70B745AC19
""",
}
# The same zone as octoDNS writes it (TTLs of 120 s and more: octoDNS's floor).
OCTODNS_FILE = """\
---
'':
- type: MX
  values:
  - exchange: mx.example.net.
    preference: 10
- ttl: 300
  type: TXT
  values:
  - v=DKIM1\\; k=rsa
  - v=spf1 -all
api:
  octodns:
    cloudflare:
      comment: the api
  ttl: 600
  type: CNAME
  value: www.example.com.
www:
- octodns:
    cloudflare:
      proxied: true
      tags:
      - team:web
  type: A
  values:
  - 192.0.2.1
  - 192.0.2.2
- ttl: 300
  type: AAAA
  value: 2001:db8::1
"""


def _zone(nuv_run):
    keys = ("type", "name", "content", "ttl", "proxied", "priority", "comment")
    return sorted((*(str(r.get(k)) for k in keys), str(sorted(r.get("tags") or []))) for r in nuv_run.records())


@pytest.mark.parametrize("style", ["yaml", "bind"])
def test_export_then_sync_plans_nothing_and_changes_exit_3(nuv, tmp_path, style):
    for record in SEEDED:
        nuv.standin.add_record(nuv.zone["id"], **record)
    path = tmp_path / (f"{DOMAIN}.yaml" if style == "yaml" else f"{DOMAIN}.zone")
    assert nuv("export", DOMAIN, "--output", str(path), "--format", style).status == 0
    unchanged = nuv("sync", str(path), "--expect-no-changes")
    assert (unchanged.status, unchanged.out) == (0, f"{DOMAIN} ({path}): nothing to do\n"), unchanged.err

    text = path.read_text()
    if style == "yaml":
        path.write_text(text.replace("comment: front", "comment: moved").replace("2001:db8::1", "2001:db8::2"))
    else:
        path.write_text(text.replace("; front cf_tags", "; moved cf_tags").replace("2001:db8::1", "2001:db8::2"))
    before = _zone(nuv)
    planned = nuv("sync", str(path), "--expect-no-changes")
    assert planned.status == 3, planned.err
    assert f'  update A www.{DOMAIN} 192.0.2.1: comment "front" -> "moved"' in planned.out.splitlines()
    assert f'  update AAAA www.{DOMAIN} 2001:db8::2: content "2001:db8::1" -> "2001:db8::2"' in planned.out.splitlines()
    assert _zone(nuv) == before
    assert nuv("sync", str(path), "--apply").status == 0
    assert nuv("sync", str(path), "--expect-no-changes", "--quiet").out == ""


@pytest.mark.parametrize("style", sorted(DATA_FILES))
def test_records_described_by_data_are_created_then_changed_by_one_patch(nuv, tmp_path, style):
    path = tmp_path / f"{DOMAIN}.{style}"
    path.write_text(DATA_FILES[style])
    assert nuv("sync", str(path), "--apply").status == 0
    posts = [item for r in nuv.standin.requests("cloudflare") if r["path"].endswith("/batch") for item in json.loads(r["body"])["posts"]]
    assert len(posts) == 6 and all("data" in p and "content" not in p for p in posts)
    assert sorted(r["content"] for r in nuv.records()) == [
        '0 iodef "mailto:sec@example.com"', '0 issue "letsencrypt.org"', '1 . alpn="h3,h2"',
        "2371 13 2 1F987CC6583E92DF", "3 1 1 0C72AC70B745AC19", "60 5060 sip.example.com",
    ]  # fmt: skip
    assert nuv("sync", str(path), "--expect-no-changes").status == 0

    path.write_text(DATA_FILES[style].replace("letsencrypt.org", "pki.goog"))
    nuv.standin.clear_requests()
    changed = nuv("sync", str(path), "--apply")
    assert f'  update CAA {DOMAIN} 0 issue "pki.goog": data.value "letsencrypt.org" -> "pki.goog"' in changed.out.splitlines()
    batch = [json.loads(r["body"]) for r in nuv.standin.requests("cloudflare") if r["method"] == "POST"]
    assert [(len(b["deletes"]), [sorted(p) for p in b["patches"]], len(b["posts"])) for b in batch] == [(0, [["data", "id"]], 0)]
    assert nuv("sync", str(path), "--expect-no-changes").status == 0


def test_octodns_and_nuv_end_in_the_same_zone(nuv, tmp_path):
    pytest.importorskip("octodns_cloudflare")
    (tmp_path / f"{DOMAIN}.yaml").write_text(OCTODNS_FILE)
    config = tmp_path / "octodns.yaml"
    config.write_text(
        f"providers:\n  config:\n    class: octodns.provider.yaml.YamlProvider\n    directory: {tmp_path}\n"
        f"  cloudflare:\n    class: octodns_cloudflare.CloudflareProvider\n    token: {nuv.standin.token}\n"
        f"    api_url: {nuv.standin.api_url}\n    pagerules: false\n    retry_period: 1\n"
        f"zones:\n  {DOMAIN}.:\n    sources: [config]\n    targets: [cloudflare]\n"
    )
    env = dict(nuv.base_env, REQUESTS_CA_BUNDLE=nuv.standin.ca_file)
    command = [sys.executable, "-m", "octodns.cmds.sync", "--config-file", str(config), "--doit"]
    octodns = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120, check=False)
    assert octodns.returncode == 0, octodns.stderr
    by_octodns = _zone(nuv)
    # nuv reads octoDNS's file as octoDNS meant it: nothing to do on octoDNS's zone ...
    assert nuv("sync", str(tmp_path / f"{DOMAIN}.yaml"), "--expect-no-changes").status == 0
    # ... and from empty it makes the same zone.
    for record in nuv.records():
        nuv.standin.delete_record(nuv.zone["id"], record["id"])
    assert nuv("sync", str(tmp_path / f"{DOMAIN}.yaml"), "--apply").status == 0
    assert _zone(nuv) == by_octodns


def test_unsafe_plan_is_shown_refused_and_applied_only_with_force(nuv, tmp_path):
    for i in range(12):
        nuv.standin.add_record(nuv.zone["id"], type="A", name=f"h{i}", content=f"192.0.2.{i}", ttl=300)
    path = tmp_path / f"{DOMAIN}.yaml"
    path.write_text("---\nh0:\n  ttl: 300\n  type: A\n  value: 192.0.2.0\n")
    refused = nuv("sync", str(path), "--apply")
    assert refused.status == 1 and len(nuv.records()) == 12
    assert f"  delete A h1.{DOMAIN} 192.0.2.1" in refused.out.splitlines()
    assert refused.err == (
        f"nuv: {DOMAIN}: refused: it would update 0 and delete 11 of the 12 records in scope, more than 30%"
        " -- --force carries it out\n"
    )
    forced = nuv("sync", str(path), "--apply", "--force", "--json")
    assert forced.status == 0 and forced.json["zones"][0]["counts"] == {"create": 0, "update": 0, "delete": 11}
    assert [r["name"] for r in nuv.records()] == [f"h0.{DOMAIN}"]
