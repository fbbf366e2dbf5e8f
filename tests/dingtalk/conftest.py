"""Fixtures of the DingTalk tests: a robot on the stand-in reached through its
proxy under the real host name, and the native helpers in tests/dingtalk/native
(built here on first use) for what Python cannot reach or provoke."""

from __future__ import annotations

import ast
import os
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest
from nuv import DingTalk
from robot_credentials import SECRET, TOKEN

ROOT = Path(__file__).resolve().parents[2]
NATIVE_SOURCE = Path(__file__).resolve().parent / "native"


@pytest.fixture
def robot_env(client_env, standin):
    """Every transfer goes through the stand-in's proxy, trusting its CA."""
    client_env.setenv("https_proxy", standin.proxy_url)
    return client_env


@pytest.fixture
def robot(fresh_standin, robot_env) -> DingTalk:
    """A client of a signed robot the stand-in knows."""
    fresh_standin.add_robot(TOKEN, SECRET)
    return DingTalk(token=TOKEN, secret=SECRET)


@pytest.fixture(scope="session")
def native_dir() -> Path:
    """Builds sign_tool and libnuv_preload.so (incrementally, under build/)."""
    search = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=search)
    if cmake is None:
        pytest.skip("cmake is needed to build the native test helpers")
    ninja = shutil.which("ninja", path=search)
    build = ROOT / "build" / ("dingtalk-native-ninja" if ninja else "dingtalk-native-make")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    for command in (
        [cmake, "-S", str(NATIVE_SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug", *generator],
        [cmake, "--build", str(build)],
    ):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    return build


@pytest.fixture(scope="session")
def sign_tool(native_dir) -> Callable[[list[tuple[str, ...]]], list[str]]:
    """Runs requests (command, then text arguments) through sign_tool in one
    process; answers in the same order."""

    def run(requests: list[tuple[str, ...]]) -> list[str]:
        lines = "".join(
            "\t".join([command, *(arg.encode("utf-8").hex() for arg in args)]) + "\n" for command, *args in requests
        )
        done = subprocess.run(
            [str(native_dir / "sign_tool")], input=lines, capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 0, done.stderr
        answers = done.stdout.split("\n")[:-1]
        assert len(answers) == len(requests)
        return answers

    return run


@pytest.fixture
def preloaded(native_dir, standin, robot_env) -> Callable[..., tuple[object, list[str]]]:
    """Runs one send of a DingTalk client in a fresh Python process with
    libnuv_preload.so loaded and the given settings in its environment;
    returns the send's result and the trace lines."""

    def run(call: str, token: str = TOKEN, secret: str = SECRET, **settings: str) -> tuple[object, list[str]]:
        script = (
            "import sys\n"
            "from nuv import DingTalk\n"
            f"robot = DingTalk(token={token!r}, secret={secret!r})\n"
            f"result = robot.{call}\n"
            "sys.stdout.flush()\n"
            "print(repr(result))\n"
        )
        # After whatever is preloaded already (the sanitizer runtime must stay first).
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(native_dir / "libnuv_preload.so")]))
        env = dict(os.environ, LD_PRELOAD=preload, **settings)
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        *trace, result = done.stdout.splitlines()
        return ast.literal_eval(result), trace

    return run
