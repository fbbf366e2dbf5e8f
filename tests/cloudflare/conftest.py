"""Fixtures of the Cloudflare tests: one zone in the stand-in, a client that
has selected it, and a seeder of its records."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from cloudflare_support import DOMAIN, ZONE_ID, rid


@pytest.fixture
def zone(fresh_standin):
    return fresh_standin.add_zone(DOMAIN, id=ZONE_ID)


@pytest.fixture
def zcf(cf, zone, fresh_standin):
    """A client whose zone is example.com, selected as a successful query
    leaves it but without a request; the request log starts empty."""
    cf.zone = DOMAIN
    cf.zone_id = ZONE_ID
    fresh_standin.clear_requests()
    return cf


@pytest.fixture
def seed(fresh_standin, zone):
    """Stores a record of example.com as given (no validation) under rid(n)."""

    def add(n: int, type: str, name: str, content: str, **fields):
        return fresh_standin.add_record(ZONE_ID, id=rid(n), type=type, name=name, content=content, **fields)

    return add


@pytest.fixture(scope="session")
def fail_json_text(tmp_path_factory) -> str:
    """An LD_PRELOAD library that makes building one JSON text fail (see
    native/fail_json_text.c), compiled once per session."""
    source = Path(__file__).parent / "native" / "fail_json_text.c"
    library = tmp_path_factory.mktemp("native") / "libfail_json_text.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(library), str(source), "-Wl,--no-as-needed", "-ljson-c", "-ldl"], check=True)
    return str(library)


@pytest.fixture
def run_preloaded(fail_json_text, fresh_standin, client_env):
    """Runs `code` (with `cf`, a client of example.com, defined) in a fresh
    Python process with the failing-JSON library preloaded; returns its
    completed process (stdout holds the trace)."""

    def run(code: str, fail_text: str, fail_after: int = 0) -> subprocess.CompletedProcess:
        script = (
            "from nuv import Cloudflare\n"
            f"cf = Cloudflare(api_token={fresh_standin.token!r}, api_url={fresh_standin.api_url!r})\n"
            f"cf.zone, cf.zone_id = {DOMAIN!r}, {ZONE_ID!r}\n" + code
        )
        # After whatever is preloaded already (the sanitizer runtime must stay first).
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), fail_json_text]))
        env = dict(os.environ, LD_PRELOAD=preload, NUV_FAIL_JSON_TEXT=fail_text, NUV_FAIL_JSON_AFTER=str(fail_after))
        return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)

    return run
