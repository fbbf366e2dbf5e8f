"""What ``nuv ddns`` keeps between runs, and the lock that makes runs take
turns.

The state file (one per configuration: the names of a command line, or a
``--config`` file; JSON) holds the failures already reported, the messages
not yet posted and the zones of the token (name and id), so that a quiet
round needs no zone look-up. It lives in a folder other users may share
(``/var/lib``, a container volume), so it is never trusted: it is opened
without following a symlink, read only when it is a regular file of at most
1 MiB holding our shape, and otherwise set aside with a warning; the DNS work
goes on without it. It is written through a fresh ``mkstemp`` file (mode
0600) renamed over the old one, and never over anything but a regular file.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

MAX_STATE_BYTES = 1 << 20
LOCK_POLL_SECONDS = 0.1


def warn(text: str) -> None:
    sys.stderr.write(f"nuv: warning: {text}\n")
    sys.stderr.flush()


def now_text() -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S %Z")


@dataclass
class DdnsState:
    path: Path
    # kind of failure -> {"error": one line, "since": when it was first reported}
    notified: dict[str, dict[str, str]] = field(default_factory=dict)
    # messages that could not be posted: {"when", "title", "text"}
    pending: list[dict[str, str]] = field(default_factory=list)
    # the token's zones, as last listed: name (lower case) -> id
    zones: dict[str, str] = field(default_factory=dict)
    _saved: str = ""

    @classmethod
    def load(cls, path: Path) -> DdnsState:
        state = cls(path)
        try:
            saved = _read_regular(path)
        except FileNotFoundError:
            return state
        except _Unusable as unusable:
            _set_aside(path, str(unusable))
            return state
        try:
            state._take(json.loads(saved))
        except (ValueError, RecursionError, TypeError, AttributeError, KeyError):
            _set_aside(path, "not a state file of nuv ddns")
            state = cls(path)
            return state
        state._saved = state._text()
        return state

    def _take(self, saved: Any) -> None:
        notified = saved["notified"]
        pending = saved.get("pending", [])
        zones = saved.get("zones", {})
        if not isinstance(notified, dict) or not isinstance(pending, list) or not isinstance(zones, dict):
            raise TypeError("not our shape")
        if not all(isinstance(k, str) and isinstance(v, str) for k, v in zones.items()):
            raise TypeError("not our shape")
        self.zones = dict(zones)
        for kind, value in notified.items():
            # Older files kept the error text alone.
            entry = {"error": value, "since": ""} if isinstance(value, str) else value
            if not isinstance(entry, dict) or not all(isinstance(v, str) for v in entry.values()):
                raise TypeError("not our shape")
            self.notified[str(kind)] = {"error": entry.get("error", ""), "since": entry.get("since", "")}
        for message in pending:
            if not isinstance(message, dict) or not all(
                isinstance(message.get(key), str) for key in ("when", "title", "text")
            ):
                raise TypeError("not our shape")
            self.pending.append({key: message[key] for key in ("when", "title", "text")})

    def _text(self) -> str:
        document: dict[str, Any] = {"notified": self.notified, "pending": self.pending}
        if self.zones:
            document["zones"] = self.zones
        return json.dumps(document, ensure_ascii=False, indent=1)

    def absorb(self, older: DdnsState) -> None:
        """Takes over what a state file of one of our names kept before
        names shared one (its messages not yet posted, its zones); the
        failures it had reported are told again if they last."""
        self.pending[:0] = older.pending
        self.zones = {**older.zones, **self.zones}

    def save(self) -> None:
        """Writes the state when it changed; a failure is a warning."""
        text = self._text()
        if text == self._saved:
            return
        folder = self.path.parent
        try:
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
            try:
                if not stat.S_ISREG(os.lstat(self.path).st_mode):
                    warn(f"cannot keep the state in {self.path}: it is not a regular file")
                    return
            except FileNotFoundError:
                pass
            fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{self.path.name}.", suffix=".tmp")
            try:
                with os.fdopen(fd, "w", encoding="utf-8") as file:
                    file.write(text)
                    file.flush()
                    os.fsync(file.fileno())
                os.replace(temporary, self.path)
            except BaseException:
                Path(temporary).unlink(missing_ok=True)
                raise
            self._saved = text
        except OSError as failed:
            warn(f"cannot keep the state in {self.path}: {failed.strerror or failed}")


class _Unusable(Exception):
    """The state file is there but cannot be used."""


def _read_regular(path: Path) -> str:
    try:
        # O_NONBLOCK: a FIFO planted there opens at once instead of waiting for a writer.
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except FileNotFoundError:
        raise
    except OSError as failed:
        if failed.errno == errno.ELOOP:
            raise _Unusable("it is a symbolic link") from None
        raise _Unusable(failed.strerror or str(failed)) from None
    with os.fdopen(fd, "rb") as file:
        facts = os.fstat(fd)
        if not stat.S_ISREG(facts.st_mode):
            raise _Unusable("it is not a regular file")
        # Held messages are posted as they are: only our own file is believed.
        if facts.st_uid != os.geteuid():
            raise _Unusable("it belongs to another user")
        data = file.read(MAX_STATE_BYTES + 1)
    if len(data) > MAX_STATE_BYTES:
        raise _Unusable(f"it is larger than {MAX_STATE_BYTES} bytes")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise _Unusable("it is not UTF-8 text") from None


def _set_aside(path: Path, why: str) -> None:
    """Moves a damaged or foreign state file out of the way, when it is ours
    to move (a file, link or FIFO in the folder; never a device)."""
    try:
        kind = os.lstat(path).st_mode
    except OSError:
        return
    if stat.S_ISREG(kind) or stat.S_ISLNK(kind) or stat.S_ISFIFO(kind):
        aside = path.with_name(f"{path.name}.bad-{time.strftime('%Y%m%dT%H%M%S')}-{os.getpid()}")
        try:
            os.rename(path, aside)
        except OSError as failed:
            warn(f"the state file {path} is unusable ({why}) and cannot be set aside "
                 f"({failed.strerror}); it is ignored")
            return
        warn(f"the state file {path} was unusable ({why}); set aside as {aside.name}, starting afresh")
        return
    warn(f"the state file {path} is unusable ({why}); it is ignored")


class RunLock:
    """An exclusive ``flock`` on a file beside the state, held until the
    process ends or ``release``: one ``nuv ddns`` run per name at a time."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._fd: int | None = None

    def acquire(self, timeout: float) -> bool:
        """True once held; False when another run kept it for ``timeout``
        seconds. A lock that cannot be made at all is a warning: the run goes
        on without it."""
        try:
            self.path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, 0o600)
        except OSError as failed:
            warn(f"cannot take the lock {self.path} ({failed.strerror or failed}); running without it")
            return True
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            warn(f"cannot take the lock {self.path} (not a regular file); running without it")
            return True
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os.close(fd)
                    return False
                time.sleep(LOCK_POLL_SECONDS)
                continue
            except BaseException:
                os.close(fd)
                raise
            self._fd = fd
            return True

    def release(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
