"""The trace sink: every target gets the same lines, one piece per line;
Python targets run on the calling thread and cannot break a request; file
descriptors are written without the interpreter lock (a reader thread of the
same process never deadlocks); values cannot forge lines; NUV_TRACE."""

from __future__ import annotations

import io
import logging
import os
import subprocess
import sys
import textwrap
import threading

import nuv
import pytest
from nuv import Cloudflare

from support import closed_port


@pytest.fixture
def restore_trace():
    yield
    nuv.set_trace("stdout")


@pytest.fixture
def offline_cf(client_env, restore_trace):
    """A client whose requests fail at once (nothing listens), in one attempt:
    the trace is all they produce."""
    return Cloudflare(api_token="offline-token-0123456789", api_url=f"https://127.0.0.1:{closed_port()}/client/v4", retries=0)


def stdout_lines(cf, capfd) -> list[str]:
    capfd.readouterr()
    cf.get("/zones")
    return capfd.readouterr().out.splitlines()


def run_python(script: str, timeout: float = 60, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=timeout,
    )


class Collector:
    """An object target that remembers what each write received."""

    def __init__(self) -> None:
        self.writes: list[str] = []

    def write(self, text: str) -> None:
        self.writes.append(text)


class TestTargets:
    @pytest.mark.parametrize("target", ["stderr", "off", "logging", "object", "callable"])
    def test_each_target_gets_the_default_lines_in_its_own_shape(self, offline_cf, capfd, caplog, target):
        expected = stdout_lines(offline_cf, capfd)
        assert len(expected) == 4 and expected[-1].startswith("http_method: get url: https://127.0.0.1:")
        collector, called = Collector(), []
        chosen = {"object": collector, "callable": called.append}.get(target, target)
        nuv.set_trace(chosen)
        assert nuv.get_trace() is chosen if not isinstance(chosen, str) else nuv.get_trace() == chosen
        with caplog.at_level(logging.DEBUG, logger="nuv"):
            status, _ = offline_cf.get("/zones")
        assert status == 7
        out, err = capfd.readouterr()
        assert out == ""  # nothing reaches descriptor 1 but with "stdout"
        got = {
            "stderr": err.splitlines(keepends=True),
            "off": [],
            "logging": [r.getMessage() for r in caplog.records if r.name == "nuv"],
            "object": collector.writes,
            "callable": called,
        }[target]
        want = {
            "stderr": [line + "\n" for line in expected],  # one line per write, newline included
            "off": [],
            "logging": expected,  # one record per line, at DEBUG, no newline
            "object": [line + "\n" for line in expected],
            "callable": expected,
        }[target]
        assert got == want
        if target == "logging":
            assert {r.levelno for r in caplog.records if r.name == "nuv"} == {logging.DEBUG}
        if target != "stderr":
            assert err == ""

    @pytest.mark.parametrize(
        "target, error",
        [("STDOUT", ValueError), ("", ValueError), ("file.log", ValueError), (1, TypeError), (None, TypeError)],
    )
    def test_unknown_targets_are_refused_and_the_target_stays(self, restore_trace, target, error):
        nuv.set_trace("off")
        with pytest.raises(error, match="trace target must be"):
            nuv.set_trace(target)
        assert nuv.get_trace() == "off"

    def test_a_python_target_runs_on_the_calling_thread(self, offline_cf):
        threads: list[int] = []
        nuv.set_trace(lambda line: threads.append(threading.get_ident()))
        worker = threading.Thread(target=offline_cf.get)
        worker.start()
        worker.join()
        assert threads and set(threads) == {worker.ident}

    def test_a_failing_target_goes_to_the_unraisable_hook_and_the_request_goes_on(self, offline_cf, monkeypatch):
        seen: list[BaseException | None] = []
        monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: seen.append(unraisable.exc_value))

        def failing(line: str) -> None:
            raise RuntimeError("target broke")

        nuv.set_trace(failing)
        assert offline_cf.get("/zones")[0] == 7
        assert len(seen) == 4 and all(isinstance(e, RuntimeError) for e in seen)

    def test_a_target_that_traces_itself_does_not_recurse(self, offline_cf):
        lines: list[str] = []

        def nested(line: str) -> None:
            lines.append(line)
            if len(lines) < 50:
                offline_cf.get("/inner")  # its own lines are dropped, not fed back

        nuv.set_trace(nested)
        offline_cf.get("/outer")
        assert len(lines) == 4 and "/outer" in lines[-1]

    def test_a_replaced_target_is_released(self, restore_trace):
        import weakref

        target = Collector()
        ref = weakref.ref(target)
        nuv.set_trace(target)
        nuv.set_trace("off")
        del target
        assert ref() is None


@pytest.mark.parametrize(
    "value, expect, warns",
    [("off", "off", False), ("stderr", "stderr", False), ("logging", "logging", False),
     ("", "stdout", False), ("verbose", "stdout", True), ("Off", "off", False), (" off\n", "off", False),
     ("STDERR", "stderr", False), ("none", "stdout", True), ("o ff", "stdout", True)],
)  # fmt: skip
def test_nuv_trace_is_read_at_import(value, expect, warns):
    done = run_python("import nuv; print(nuv.get_trace())", NUV_TRACE=value)
    assert done.returncode == 0, done.stderr
    assert done.stdout == expect + "\n"
    assert done.stderr.count(f"NUV_TRACE={value.strip()!r} ignored") == warns


class TestDescriptorWrites:
    def test_a_stdout_pipe_read_by_a_thread_of_the_process_does_not_deadlock(self):
        # Two threads trace 180 kB lines into a pipe on descriptor 1 that
        # only a third thread of the same process drains: every line arrives
        # whole, none mixed with another.
        done = run_python(
            f"""
            import os, threading
            from nuv import Cloudflare
            read_end, write_end = os.pipe()
            os.dup2(write_end, 1)
            chunks = []
            def drain():
                while data := os.read(read_end, 65536):
                    chunks.append(data)
            reader = threading.Thread(target=drain)
            reader.start()
            cf = Cloudflare(api_url="https://127.0.0.1:{closed_port()}", retries=0)
            def call(letter):
                for _ in range(3):
                    cf.get("/" + letter * 180_000)
            workers = [threading.Thread(target=call, args=(c,)) for c in "xy"]
            for w in workers: w.start()
            for w in workers: w.join()
            os.close(1); os.close(write_end)
            reader.join()
            lines = [l for l in b"".join(chunks).decode().splitlines() if l.startswith("http_method")]
            assert len(lines) == 6, len(lines)
            for line in lines:
                path = line.rsplit("/", 1)[1]
                assert path in ("x" * 180_000, "y" * 180_000), (len(path), set(path))
            os.write(2, b"ok")
            """,
            timeout=60,
        )
        assert done.returncode == 0 and done.stderr == "ok", done.stderr[-2000:]

    def test_fputs_into_a_fifo_read_by_a_thread_of_the_process(self, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        done = run_python(
            f"""
            import os, threading
            from nuv import Cloudflare
            got = []
            def drain():
                with open({str(fifo)!r}, "rb") as f:
                    got.append(f.read())
            reader = threading.Thread(target=drain)
            reader.start()
            assert Cloudflare().fputs({str(fifo)!r}, "z" * 180_000) == 0
            reader.join()
            assert got == [b"z" * 180_000]
            os.write(2, b"ok")
            """,
            timeout=60,
        )
        assert done.returncode == 0 and done.stderr == "ok", done.stderr[-2000:]


class TestLineSafety:
    @pytest.mark.parametrize(
        "api_url_tail, path, traced",
        [
            ("/client/v4", "/zones\r\nAuthorization: Bearer forged", "/client/v4/zones\\r\\nAuthorization: Bearer forged"),
            ("/a\nhttp_method: get url: forged", "/z", "/a\\nhttp_method: get url: forged/z"),
            ("/v4", "/\r", "/v4/\\r"),
        ],
    )
    def test_line_breaks_in_values_are_escaped(self, client_env, capfd, api_url_tail, path, traced):
        base = f"https://127.0.0.1:{closed_port()}"
        cf = Cloudflare(api_token="t", api_url=base + api_url_tail)
        capfd.readouterr()
        cf.get(path)
        lines = capfd.readouterr().out.splitlines()
        assert len(lines) == 4
        assert lines[-1] == f"http_method: get url: {base}{traced}"

    @pytest.mark.parametrize(
        "token, shown",
        [
            ("A" * 20 + "wxyz", "***wxyz"),
            ("A" * 20 + "xé", "***Axé"),  # 2-byte characters
            ("A" * 20 + "€€", "***€"),  # the first € would be cut
            ("A" * 20 + "a𝄞", "***𝄞"),  # a 4-byte character
            ("A" * 20 + "ab€", "***b€"),
        ],
    )
    def test_the_masked_tail_never_cuts_a_character(self, client_env, capfdbinary, token, shown):
        Cloudflare(api_token=token, api_url=f"https://127.0.0.1:{closed_port()}").get()
        out = capfdbinary.readouterr().out
        out.decode("utf-8")  # the whole trace is valid UTF-8
        assert f"Authorization: Bearer {shown}\n".encode() in out
