"""The DingTalk custom-robot webhook: ``POST /robot/send?access_token=..&timestamp=..&sign=..``.

Every answer is HTTP 200 with ``{"errcode", "errmsg"}``, as the service does;
clients must read ``errcode``.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import json
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any

from ._http import Request, Response, decode_text, json_response

MORE = "more: [https://ding-doc.dingtalk.com/doc#/serverapi2/qf2nxq]"
SIGN_MISMATCH = (310000, f"sign not match, {MORE}")
BAD_TIMESTAMP = (310000, f"invalid timestamp, {MORE}")
KEYWORDS_MISSING = (310000, f"keywords not in content, {MORE}")
RATE_LIMITED = (410100, "发送速度太快而限流，请降低发送速度")
UNKNOWN_MSGTYPE = (400105, "不支持的消息类型，请使用文档中支持的消息类型")
BAD_BODY = (40035, "缺少参数 json")
NOT_POST = (43002, "需要POST请求")
TIMESTAMP_WINDOW_MS = 3600 * 1000
# The answers seen for an unknown access token: 300001 from ordinary groups
# (the long-standing answer), 300005 from external groups, 400101 in the
# current error table.
UNKNOWN_TOKEN_ANSWERS: dict[int, str] = {
    300001: "token is not exist",
    300005: "token is not exist",
    400101: "access_token不存在，请确认access_token拼写是否正确",
}
# The service's limit: 20 messages a minute per robot, then 10 minutes of 410100.
RATE_LIMIT, RATE_WINDOW, RATE_THROTTLE = 20, 60.0, 600.0


def signature(secret: str, timestamp: str) -> str:
    """Base64(HMAC-SHA256(key=secret, msg=timestamp + LF + secret)), before URL-encoding."""
    digest = hmac.new(secret.encode("utf-8"), f"{timestamp}\n{secret}".encode(), hashlib.sha256).digest()
    return base64.b64encode(digest).decode("ascii")


@dataclass
class Robot:
    token: str
    secret: str | None
    rate_limit: int | None = RATE_LIMIT
    window: float = RATE_WINDOW
    throttle: float = RATE_THROTTLE
    keywords: list[str] = field(default_factory=list)
    sends: deque[float] = field(default_factory=deque)
    throttled_until: float = 0.0
    messages: list[dict[str, Any]] = field(default_factory=list)


@dataclass
class Options:
    """App-wide switches for tests: ``rate_limits`` False lifts every robot's
    limit; ``time_scale`` multiplies every robot's window and throttle (0.01
    turns 60 s / 10 min into 0.6 s / 6 s); ``unknown_token_code`` picks the
    answer to an unknown token."""

    rate_limits: bool = True
    time_scale: float = 1.0
    unknown_token_code: int = 300001

    def update(self, changes: dict[str, Any]) -> dict[str, Any]:
        unknown = set(changes) - {"rate_limits", "time_scale", "unknown_token_code"}
        if unknown:
            raise ValueError(f"unknown DingTalk options: {sorted(unknown)}")
        rate_limits = changes.get("rate_limits", self.rate_limits)
        time_scale = changes.get("time_scale", self.time_scale)
        code = changes.get("unknown_token_code", self.unknown_token_code)
        if not isinstance(rate_limits, bool):
            raise ValueError("rate_limits must be true or false")
        if isinstance(time_scale, bool) or not isinstance(time_scale, (int, float)) or not time_scale > 0:
            raise ValueError("time_scale must be a positive number")
        if code not in UNKNOWN_TOKEN_ANSWERS:
            raise ValueError(f"unknown_token_code must be one of {sorted(UNKNOWN_TOKEN_ANSWERS)}")
        self.rate_limits, self.time_scale, self.unknown_token_code = rate_limits, float(time_scale), code
        return self.as_dict()

    def as_dict(self) -> dict[str, Any]:
        return {
            "rate_limits": self.rate_limits,
            "time_scale": self.time_scale,
            "unknown_token_code": self.unknown_token_code,
        }


def _answer(code: tuple[int, str]) -> Response:
    return json_response(200, {"errcode": code[0], "errmsg": code[1]})


# msgtype -> {field: (required, kind)} of its object, in the service's casing.
# Kinds: "str", "bool01" ("0"/"1", or 0/1), "buttons", "links".
FIELDS: dict[str, dict[str, tuple[bool, str]]] = {
    "text": {"content": (True, "str")},
    "markdown": {"title": (True, "str"), "text": (True, "str")},
    "link": {"title": (True, "str"), "text": (True, "str"), "messageUrl": (True, "str"), "picUrl": (False, "str")},
    "actionCard": {
        "title": (True, "str"),
        "text": (True, "str"),
        "btnOrientation": (False, "bool01"),
        "hideAvatar": (False, "bool01"),
        "singleTitle": (False, "str"),
        "singleURL": (False, "str"),
        "btns": (False, "buttons"),
    },
    "feedCard": {"links": (True, "links")},
}
BUTTON_FIELDS = ("title", "actionURL")
FEED_LINK_FIELDS = ("title", "messageURL", "picURL")
AT_FIELDS = {"atMobiles", "atUserIds", "atDingtalkIds", "isAtAll"}


def _miscased(keys: Any, known: Any) -> bool:
    """True when a key differs from a known field only in letter case (``picURL`` in a link):
    the service would ignore it silently, so a client sending it has a bug worth showing."""
    lowered = {k.lower(): k for k in known}
    return any(isinstance(k, str) and k not in known and k.lower() in lowered for k in keys)


def _all_strings(item: Any, names: tuple[str, ...]) -> bool:
    return (
        isinstance(item, dict)
        and all(isinstance(item.get(name), str) for name in names)
        and not _miscased(item, names)
    )


def _body_problem(message: Any) -> tuple[int, str] | None:
    if not isinstance(message, dict):
        return BAD_BODY
    msgtype = message.get("msgtype")
    if not isinstance(msgtype, str) or msgtype not in FIELDS:
        return UNKNOWN_MSGTYPE
    part = message.get(msgtype)
    if not isinstance(part, dict):
        return BAD_BODY
    fields = FIELDS[msgtype]
    if _miscased(part, fields):
        return BAD_BODY
    for name, (required, kind) in fields.items():
        if name not in part:
            if required:
                return BAD_BODY
            continue
        value = part[name]
        valid = {
            "str": lambda v: isinstance(v, str),
            # The documented "0"/"1"; the best-known client library sends 0/1 and is served.
            "bool01": lambda v: not isinstance(v, bool) and v in ("0", "1", 0, 1),
            "buttons": lambda v: isinstance(v, list) and bool(v) and all(_all_strings(b, BUTTON_FIELDS) for b in v),
            "links": lambda v: isinstance(v, list) and bool(v) and all(_all_strings(x, FEED_LINK_FIELDS) for x in v),
        }[kind](value)
        if not valid:
            return BAD_BODY
    if msgtype == "actionCard":
        single = "singleTitle" in part and "singleURL" in part
        if single == ("btns" in part) or ("singleTitle" in part) != ("singleURL" in part):
            return BAD_BODY  # exactly one of the two button forms
    at = message.get("at")
    if at is not None:
        if not isinstance(at, dict) or _miscased(at, AT_FIELDS):
            return BAD_BODY
        for key in ("atMobiles", "atUserIds", "atDingtalkIds"):
            values = at.get(key)
            if values is not None and (not isinstance(values, list) or not all(isinstance(v, str) for v in values)):
                return BAD_BODY
        if "isAtAll" in at and not isinstance(at["isAtAll"], bool):
            return BAD_BODY
    return None


def visible_texts(message: dict[str, Any]) -> list[str]:
    """What people see of a (valid) message: where the service looks for a keyword."""
    part = message[message["msgtype"]]
    match message["msgtype"]:
        case "text":
            return [part["content"]]
        case "feedCard":
            return [link["title"] for link in part["links"]]
        case "actionCard":
            buttons = [b["title"] for b in part.get("btns", [])]
            return [part["title"], part["text"], *([part["singleTitle"]] if "singleTitle" in part else []), *buttons]
        case _:
            return [part["title"], part["text"]]


class DingTalkApp:
    name = "dingtalk"

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.robots: dict[str, Robot] = {}
        self.options = Options()

    def reset(self) -> None:
        with self.lock:
            self.robots = {}
            self.options = Options()

    def set_options(self, changes: dict[str, Any]) -> dict[str, Any]:
        with self.lock:
            return self.options.update(changes)

    def get_options(self) -> dict[str, Any]:
        with self.lock:
            return self.options.as_dict()

    def add_robot(
        self,
        token: str,
        secret: str | None,
        rate_limit: int | None = RATE_LIMIT,
        window: float = RATE_WINDOW,
        throttle: float = RATE_THROTTLE,
        keywords: list[str] | None = None,
    ) -> None:
        if not isinstance(token, str) or not token:
            raise ValueError("a robot needs a non-empty token")
        if secret is not None and not isinstance(secret, str):
            raise ValueError("secret must be a string or null")
        if rate_limit is not None and (not isinstance(rate_limit, int) or rate_limit < 1):
            raise ValueError("rate_limit must be a positive integer or null")
        if keywords is not None and (not isinstance(keywords, list) or not all(isinstance(k, str) and k for k in keywords)):
            raise ValueError("keywords must be a list of non-empty strings")
        if keywords is not None and len(keywords) > 10:
            raise ValueError("a robot has at most 10 keywords")
        with self.lock:
            self.robots[token] = Robot(
                token, secret or None, rate_limit, float(window), float(throttle), list(keywords or [])
            )

    def messages(self, token: str) -> list[dict[str, Any]]:
        with self.lock:
            robot = self.robots.get(token)
            if robot is None:
                raise KeyError(f"no robot {token}")
            return list(robot.messages)

    def handle(self, request: Request) -> Response:
        if request.path != "/robot/send":
            return json_response(404, {"errcode": 404, "errmsg": "请求的URI地址不存在"})
        if request.method != "POST":
            return _answer(NOT_POST)
        # parse_qs decoded each value exactly once, '+' becoming a blank as the
        # service does: that is the classic "sign not match" of an unencoded '+'.
        token = (request.query.get("access_token") or [""])[0]
        with self.lock:
            robot = self.robots.get(token)
            if robot is None:
                code = self.options.unknown_token_code
                return _answer((code, UNKNOWN_TOKEN_ANSWERS[code]))
            if robot.secret is not None:
                problem = self._signature_problem(robot.secret, request)
                if problem is not None:
                    return _answer(problem)
            now = time.monotonic()
            if self.options.rate_limits and self._rate_limited(robot, now, self.options.time_scale):
                return _answer(RATE_LIMITED)
            try:
                message = json.loads(request.body.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                return _answer(BAD_BODY)
            problem = _body_problem(message)
            if problem is not None:
                return _answer(problem)
            texts = visible_texts(message)
            if robot.keywords and not any(k in text for k in robot.keywords for text in texts):
                return _answer(KEYWORDS_MISSING)
            robot.messages.append(
                {
                    "msgtype": message["msgtype"],
                    "body": message,
                    "raw_body": decode_text(request.body),
                    "query": request.query,
                    "target": request.target,
                    "headers": [[k, v] for k, v in request.headers],
                    "time": time.time(),
                }
            )
        return _answer((0, "ok"))

    @staticmethod
    def _signature_problem(secret: str, request: Request) -> tuple[int, str] | None:
        timestamp = (request.query.get("timestamp") or [""])[0]
        if not timestamp.isascii() or not timestamp.isdigit():
            return BAD_TIMESTAMP
        if abs(time.time() * 1000 - int(timestamp)) > TIMESTAMP_WINDOW_MS:
            return BAD_TIMESTAMP
        sign = (request.query.get("sign") or [""])[0]
        if not hmac.compare_digest(sign.encode("utf-8"), signature(secret, timestamp).encode("ascii")):
            return SIGN_MISMATCH
        return None

    @staticmethod
    def _rate_limited(robot: Robot, now: float, scale: float) -> bool:
        """Counts each signed send; a send over the limit throttles the robot for ``throttle`` seconds."""
        if robot.rate_limit is None:
            return False
        if now < robot.throttled_until:
            return True
        while robot.sends and robot.sends[0] <= now - robot.window * scale:
            robot.sends.popleft()
        if len(robot.sends) >= robot.rate_limit:
            robot.throttled_until = now + robot.throttle * scale
            robot.sends.clear()
            return True
        robot.sends.append(now)
        return False
