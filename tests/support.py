"""Helpers shared by the tests of every subsystem."""

import contextlib
import json
import socket
import threading
import time

# Backoffs, Retry-After waits and rate-limit windows run 100 times faster in
# the suite (tests/conftest.py): the policy decides as it would, the suite
# does not sleep for it.
TEST_WAIT_SCALE = 0.01


def echoed(response):
    status, body = response
    assert status == 200, response
    return json.loads(body)


def trace_lines(capfd) -> list[str]:
    return capfd.readouterr().out.splitlines()


@contextlib.contextmanager
def ticking_thread():
    """Another Python thread noting the time every 10 ms while the block
    runs: the ticks show whether it ran while the block waited."""
    ticks: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        yield ticks
    finally:
        stop.set()
        thread.join()


def closed_port() -> int:
    """A 127.0.0.1 port that nothing listens on: "no network" in tests."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def in_new_thread(call):
    """call() in a thread of its own (which has no connections yet); its result."""
    results = []
    thread = threading.Thread(target=lambda: results.append(call()))
    thread.start()
    thread.join(60)
    assert not thread.is_alive() and len(results) == 1
    return results[0]
