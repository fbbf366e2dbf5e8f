"""Helpers shared by the tests of every subsystem."""

import json


def echoed(response):
    status, body = response
    assert status == 200, response
    return json.loads(body)


def trace_lines(capfd) -> list[str]:
    return capfd.readouterr().out.splitlines()
