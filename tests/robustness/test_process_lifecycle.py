"""The process around the client: threads still working while the
interpreter exits, small thread stacks, children started by os.system,
subprocess and fork."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest
from nuv import Cloudflare

# The daemon's target and arguments. (A bound method, not a lambda: a lambda's
# frame would keep the module's globals, and so the slow finalizer below,
# alive.)
DAEMON_AT_EXIT = {
    # A request whose answer comes while the interpreter is finalizing.
    "request": "Cloudflare(api_url={url!r}).get, args=('/slow?seconds=0.8',)",
    # fib runs without the interpreter lock; this one would never finish.
    "fib": "Cloudflare().fib, args=(10000,)",
}


def run_script(body: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True, timeout=timeout
    )


@pytest.mark.parametrize("work", DAEMON_AT_EXIT.values(), ids=DAEMON_AT_EXIT.keys())
def test_a_daemon_thread_at_work_does_not_crash_the_exit(fresh_standin, client_env, work):
    # The daemon runs on a 64 KiB stack, as some thread pools use: fib's depth
    # must not overflow it. The main thread keeps running meanwhile.
    done = run_script(f"""
        import os, sys, threading, time

        class SlowToFinalize:
            # Cleared with the module's globals once finalization has begun,
            # it keeps the interpreter finalizing while the daemon's wait ends.
            def __del__(self, sleep=time.sleep):
                sleep(1)

        keep_until_exit = SlowToFinalize()
        from nuv import Cloudflare
        threading.stack_size(65536)
        worker = threading.Thread(target={work.format(url=fresh_standin.url("/_test"))}, daemon=True)
        worker.start()
        ticks = 0
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            time.sleep(0.01)
            ticks += 1
        print(ticks, worker.is_alive())
    """)
    assert (done.returncode, done.stderr) == (0, "")
    ticks, alive = done.stdout.splitlines()[-1].split()  # after the trace lines
    assert int(ticks) > 20 and alive == "True"


def tcp_socket_inodes() -> set[str]:
    """The TCP connections this process holds, as /proc names them ("socket:[inode]")."""
    tcp = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            tcp |= {f"socket:[{row.split()[9]}]" for row in list(rows)[1:]}
    held = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            held.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            continue
    return held & tcp


# What the child holds: the fd of its own directory listing is gone by the
# time it is read.
CHILD_FDS = """
import os
for fd in os.listdir("/proc/self/fd"):
    try:
        print(os.readlink("/proc/self/fd/" + fd))
    except OSError:
        pass
"""


def test_a_child_started_with_close_fds_false_holds_no_api_connection(fresh_standin, client_env):
    assert Cloudflare(api_url=fresh_standin.url("/_test")).get("/status/200")[0] == 200
    # This one, kept open for the next request, and any other still open.
    kept_alive = tcp_socket_inodes()
    assert kept_alive
    inheritable, other_end = os.pipe()
    os.set_inheritable(inheritable, True)
    try:
        child = subprocess.run([sys.executable, "-c", CHILD_FDS], close_fds=False, capture_output=True, text=True)
        held = set(child.stdout.split())
        assert child.returncode == 0 and os.readlink(f"/proc/self/fd/{inheritable}") in held  # the child inherits
        assert held & kept_alive == set()
    finally:
        os.close(inheritable)
        os.close(other_end)
