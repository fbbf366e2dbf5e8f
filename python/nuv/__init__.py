"""Native clients for the Cloudflare v4 DNS API and DingTalk robot webhooks.

``Cloudflare`` finds a zone, lists and writes its DNS records, brings one
record into a wanted state (``dns_ensured_record``), changes three zone
settings and purges the cache. ``DingTalk`` posts signed messages of every
type to a custom robot and answers with a checkable ``DingTalkReply``. Both
are implemented in the ``_nuv`` extension; this package re-exports them and
ships their type stubs.

Both trace what they send (secrets masked) to standard output unless told
otherwise: ``set_trace("off")``, ``"stderr"``, ``"logging"``, a file-like
object or a callable; or ``NUV_TRACE`` in the environment at import.

``nuv.testing`` holds local stand-ins of both services for offline tests.
"""

# No run-time import beyond _nuv: `import nuv` is part of every cron job's
# start-up. Annotations live in the stubs (__init__.pyi).
from _nuv import (
    AddressLookupError,
    AddressRefused,
    AddressUnreadable,
    ApiResponse,
    AuthenticationError,
    Cloudflare,
    CloudflareError,
    ConflictError,
    DingTalk,
    DingTalkError,
    DingTalkReply,
    KEEP,
    KeepType,
    NotFoundError,
    PingError,
    RateLimitedError,
    TransportError,
    UnsafeSyncError,
    ZoneNotFoundError,
    __version__,
    get_trace,
    lookup_address,
    ping,
    set_trace,
    versions,
)


__all__ = [
    "Cloudflare",
    "DingTalk",
    "DingTalkReply",
    "DingTalkError",
    "ApiResponse",
    "DEFAULT_API_URL",
    "KEEP",
    "KeepType",
    "CloudflareError",
    "AuthenticationError",
    "NotFoundError",
    "RateLimitedError",
    "ConflictError",
    "TransportError",
    "ZoneNotFoundError",
    "UnsafeSyncError",
    "lookup_address",
    "AddressLookupError",
    "AddressUnreadable",
    "AddressRefused",
    "ping",
    "PingError",
    "set_trace",
    "get_trace",
    "versions",
    "RecordType",
    "DnsRecord",
    "Zone",
    "PlannedWrite",
    "FieldChange",
    "UnrestoredRecord",
    "SyncWrite",
    "SyncResult",
    "WantedRecord",
    "ErrorEntry",
    "PurgeFile",
]

DEFAULT_API_URL = Cloudflare().api_url
"""The base URL a Cloudflare object uses unless given ``api_url``."""


# The typed shapes of records, zones and plans need `typing` (several
# milliseconds to import): made on first use, not at `import nuv`.
_TYPED_NAMES = frozenset(
    {
        "RecordType",
        "DnsRecord",
        "Zone",
        "PlannedWrite",
        "FieldChange",
        "UnrestoredRecord",
        "SyncWrite",
        "SyncResult",
        "WantedRecord",
        "ErrorEntry",
        "PurgeFile",
    }
)


def __getattr__(name: str) -> object:
    if name in _TYPED_NAMES:
        from nuv import _types

        return getattr(_types, name)
    raise AttributeError(f"module 'nuv' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _TYPED_NAMES)
