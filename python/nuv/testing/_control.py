"""The control API: plain HTTP and JSON, for tests to seed state and read it back,
for callers that hold the run's key (``control_key`` of the JSON line).

Its own requests are never recorded, so a test's reads do not disturb what it checks.
"""

from __future__ import annotations

import hmac
import json
import urllib.parse
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._dingtalk import RATE_LIMIT, RATE_THROTTLE, RATE_WINDOW
from ._http import Request, Response, json_response

if TYPE_CHECKING:
    from ._server import StandInServer

Action = Callable[[], Any]


def _answering(answer: Any, action: Callable[[], object]) -> Action:
    """An action whose own result is None, answered with ``answer``."""

    def run() -> Any:
        action()
        return answer

    return run


class ControlApp:
    def __init__(self, server: StandInServer) -> None:
        self.server = server

    def dispatch(self, request: Request) -> Response:
        scheme, _, key = (request.header("authorization") or "").partition(" ")
        if scheme.lower() != "bearer" or not hmac.compare_digest(key.encode(), self.server.control_key.encode()):
            return json_response(
                401, {"error": "the control API needs this run's key: Authorization: Bearer <control_key>"}
            )
        segments = [urllib.parse.unquote(s) for s in request.path.strip("/").split("/")]
        try:
            body = json.loads(request.body.decode("utf-8")) if request.body.strip() else {}
        except (UnicodeDecodeError, ValueError):
            return json_response(400, {"error": "the body must be JSON"})
        if not isinstance(body, dict):
            return json_response(400, {"error": "the body must be a JSON object"})
        action = self._route(request.method, segments, request, body)
        if action is None:
            return json_response(404, {"error": f"no control route {request.method} {request.path}"})
        try:
            result = action()
        except (ValueError, TypeError) as bad:
            return json_response(400, {"error": str(bad)})
        except KeyError as missing:
            return json_response(404, {"error": str(missing.args[0]) if missing.args else "not found"})
        return json_response(200, result)

    def _route(self, method: str, segments: list[str], request: Request, body: dict[str, Any]) -> Action | None:
        server = self.server
        cloudflare, dingtalk = server.cloudflare, server.dingtalk
        match method, segments:
            case "GET", ["info"]:
                return server.info
            case "POST", ["reset"]:
                return _answering({"reset": True}, server.reset)
            case "GET", ["requests"]:
                app = request.query.get("app", [None])[0]
                return lambda: [e for e in server.log.entries() if app is None or e["app"] == app]
            case "DELETE", ["requests"]:
                return _answering({"cleared": True}, server.log.clear)
            case "POST", ["tokens"]:
                token = body["token"]
                return _answering({"token": token}, lambda: cloudflare.add_token(token, body.get("zones")))
            case "POST", ["zones"]:
                return lambda: cloudflare.add_zone(
                    body["name"],
                    body.get("id"),
                    body.get("status", "active"),
                    body.get("plan", "free"),
                    body.get("account_id"),
                    body.get("record_quota", "plan"),
                )
            case "GET", ["zones"]:
                return cloudflare.zone_list
            case "POST", ["zones", zone_id, "records"]:
                return lambda: cloudflare.seed_record(zone_id, body)
            case "GET", ["zones", zone_id, "records"]:
                return lambda: cloudflare.record_list(zone_id)
            case "DELETE", ["zones", zone_id, "records", record_id]:
                return _answering({"id": record_id}, lambda: cloudflare.remove_record(zone_id, record_id))
            case "GET", ["zones", zone_id, "settings"]:
                return lambda: cloudflare.setting_values(zone_id)
            case "GET", ["zones", zone_id, "purges"]:
                return lambda: cloudflare.purge_count(zone_id)
            case "GET", ["zones", zone_id, "history"]:
                fields = request.query.get("fields", [None])[0]
                return lambda: cloudflare.history(zone_id, None if fields is None else fields.split(","))
            case "DELETE", ["zones", zone_id, "history"]:
                return _answering({"cleared": True}, lambda: cloudflare.clear_history(zone_id))
            case "POST", ["batch"]:
                return lambda: cloudflare.configure_batch(body)
            case "POST", ["rate_limits"]:
                # One member per service; a service not named keeps its limit.
                return lambda: {
                    "cloudflare": cloudflare.set_rate_limit(body["cloudflare"])
                    if "cloudflare" in body
                    else cloudflare.rate_limit()
                }
            case "GET", ["rate_limits"]:
                return lambda: {"cloudflare": cloudflare.rate_limit()}
            case "POST", ["faults"]:
                return _answering({"queued": True}, lambda: server.faults.add(body))
            case "GET", ["faults"]:
                return server.faults.pending
            case "DELETE", ["faults"]:
                return _answering({"cleared": True}, server.faults.clear)
            case "GET", ["pings"]:
                return server.pings.pings
            case "POST", ["trace"]:
                return lambda: server.trace_page.set_addresses(body.get("ipv4"), body.get("ipv6"))
            case "POST", ["robots"]:
                token = body["token"]
                return _answering(
                    {"token": token},
                    lambda: dingtalk.add_robot(
                        token,
                        body.get("secret"),
                        body.get("rate_limit", RATE_LIMIT),
                        body.get("window", RATE_WINDOW),
                        body.get("throttle", RATE_THROTTLE),
                        body.get("keywords"),
                    ),
                )
            case "GET", ["robots", token, "messages"]:
                return lambda: dingtalk.messages(token)
            case "GET", ["dingtalk", "options"]:
                return dingtalk.get_options
            case "POST", ["dingtalk", "options"]:
                return lambda: dingtalk.set_options(body)
        return None
