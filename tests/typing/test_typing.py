"""The stubs match the extension (stubtest), and a user's script that uses
them is clean under mypy and pyright in strict mode."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent
EXAMPLE = HERE / "cron_ddns.py"


def run(*command: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, capture_output=True, text=True, cwd=HERE, timeout=300)


def test_stubs_match_the_extension():
    pytest.importorskip("mypy")
    result = run(
        sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "stubtest.ini", "--allowlist", "stubtest-allowlist.txt", "nuv", "_nuv"
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_is_clean_under_mypy_strict():
    pytest.importorskip("mypy")
    result = run(sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_is_clean_under_pyright_strict():
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is None:
        pytest.skip("pyright is not installed")
    result = run(pyright, "--pythonpath", sys.executable, str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr
