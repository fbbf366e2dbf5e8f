"""Native clients for the Cloudflare v4 DNS API and DingTalk robot webhooks.

``Cloudflare`` finds a zone, lists and writes its DNS records, brings one
record into a wanted state (``dns_ensured_record``), changes three zone
settings and purges the cache. ``DingTalk`` posts signed messages of every
type to a custom robot and answers with a checkable ``DingTalkReply``. Both
are implemented in the ``_nuv`` extension; this package re-exports them and
ships their type stubs.

``nuv.testing`` holds local stand-ins of both services for offline tests.
"""

from typing import Final

from _nuv import (
    ApiResponse,
    AuthenticationError,
    Cloudflare,
    CloudflareError,
    ConflictError,
    DingTalk,
    DingTalkError,
    DingTalkReply,
    NotFoundError,
    RateLimitedError,
    TransportError,
    ZoneNotFoundError,
)

__all__ = [
    "Cloudflare",
    "DingTalk",
    "DingTalkReply",
    "DingTalkError",
    "ApiResponse",
    "DEFAULT_API_URL",
    "CloudflareError",
    "AuthenticationError",
    "NotFoundError",
    "RateLimitedError",
    "ConflictError",
    "TransportError",
    "ZoneNotFoundError",
]

DEFAULT_API_URL: Final[str] = Cloudflare().api_url
"""The base URL a Cloudflare object uses unless given ``api_url``."""
