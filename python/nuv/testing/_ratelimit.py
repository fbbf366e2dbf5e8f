"""Cloudflare's API rate limit: 1,200 requests per 300 s per token, then every
call of that token is refused with 429 (code 971) for the next 300 s."""

from __future__ import annotations

import math
import time
from collections import deque
from dataclasses import dataclass
from typing import Any

DEFAULT_LIMIT = 1200
DEFAULT_WINDOW = 300.0
DEFAULT_BLOCK = 300.0


@dataclass(frozen=True)
class RateLimit:
    limit: int = DEFAULT_LIMIT
    window: float = DEFAULT_WINDOW
    block: float = DEFAULT_BLOCK

    @classmethod
    def parse(cls, fields: dict[str, Any] | None) -> RateLimit | None:
        """From the control API's object (null or a limit of 0: off); raises ValueError."""
        if fields is None or fields.get("limit") in (0, None):
            return None
        limit = fields["limit"]
        window = fields.get("window", DEFAULT_WINDOW)
        block = fields.get("block", window)
        if not isinstance(limit, int) or isinstance(limit, bool) or limit < 0:
            raise ValueError("limit must be a whole number of requests (0: off)")
        for name, value in (("window", window), ("block", block)):
            if not isinstance(value, (int, float)) or isinstance(value, bool) or not 0 < value <= 86400:
                raise ValueError(f"{name} must be a number of seconds above 0")
        return cls(limit, float(window), float(block))

    def describe(self) -> dict[str, Any]:
        return {"limit": self.limit, "window": self.window, "block": self.block}


class TokenLimiter:
    """Sliding windows per token. Not thread-safe: the caller holds the model's lock."""

    def __init__(self, rate: RateLimit | None) -> None:
        self.rate = rate
        self._sent: dict[str, deque[float]] = {}
        self._blocked_until: dict[str, float] = {}

    def admit(self, token: str) -> float | None:
        """Count a request: None when admitted, else the seconds the token stays blocked."""
        rate = self.rate
        if rate is None:
            return None
        now = time.monotonic()
        until = self._blocked_until.get(token)
        if until is not None:
            if now < until:
                return until - now
            del self._blocked_until[token]
        sent = self._sent.setdefault(token, deque())
        while sent and sent[0] <= now - rate.window:
            sent.popleft()
        if len(sent) >= rate.limit:
            self._blocked_until[token] = now + rate.block
            sent.clear()
            return rate.block
        sent.append(now)
        return None

    def left(self, token: str) -> int:
        """Requests the token may still send in its window (the Ratelimit header's r)."""
        if self.rate is None:
            return 0
        return max(0, self.rate.limit - len(self._sent.get(token, ())))

    def reset_in(self, token: str) -> int:
        """Seconds until the oldest request of the window leaves it (the Ratelimit header's t)."""
        rate, sent = self.rate, self._sent.get(token)
        if rate is None or not sent:
            return 0
        return max(0, math.ceil(sent[0] + rate.window - time.monotonic()))
