"""Fixtures of the command's tests: ``nuv`` runs the command with the
environment ``nuv standin`` prints (real host names through the stand-ins'
proxy, their CA, a robot) against a reset stand-in holding example.com."""

from __future__ import annotations

import os
from collections.abc import Iterator

import pytest
from cli_support import CLEARED, DOMAIN, ROBOT_SECRET, AddressPage, Nuv
from nuv.cli.standin import ROBOT_TOKEN, environment


@pytest.fixture
def nuv(fresh_standin, tmp_path) -> Nuv:
    zone = fresh_standin.add_zone(DOMAIN)
    fresh_standin.add_robot(ROBOT_TOKEN, ROBOT_SECRET)
    env = {k: v for k, v in os.environ.items() if k not in CLEARED}
    env.update(environment(fresh_standin.info, ROBOT_SECRET))
    env["XDG_STATE_HOME"] = str(tmp_path / "state")
    env["PYTHONUNBUFFERED"] = "1"
    return Nuv(fresh_standin, zone, env)


@pytest.fixture
def address_page() -> Iterator[AddressPage]:
    page = AddressPage()
    yield page
    page.close()
