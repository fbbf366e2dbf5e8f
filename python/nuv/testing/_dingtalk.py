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
TOKEN_UNKNOWN = (300001, "token is not exist")
SIGN_MISMATCH = (310000, f"sign not match, {MORE}")
BAD_TIMESTAMP = (310000, f"invalid timestamp, {MORE}")
KEYWORDS_MISSING = (310000, f"keywords not in content, {MORE}")
RATE_LIMITED = (410100, "发送速度太快而限流，请降低发送速度")
UNKNOWN_MSGTYPE = (400105, "不支持的消息类型，请使用文档中支持的消息类型")
BAD_BODY = (40035, "缺少参数 json")
NOT_POST = (43002, "需要POST请求")
TIMESTAMP_WINDOW_MS = 3600 * 1000

# msgtype -> the string fields the service needs in its object.
REQUIRED_FIELDS: dict[str, tuple[str, ...]] = {
    "text": ("content",),
    "markdown": ("title", "text"),
    "link": ("text", "title", "messageUrl"),
    "actionCard": ("title", "text"),
    "feedCard": (),
}


def signature(secret: str, timestamp: str) -> str:
    """Base64(HMAC-SHA256(key=secret, msg=timestamp + LF + secret)), before URL-encoding."""
    digest = hmac.new(secret.encode("utf-8"), f"{timestamp}\n{secret}".encode(), hashlib.sha256).digest()
    return base64.b64encode(digest).decode("ascii")


@dataclass
class Robot:
    token: str
    secret: str | None
    rate_limit: int | None = None
    window: float = 60.0
    throttle: float = 600.0
    keywords: list[str] = field(default_factory=list)
    sends: deque[float] = field(default_factory=deque)
    throttled_until: float = 0.0
    messages: list[dict[str, Any]] = field(default_factory=list)


def _answer(code: tuple[int, str]) -> Response:
    return json_response(200, {"errcode": code[0], "errmsg": code[1]})


def _body_problem(message: Any) -> tuple[int, str] | None:
    if not isinstance(message, dict):
        return BAD_BODY
    msgtype = message.get("msgtype")
    if not isinstance(msgtype, str) or msgtype not in REQUIRED_FIELDS:
        return UNKNOWN_MSGTYPE
    part = message.get(msgtype)
    if not isinstance(part, dict):
        return BAD_BODY
    if any(not isinstance(part.get(name), str) for name in REQUIRED_FIELDS[msgtype]):
        return BAD_BODY
    if msgtype == "actionCard":
        single = isinstance(part.get("singleTitle"), str) and isinstance(part.get("singleURL"), str)
        buttons = part.get("btns")
        separate = (
            isinstance(buttons, list)
            and bool(buttons)
            and all(
                isinstance(b, dict) and isinstance(b.get("title"), str) and isinstance(b.get("actionURL"), str)
                for b in buttons
            )
        )
        if not (single or separate):
            return BAD_BODY
    if msgtype == "feedCard":
        links = part.get("links")
        if (
            not isinstance(links, list)
            or not links
            or not all(
                isinstance(link, dict) and all(isinstance(link.get(k), str) for k in ("title", "messageURL", "picURL"))
                for link in links
            )
        ):
            return BAD_BODY
    at = message.get("at")
    if at is not None:
        if not isinstance(at, dict):
            return BAD_BODY
        for key in ("atMobiles", "atUserIds", "atDingtalkIds"):
            values = at.get(key)
            if values is not None and (not isinstance(values, list) or not all(isinstance(v, str) for v in values)):
                return BAD_BODY
        if "isAtAll" in at and not isinstance(at["isAtAll"], bool):
            return BAD_BODY
    return None


def _searchable_text(message: dict[str, Any]) -> str:
    return json.dumps(message.get(message["msgtype"]), ensure_ascii=False)


class DingTalkApp:
    name = "dingtalk"

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.robots: dict[str, Robot] = {}

    def reset(self) -> None:
        with self.lock:
            self.robots = {}

    def add_robot(
        self,
        token: str,
        secret: str | None,
        rate_limit: int | None = None,
        window: float = 60.0,
        throttle: float = 600.0,
        keywords: list[str] | None = None,
    ) -> None:
        if not isinstance(token, str) or not token:
            raise ValueError("a robot needs a non-empty token")
        if secret is not None and not isinstance(secret, str):
            raise ValueError("secret must be a string or null")
        if rate_limit is not None and (not isinstance(rate_limit, int) or rate_limit < 1):
            raise ValueError("rate_limit must be a positive integer or null")
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
                return _answer(TOKEN_UNKNOWN)
            if robot.secret is not None:
                problem = self._signature_problem(robot.secret, request)
                if problem is not None:
                    return _answer(problem)
            now = time.monotonic()
            if self._rate_limited(robot, now):
                return _answer(RATE_LIMITED)
            try:
                message = json.loads(request.body.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                return _answer(BAD_BODY)
            problem = _body_problem(message)
            if problem is not None:
                return _answer(problem)
            if robot.keywords and not any(k in _searchable_text(message) for k in robot.keywords):
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
    def _rate_limited(robot: Robot, now: float) -> bool:
        """Counts each signed send; a send over the limit throttles the robot for ``throttle`` seconds."""
        if robot.rate_limit is None:
            return False
        if now < robot.throttled_until:
            return True
        while robot.sends and robot.sends[0] <= now - robot.window:
            robot.sends.popleft()
        if len(robot.sends) >= robot.rate_limit:
            robot.throttled_until = now + robot.throttle
            robot.sends.clear()
            return True
        robot.sends.append(now)
        return False
