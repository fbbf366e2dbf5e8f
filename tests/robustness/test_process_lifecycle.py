"""The process around the client: threads still working while the
interpreter exits, small thread stacks, children started by os.system,
subprocess and fork."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

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


# Forks made while other threads keep making TLS handshakes; each child makes
# one request of its own. Without the library gate about 1 fork in 300 left
# a child waiting forever on an OpenSSL lock it inherited held.
FORK_ROUNDS = int(os.environ.get("NUV_FORK_ROUNDS", "150"))
CHILD_DEADLINE = 10.0


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_children_forked_during_transfers_never_hang(fresh_standin, client_env, tmp_path, capfd):
    # Two names for one CA, switched all the time: every switch makes every
    # thread start over with a new store, share and connection.
    names = [str(tmp_path / f"ca-{n}.pem") for n in range(2)]
    for name in names:
        shutil.copy(fresh_standin.ca_file, name)
    url = fresh_standin.url("/_test")
    stop = threading.Event()

    def busy(n: int) -> None:
        cf = Cloudflare(api_url=url)
        while not stop.is_set():
            os.environ["CURL_CA_BUNDLE"] = names[n % 2]
            cf.get("/empty")
            n += 1

    workers = [threading.Thread(target=busy, args=(n,)) for n in range(3)]
    for worker in workers:
        worker.start()
    hung = 0
    try:
        for _ in range(FORK_ROUNDS):
            pid = os.fork()
            if pid == 0:
                try:
                    ok = Cloudflare(api_url=url).get("/status/201")[0] == 201
                finally:
                    os._exit(0 if ok else 1)
            deadline = time.monotonic() + CHILD_DEADLINE
            while (waited := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                time.sleep(0.005)
            if waited[0] == 0:
                hung += 1
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            else:
                assert os.waitstatus_to_exitcode(waited[1]) == 0
            capfd.readouterr()
    finally:
        stop.set()
        for worker in workers:
            worker.join()
    assert hung == 0, f"{hung} of {FORK_ROUNDS} children hung"
