"""fib and fputs: no network, no instance state."""

import os
import subprocess

import pytest
from nuv import Cloudflare


@pytest.fixture
def cf():
    return Cloudflare()


@pytest.mark.parametrize(
    "n, expected",
    [(0, 0), (1, 1), (2, 1), (10, 55), (40, 102334155), (48, 512559680)],
)
def test_fib_values(cf, n, expected):
    assert cf.fib(n) == expected


def test_fib_takes_its_argument_modulo_2_32(cf):
    assert cf.fib(2**32 + 10) == 55
    assert cf.fib(n=2**64 + 2) == 1


@pytest.mark.parametrize("n", [-1, 10001, 2**32 - 1])
def test_fib_refuses_what_would_never_finish(cf, n):
    with pytest.raises(ValueError, match="at most 10000"):
        cf.fib(n)


@pytest.mark.parametrize("bad", [1.5, "3", None])
def test_fib_argument_types(cf, bad):
    with pytest.raises(TypeError):
        cf.fib(bad)


def test_fib_keyword_rules(cf):
    assert cf.fib(n=10) == 55
    with pytest.raises(TypeError):
        cf.fib(m=10)


def test_fib_is_interrupted_by_ctrl_c(cf):
    # fib holds the interpreter lock, so the signal has to come from outside.
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            cf.fib(80)
    finally:
        killer.wait(timeout=10)


def test_fputs_creates_replaces_and_empties(cf, tmp_path):
    path = tmp_path / "out.txt"
    assert cf.fputs(str(path), "héllo\nworld") == 0
    assert path.read_text(encoding="utf-8") == "héllo\nworld"
    assert cf.fputs(str(path), "x") == 0
    assert path.read_text() == "x"
    assert cf.fputs(filename=str(path), text="") == 0
    assert path.read_bytes() == b""


def test_fputs_reports_a_failed_write(cf):
    assert cf.fputs("/dev/full", "data") == -1


def test_fputs_cannot_open(cf, tmp_path):
    missing = tmp_path / "no" / "such" / "dir.txt"
    with pytest.raises(FileNotFoundError) as info:
        cf.fputs(str(missing), "x")
    assert info.value.filename == str(missing)


@pytest.mark.parametrize("args", [("a",), ("a", "b", "c"), ("a\0b", "x"), ("a", 1)])
def test_fputs_argument_errors(cf, args, tmp_path):
    with pytest.raises((TypeError, ValueError)):
        cf.fputs(*args)
