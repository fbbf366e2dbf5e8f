"""Offline stand-ins for the services nuv talks to, for tests (ours and yours).

One child process serves, on 127.0.0.1 only:

* an HTTPS model of the Cloudflare v4 API (zones, DNS records, three zone
  settings, cache purge) at ``api_url``;
* a DingTalk custom-robot webhook at ``/robot/send``;
* an HTTP proxy (``proxy_url``) that accepts CONNECT for any host and
  terminates TLS with a certificate for that host, so code with fixed host
  names (``api.cloudflare.com``, ``oapi.dingtalk.com``) reaches the stand-ins;
* a control API (``control_url``, answering only to ``control_key``, a key
  made for each run) that seeds state and reads back every request received
  (credentials masked).

Certificates come from a CA made at start-up; hand ``ca_file`` to the client
(for nuv: ``CURL_CA_BUNDLE``).

    with StandIn.start() as standin:
        zone = standin.add_zone("example.com")
        cf = nuv.Cloudflare(api_token=standin.token, api_url=standin.api_url)

This module never imports ``_nuv``; the stand-ins run without the extension.
"""

from __future__ import annotations

import http.client
import importlib.util
import json
import os
import selectors
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path
from typing import Any

__all__ = ["StandIn", "StandInError"]

# What the `testing` extra brings: the stand-in process needs both.
EXTRA_MODULES = {"cryptography": "cryptography", "openapi_schema_validator": "openapi-schema-validator"}


def _missing_extra() -> list[str]:
    missing = []
    for module, distribution in EXTRA_MODULES.items():
        try:
            found = importlib.util.find_spec(module) is not None
        except (ImportError, ValueError):
            found = False  # e.g. blocked with sys.modules[module] = None
        if not found:
            missing.append(distribution)
    return missing


if _missing := _missing_extra():
    # Named after this package so that `python -m nuv.testing` prints just the
    # message (runpy reports an ImportError of the package itself in one line).
    raise ImportError(
        f"nuv.testing needs the 'testing' extra (missing: {', '.join(_missing)}): pip install 'nuv[testing]'",
        name=__name__,
    )

START_TIMEOUT = 30.0
_ABSENT: Any = object()


class StandInError(RuntimeError):
    """The stand-in process failed to start, or its control API refused a call."""


class StandIn:
    api_url: str
    proxy_url: str
    control_url: str
    control_key: str
    ca_file: str
    token: str
    https_port: int
    proxy_port: int
    expired_port: int
    wrong_host_port: int
    refusing_proxy_port: int
    refusing_proxy_url: str
    info: dict[str, Any]

    def __init__(
        self, info: dict[str, Any], process: subprocess.Popen[bytes] | None = None, log_path: Path | None = None
    ) -> None:
        """Wrap a running stand-in described by its JSON line (``start`` is the usual way in)."""
        self.info = dict(info)
        for key, value in info.items():
            setattr(self, key, value)
        self._process = process
        self._log_path = log_path
        parsed = urllib.parse.urlsplit(self.control_url)
        self._control_host = parsed.hostname or "127.0.0.1"
        self._control_port = parsed.port or 80

    # ----- life cycle ---------------------------------------------------

    @classmethod
    def start(cls, timeout: float = START_TIMEOUT, cloudflare_rate_limit: str | None = None) -> StandIn:
        """Spawn ``python -m nuv.testing`` and wait for its JSON line.

        ``cloudflare_rate_limit`` is the start-up (and after-reset) limit of the
        Cloudflare model: "off", or "LIMIT/WINDOW[/BLOCK]" in requests and seconds;
        None keeps the service's 1200/300/300."""
        env = dict(os.environ)
        # The child imports this very package (and whatever `nuv` itself
        # imports) from wherever the parent found them, sys.path edits included.
        package_root = str(Path(__file__).resolve().parents[2])
        paths = [package_root, *(p for p in sys.path if p and os.path.exists(p))]
        env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
        # Its diagnostics go to a file, never to the parent's stderr, where they
        # would mix with what a test captures.
        log_fd, log_name = tempfile.mkstemp(prefix="nuv-standin-", suffix=".log")
        command = [sys.executable, "-m", "nuv.testing"]
        if cloudflare_rate_limit is not None:
            command += ["--cloudflare-rate-limit", cloudflare_rate_limit]
        process = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=log_fd,
            env=env,
            close_fds=True,
        )
        os.close(log_fd)
        log_path = Path(log_name)
        assert process.stdout is not None
        line = b""
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n"):
                left = deadline - time.monotonic()
                chunk = os.read(process.stdout.fileno(), 4096) if left > 0 and selector.select(left) else None
                if not chunk:
                    cls._abandon(process)
                    why = "exited during start-up" if chunk == b"" else f"did not start within {timeout} s"
                    log = log_path.read_text(errors="replace")
                    log_path.unlink(missing_ok=True)
                    raise StandInError(f"stand-in {why}: {log}")
                line += chunk
        return cls(json.loads(line), process, log_path)

    @staticmethod
    def _abandon(process: subprocess.Popen[bytes]) -> None:
        # SIGTERM first so the child can remove its temporary directory.
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                stream.close()

    def stop(self) -> None:
        """Stop the child (closing its stdin is the signal), escalating if it lingers."""
        process, self._process = self._process, None
        if process is None:
            return
        try:
            if process.stdin is not None:
                process.stdin.close()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        finally:
            if process.stdout is not None:
                process.stdout.close()
            if self._log_path is not None:
                self._log_path.unlink(missing_ok=True)

    def __enter__(self) -> StandIn:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def log(self) -> str:
        """What the child wrote on its stderr (start-up summary, internal errors)."""
        if self._log_path is None or not self._log_path.exists():
            return ""
        return self._log_path.read_text(errors="replace")

    # ----- control API --------------------------------------------------

    def _call(self, method: str, path: str, body: Any = None) -> Any:
        # http.client on purpose: urllib would obey an http_proxy that tests set for the client.
        connection = http.client.HTTPConnection(self._control_host, self._control_port, timeout=30)
        try:
            payload = None if body is None else json.dumps(body).encode("utf-8")
            headers = {"Authorization": f"Bearer {self.info.get('control_key', '')}"}
            if payload is not None:
                headers["Content-Type"] = "application/json"
            connection.request(method, path, body=payload, headers=headers)
            response = connection.getresponse()
            data = response.read()
        finally:
            connection.close()
        result = json.loads(data) if data else None
        if response.status != 200:
            message = result.get("error") if isinstance(result, dict) else data.decode("utf-8", "replace")
            raise StandInError(f"{method} {path}: {response.status} {message}")
        return result

    def reset(self) -> None:
        """Back to the start-up state: only the default token; no zones, robots, faults or recorded
        requests; the batch endpoint available; the start-up rate limit with fresh counters."""
        self._call("POST", "/reset")

    def requests(self, app: str | None = None) -> list[dict[str, Any]]:
        """Requests received, oldest first; ``app`` is "cloudflare", "dingtalk" or "test"."""
        query = "" if app is None else "?app=" + urllib.parse.quote(app)
        return self._call("GET", "/requests" + query)

    def clear_requests(self) -> None:
        self._call("DELETE", "/requests")

    def add_token(self, token: str, zones: list[str] | None = None) -> None:
        """Make ``token`` valid, for every zone or only for ``zones`` (ids)."""
        self._call("POST", "/tokens", {"token": token, "zones": zones})

    def add_zone(
        self,
        name: str,
        id: str | None = None,
        status: str = "active",
        plan: str = "free",
        account_id: str | None = None,
        record_quota: int | None | str = "plan",
    ) -> dict[str, Any]:
        """Add a zone; ``plan`` ("free", "pro", "business", "enterprise") sets its batch limit
        (200 or 3500), its comment length (100 or 500) and its record quota ("plan": 200 records
        on Free, none on the others; a number, or None for none); ``account_id`` (32
        hexadecimal digits) its owner, for ``account.id`` filters."""
        fields = {
            "name": name,
            "id": id,
            "status": status,
            "plan": plan,
            "account_id": account_id,
            "record_quota": record_quota,
        }
        return self._call("POST", "/zones", fields)

    def zones(self) -> list[dict[str, Any]]:
        return self._call("GET", "/zones")

    def add_record(self, zone_id: str, **fields: Any) -> dict[str, Any]:
        """Store a record as given, without the API's validation (id and dates are filled in)."""
        return self._call("POST", f"/zones/{_segment(zone_id)}/records", fields)

    def records(self, zone_id: str) -> list[dict[str, Any]]:
        """The zone's records in creation order."""
        return self._call("GET", f"/zones/{_segment(zone_id)}/records")

    def delete_record(self, zone_id: str, record_id: str) -> None:
        self._call("DELETE", f"/zones/{_segment(zone_id)}/records/{_segment(record_id)}")

    def settings(self, zone_id: str) -> dict[str, str]:
        return self._call("GET", f"/zones/{_segment(zone_id)}/settings")

    def purges(self, zone_id: str) -> int:
        return self._call("GET", f"/zones/{_segment(zone_id)}/purges")

    def history(self, zone_id: str, fields: list[str] | None = None) -> list[dict[str, Any]]:
        """The zone's records after every write (API and control), oldest first: dicts of
        ``write`` (1, 2, ...), ``time``, ``by`` ("control" or "METHOD /route template") and
        ``records`` (each cut to ``fields`` when given). A batch is one write."""
        query = "" if fields is None else "?fields=" + urllib.parse.quote(",".join(fields))
        return self._call("GET", f"/zones/{_segment(zone_id)}/history{query}")

    def clear_history(self, zone_id: str) -> None:
        self._call("DELETE", f"/zones/{_segment(zone_id)}/history")

    # ----- batch endpoint, rate limit, faults -----------------------------

    def refuse_batches(self, status: int | None = 404, count: int | None = None) -> None:
        """Make ``POST .../dns_records/batch`` unavailable: 404 or 400 (code 7000, no route),
        405 (7001) or 403 (10000, the token lacks the batch permission); for ``count`` batches
        (None: until called again with ``status=None``)."""
        self._call("POST", "/batch", {"refuse": status, "refuse_count": count})

    def fail_batch_item(
        self,
        section: str | None,
        index: int = 0,
        *,
        status: int = 400,
        code: int = 9999,
        message: str | None = None,
        count: int | None = 1,
    ) -> None:
        """Fail item ``index`` of ``section`` ("deletes", "patches", "puts", "posts") in the next
        ``count`` batches that reach it, with ``status`` and error ``code``/``message``; the whole
        batch is then undone, as the service does. ``section=None`` stops failing."""
        fail = None
        if section is not None:
            fail = {"section": section, "index": index, "status": status, "code": code, "count": count}
            if message is not None:
                fail["message"] = message
        self._call("POST", "/batch", {"fail": fail})

    def set_rate_limit(self, limit: int | None = 1200, window: float = 300.0, block: float | None = None) -> None:
        """The Cloudflare model's limit per token: more than ``limit`` requests within ``window``
        seconds answer 429 (code 971, with Retry-After) for ``block`` seconds (default: ``window``).
        ``limit`` None or 0: off. Counters start afresh; ``reset`` restores the start-up limit."""
        fields = None if not limit else {"limit": limit, "window": window, "block": window if block is None else block}
        self._call("POST", "/rate_limits", {"cloudflare": fields})

    def fault(
        self,
        route: str,
        *,
        method: str | None = None,
        status: int | None = None,
        retry_after: float | str | None = None,
        body: Any = _ABSENT,
        headers: dict[str, str] | None = None,
        drop: bool = False,
        processed: bool = False,
        delay: float = 0.0,
        count: int | None = 1,
    ) -> None:
        """Misbehave on the next ``count`` requests (None: until ``clear_faults``) whose path
        matches ``route`` (a regular expression searched in the path, e.g. ``r"/dns_records$"``)
        and whose method is ``method`` (None: any).

        * ``status``: answer it instead of the service (429 gets Cloudflare's 971 body, 5xx an
          HTML error page, unless ``body`` is given: dict/list as JSON, str as text);
          ``retry_after`` adds a Retry-After header (seconds or an HTTP date).
        * ``drop``: close the connection without answering.
        * ``delay``: wait that many seconds (at most 40) before answering or dropping; alone,
          it delays the service's own answer (the service acts at once, answers late).
        * ``processed``: the service acts on the request first (a write is done), then the
          fault takes effect: a lost answer. Without it the service never sees the request.
        """
        fields: dict[str, Any] = {
            "method": method,
            "path_regex": route,
            "status": status,
            "headers": headers or {},
            "drop": drop,
            "processed": processed,
            "delay": delay,
            "count": count,
            "retry_after": retry_after,
        }
        if body is not _ABSENT:
            fields["body"] = body
        self._call("POST", "/faults", fields)

    def faults(self) -> list[dict[str, Any]]:
        """Faults still queued, with ``remaining`` counts and ``hits`` so far."""
        return self._call("GET", "/faults")

    def add_fault(
        self,
        method: str | None,
        path_regex: str,
        status: int = 500,
        body: Any = None,
        count: int = 1,
        delay: float = 0,
        close: bool = False,
        headers: dict[str, str] | None = None,
    ) -> None:
        """Answer the next ``count`` requests matching ``method`` (None: any) and ``path_regex``
        (searched in the path) with ``status`` and ``body`` (dict/list as JSON, str as text),
        after ``delay`` seconds; with ``close`` drop the connection instead. State is not touched.
        (The older form of ``fault``.)"""
        self._call(
            "POST",
            "/faults",
            {
                "method": method,
                "path_regex": path_regex,
                "status": status,
                "body": body,
                "count": count,
                "delay": delay,
                "close": close,
                "headers": headers or {},
            },
        )

    def clear_faults(self) -> None:
        self._call("DELETE", "/faults")

    def set_trace_addresses(self, ipv4: str | None = None, ipv6: str | None = None) -> dict[str, str]:
        """The addresses the /cdn-cgi/trace page answers (``ip=``) for each family; None keeps one."""
        return self._call("POST", "/trace", {"ipv4": ipv4, "ipv6": ipv6})

    def add_robot(
        self,
        token: str,
        secret: str | None,
        rate_limit: int | None = 20,
        window: float = 60.0,
        throttle: float = 600.0,
        keywords: list[str] | None = None,
    ) -> None:
        """Register a robot. ``secret`` None: no signature required. As the service does, more
        than ``rate_limit`` sends within ``window`` seconds throttle it for ``throttle`` seconds
        (errcode 410100); ``rate_limit`` None: no limit. ``keywords`` (up to 10): a message must
        hold one in its visible texts."""
        self._call(
            "POST",
            "/robots",
            {
                "token": token,
                "secret": secret,
                "rate_limit": rate_limit,
                "window": window,
                "throttle": throttle,
                "keywords": keywords,
            },
        )

    def dingtalk_options(
        self,
        *,
        rate_limits: bool | None = None,
        time_scale: float | None = None,
        unknown_token_code: int | None = None,
    ) -> dict[str, Any]:
        """Change the robot model's switches (those given) and return them all; ``reset`` restores
        the defaults. ``rate_limits`` False: no robot is limited; ``time_scale``: every robot's
        window and throttle multiplied by it (0.01: 0.6 s and 6 s); ``unknown_token_code``: the
        answer to an unknown token, 300001 (default), 300005 or 400101."""
        changes = {"rate_limits": rate_limits, "time_scale": time_scale, "unknown_token_code": unknown_token_code}
        return self._call("POST", "/dingtalk/options", {k: v for k, v in changes.items() if v is not None})

    def messages(self, token: str) -> list[dict[str, Any]]:
        """Messages the robot accepted: msgtype, body (parsed), raw_body, query, target, headers."""
        return self._call("GET", f"/robots/{_segment(token)}/messages")

    def pings(self) -> list[dict[str, Any]]:
        """Heartbeats received, in order: service ("healthchecks" or "kuma"), check (the
        UUID or push token), kind ("start", "success", "fail", "log"; "up", "down") and
        text (the body, or Kuma's msg). Any host's ``/ping/...`` and ``/api/push/...``, and
        every path of ``hc-ping.com`` (through the proxy), are heartbeat endpoints."""
        return self._call("GET", "/pings")

    def url(self, path: str) -> str:
        """URL of ``path`` on the direct HTTPS server."""
        parsed = urllib.parse.urlsplit(self.api_url)
        return f"{parsed.scheme}://{parsed.netloc}{path}"


def _segment(value: str) -> str:
    return urllib.parse.quote(value, safe="")
