"""The Cloudflare v4 API model: zones, DNS records, three zone settings, cache purge.

Statuses, codes and messages follow the service as observed (see the project
README's stand-in notes for the ones the stand-in had to choose itself).
"""

from __future__ import annotations

import datetime
import hashlib
import ipaddress
import json
import math
import re
import secrets
import threading
import time
from collections import defaultdict, deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from ._http import Request, Response, json_response
from ._ratelimit import RateLimit, TokenLimiter
from ._records import (
    DATA_FIELDS,
    HOSTNAME_CONTENT,
    comment_refusal,
    content_from_data,
    is_hostname,
    name_refusal,
    same_content,
    stored_data,
    strip_final_dot,
    tag_pairs,
    tags_refusal,
)
from ._schema import RECORD_TYPES, RequestSchemas
from ._zone_transfer import zone_file_routes

PREFIX = "/client/v4"
PROXIABLE = frozenset({"A", "AAAA", "CNAME"})
ADDRESS_TYPES = frozenset({"A", "AAAA"})
# Proxied records may not point at these (9003).
FORBIDDEN_PROXY_TARGETS = frozenset({"1.1.1.1"})
# Addresses no visitor can be proxied to: the service refuses them as
# proxied targets like its own resolver (9003).
UNPROXIABLE_NETWORKS = tuple(
    ipaddress.ip_network(network)
    for network in ("0.0.0.0/8", "10.0.0.0/8", "127.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12", "192.168.0.0/16",
                    "::/128", "::1/128", "fc00::/7", "fe80::/10")
)  # fmt: skip
SETTINGS: dict[str, frozenset[str]] = {
    "always_use_https": frozenset({"on", "off"}),
    "automatic_https_rewrites": frozenset({"on", "off"}),
    "ssl": frozenset({"off", "flexible", "full", "strict", "origin_pull"}),
}
# "ssl" starts at "flexible" so that moving a new zone to "full" is a visible change.
DEFAULT_SETTINGS = {"always_use_https": "off", "automatic_https_rewrites": "off", "ssl": "flexible"}
ZONE_NAME = re.compile(r"^([a-zA-Z0-9][\-a-zA-Z0-9]*\.)+[\-a-zA-Z0-9]{2,20}$")
IDENTIFIER = re.compile(r"^[0-9a-fA-F]{32}$")
# RFC 6750 b64token; anything else after "Bearer " is a malformed header to the service.
BEARER = re.compile(r"^[Bb][Ee][Aa][Rr][Ee][Rr] ([A-Za-z0-9._~+/=-]+)$")
AUTH_KEY = re.compile(r"^[0-9a-f]{37}$")
EMAIL = re.compile(r"^[^@\s]+@[^@\s]+\.[^@\s]+$")
NAME_OPERATORS = frozenset(
    {
        "equal",
        "not_equal",
        "starts_with",
        "ends_with",
        "contains",
        "starts_with_case_sensitive",
        "ends_with_case_sensitive",
        "contains_case_sensitive",
    }
)
# Records per batch by plan (the service's documented limits).
BATCH_LIMITS = {"free": 200, "pro": 3500, "business": 3500, "enterprise": 3500}
# Records a Free zone may hold (zones created since 2024-09-01); paid zones hold what they are
# given here (the service raises theirs on request).
FREE_RECORD_QUOTA = 200
# Characters of a record's comment by plan.
COMMENT_LIMITS = {"free": 100, "pro": 500, "business": 500, "enterprise": 500}
QUOTA_ERROR = 81045
# Records kept in a zone's history, all states together: a 10,000-record zone keeps its last
# few states, a small one its last HISTORY_LIMIT.
HISTORY_RECORD_BUDGET = 500_000
PLAN_NAMES = {"free": "Free Website", "pro": "Pro Website", "business": "Business Website", "enterprise": "Enterprise"}
BATCH_SECTIONS = ("deletes", "patches", "puts", "posts")
DEFAULT_ACCOUNT_ID = "0123456789abcdef0123456789abcdef"
# Zone states kept per zone for tests to read back; the oldest go first.
HISTORY_LIMIT = 5000
QUERY_ERROR = 9400
# The largest page of records the service serves.
MAX_RECORDS_PER_PAGE = 5000
PRIORITY_ERROR = 9102
BODY_ERROR = 9207
# The stand-in's choice: the service's code for an oversized batch is not documented.
BATCH_LIMIT_ERROR = 81069
# The service's answer headers on its rate limit: the policy every token has.
RATELIMIT_POLICY = '"default";q={limit};w={window}'


def now_text() -> str:
    return datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def new_identifier() -> str:
    return secrets.token_hex(16)


def new_token() -> str:
    # Real API tokens are 40 characters of this alphabet.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"
    return "".join(secrets.choice(alphabet) for _ in range(40))


def is_wellformed_token(token: str) -> bool:
    return BEARER.match("Bearer " + token) is not None


def error(code: int, message: str, chain: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    item: dict[str, Any] = {"code": code, "message": message}
    if chain:
        item["error_chain"] = chain
    return item


class ApiError(Exception):
    def __init__(self, status: int, *errors: dict[str, Any], headers: list[tuple[str, str]] | None = None) -> None:
        super().__init__(errors[0]["message"])
        self.status = status
        self.errors = list(errors)
        self.headers = headers or []


def no_route(path: str) -> ApiError:
    return ApiError(
        400,
        error(7003, f"Could not route to {path}, perhaps your object identifier is invalid?"),
        error(7000, "No route for that URI"),
    )


def dns_validation(code: int, message: str) -> ApiError:
    return ApiError(400, error(1004, "DNS Validation Error", [error(code, message)]))


def success(result: Any, result_info: dict[str, Any] | None = None) -> Response:
    payload: dict[str, Any] = {"result": result, "success": True, "errors": [], "messages": []}
    if result_info is not None:
        payload["result_info"] = result_info
    return json_response(200, payload)


def failure(status: int, errors: list[dict[str, Any]], headers: list[tuple[str, str]] | None = None) -> Response:
    return json_response(status, {"result": None, "success": False, "errors": errors, "messages": []}, headers)


# How a batch is refused when a test makes it unavailable, by HTTP status.
BATCH_REFUSALS: dict[int, dict[str, Any]] = {
    400: error(7000, "No route for that URI"),
    403: error(10000, "Authentication error"),
    404: error(7000, "No route for that URI"),
    405: error(7001, "Method POST not allowed for this route"),
}


@dataclass
class BatchControl:
    """What tests asked of the batch endpoint: refuse it, or fail one item of the next batches."""

    refuse_status: int | None = None
    refuse_remaining: int | None = None
    fail_section: str | None = None
    fail_index: int = 0
    fail_status: int = 400
    fail_error: dict[str, Any] = field(default_factory=dict)
    fail_remaining: int | None = None

    def describe(self) -> dict[str, Any]:
        return {
            "refuse": self.refuse_status,
            "refuse_count": self.refuse_remaining,
            "fail": None
            if self.fail_section is None
            else {
                "section": self.fail_section,
                "index": self.fail_index,
                "status": self.fail_status,
                "code": self.fail_error["code"],
                "message": self.fail_error["message"],
                "count": self.fail_remaining,
            },
        }

    @staticmethod
    def _count(value: Any) -> int | None:
        if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 1):
            raise ValueError("count must be a positive integer or null (until changed)")
        return value

    def configure(self, fields: dict[str, Any]) -> None:
        if "refuse" in fields:
            status = fields["refuse"]
            if status is not None and status not in BATCH_REFUSALS:
                raise ValueError(f"refuse must be one of {sorted(BATCH_REFUSALS)} or null")
            self.refuse_status = status
            self.refuse_remaining = self._count(fields.get("refuse_count"))
        if "fail" in fields:
            fail = fields["fail"]
            if fail is None:
                self.fail_section = None
                return
            if not isinstance(fail, dict) or fail.get("section") not in BATCH_SECTIONS:
                raise ValueError(f"fail.section must be one of {', '.join(BATCH_SECTIONS)}")
            index, status = fail.get("index", 0), fail.get("status", 400)
            if not isinstance(index, int) or isinstance(index, bool) or index < 0:
                raise ValueError("fail.index must be a whole number from 0")
            if not isinstance(status, int) or not 400 <= status <= 599:
                raise ValueError("fail.status must be an HTTP error status")
            code, message = fail.get("code", 9999), fail.get("message")
            if not isinstance(code, int) or isinstance(code, bool):
                raise ValueError("fail.code must be an integer")
            self.fail_remaining = self._count(fail.get("count", 1))
            self.fail_section, self.fail_index, self.fail_status = fail["section"], index, status
            self.fail_error = error(code, message if isinstance(message, str) else f"{fail['section']}[{index}] failed")

    def refusal(self) -> ApiError | None:
        if self.refuse_status is None:
            return None
        refused = ApiError(self.refuse_status, dict(BATCH_REFUSALS[self.refuse_status]))
        if self.refuse_remaining is not None:
            self.refuse_remaining -= 1
            if self.refuse_remaining == 0:
                self.refuse_status = self.refuse_remaining = None
        return refused

    def item_failure(self, section: str, index: int) -> ApiError | None:
        if self.fail_section != section or self.fail_index != index:
            return None
        failed = ApiError(self.fail_status, dict(self.fail_error))
        if self.fail_remaining is not None:
            self.fail_remaining -= 1
            if self.fail_remaining == 0:
                self.fail_section = self.fail_remaining = None
        return failed


@dataclass
class Zone:
    id: str
    name: str
    status: str = "active"
    plan: str = "free"
    account_id: str = DEFAULT_ACCOUNT_ID
    # None: no quota.
    record_quota: int | None = None
    created_on: str = field(default_factory=now_text)
    settings: dict[str, dict[str, Any]] = field(default_factory=dict)
    purges: int = 0
    purge_requests: list[Any] = field(default_factory=list)
    # In creation order: the order the listing uses to break ties.
    records: list[dict[str, Any]] = field(default_factory=list)
    # The records after every write, oldest first: a test can check that no
    # state a resolver could have seen lacked a name.
    history: deque[dict[str, Any]] = field(default_factory=lambda: deque(maxlen=HISTORY_LIMIT))
    history_records: int = 0
    writes: int = 0

    def __post_init__(self) -> None:
        for key, value in DEFAULT_SETTINGS.items():
            self.settings.setdefault(key, {"value": value, "modified_on": None})

    def remember(self, by: str) -> None:
        """Keep the state a write left."""
        self.writes += 1
        if len(self.history) == self.history.maxlen:
            self.history_records -= len(self.history[0]["records"])
        self.history.append(
            {"write": self.writes, "time": time.time(), "by": by, "records": [dict(r) for r in self.records]}
        )
        self.history_records += len(self.records)
        while len(self.history) > 1 and self.history_records > HISTORY_RECORD_BUDGET:
            self.history_records -= len(self.history.popleft()["records"])

    def as_result(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "status": self.status,
            "paused": False,
            "type": "full",
            "development_mode": 0,
            "name_servers": ["ada.ns.cloudflare.com", "bob.ns.cloudflare.com"],
            "original_name_servers": None,
            "original_registrar": None,
            "original_dnshost": None,
            "modified_on": self.created_on,
            "created_on": self.created_on,
            "activated_on": self.created_on,
            "meta": {
                "step": 2,
                "custom_certificate_quota": 0,
                "page_rule_quota": 3,
                "phishing_detected": False,
                "cdn_only": False,
                "dns_only": False,
                "foundation_dns": False,
            },
            "owner": {"id": None, "type": "user", "email": None},
            "account": {"id": self.account_id, "name": "Stand-in Account"},
            "tenant": {"id": None, "name": None},
            "tenant_unit": {"id": None},
            "permissions": ["#dns_records:edit", "#dns_records:read", "#zone:read", "#zone_settings:edit"],
            "plan": {
                "id": "0feeeeeeeeeeeeeeeeeeeeeeeeeeeeee",
                "name": PLAN_NAMES[self.plan],
                "price": 0,
                "currency": "USD",
                "frequency": "",
                "is_subscribed": self.plan != "free",
                "can_subscribe": False,
                "legacy_id": self.plan,
                "legacy_discount": False,
                "externally_managed": False,
            },
            "vanity_name_servers": [],
        }

    def full_name(self, name: str) -> str:
        """The service's reading of a record name: '@' is the apex, anything not under the zone is relative."""
        name = name.rstrip(".")
        if name in ("@", ""):
            return self.name
        lowered = name.lower()
        if lowered == self.name or lowered.endswith("." + self.name):
            return name
        return f"{name}.{self.name}"


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


class CloudflareApp:
    name = "cloudflare"

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self.default_token = new_token()
        self.schemas = RequestSchemas()
        self.tokens: dict[str, frozenset[str] | None] = {}
        self.zones: dict[str, Zone] = {}
        # What reset() goes back to; python -m nuv.testing --cloudflare-rate-limit sets it.
        self.start_rate_limit: RateLimit | None = RateLimit()
        self.limiter = TokenLimiter(self.start_rate_limit)
        self.batch = BatchControl()
        self.reset()

    # ----- control side -------------------------------------------------

    def reset(self) -> None:
        with self.lock:
            self.tokens = {self.default_token: None}
            self.zones = {}
            self.limiter = TokenLimiter(self.start_rate_limit)
            self.batch = BatchControl()

    def set_rate_limit(self, fields: dict[str, Any] | None) -> dict[str, Any] | None:
        rate = RateLimit.parse(fields)
        with self.lock:
            self.limiter = TokenLimiter(rate)
        return None if rate is None else rate.describe()

    def rate_limit(self) -> dict[str, Any] | None:
        with self.lock:
            rate = self.limiter.rate
        return None if rate is None else rate.describe()

    def configure_batch(self, fields: dict[str, Any]) -> dict[str, Any]:
        with self.lock:
            self.batch.configure(fields)
            return self.batch.describe()

    def history(self, zone_id: str, fields: list[str] | None) -> list[dict[str, Any]]:
        with self.lock:
            states = list(self._control_zone(zone_id).history)
        if fields is None:
            return states
        return [dict(s, records=[{k: r.get(k) for k in fields} for r in s["records"]]) for s in states]

    def clear_history(self, zone_id: str) -> None:
        with self.lock:
            zone = self._control_zone(zone_id)
            zone.history.clear()
            zone.history_records = 0

    def add_token(self, token: str, zones: list[str] | None) -> None:
        if not isinstance(token, str) or not is_wellformed_token(token):
            raise ValueError("a token is one or more of A-Z a-z 0-9 . _ ~ + / = -")
        with self.lock:
            self.tokens[token] = None if zones is None else frozenset(z.lower() for z in zones)

    def add_zone(
        self,
        name: str,
        zone_id: str | None = None,
        status: str = "active",
        plan: str = "free",
        account_id: str | None = None,
        record_quota: int | None | str = "plan",
    ) -> dict[str, Any]:
        if record_quota == "plan":
            record_quota = FREE_RECORD_QUOTA if plan == "free" else None
        if record_quota is not None and (
            not isinstance(record_quota, int) or isinstance(record_quota, bool) or record_quota < 0
        ):
            raise ValueError('record_quota is a number of records, None (no quota) or "plan"')
        if not isinstance(name, str) or not ZONE_NAME.match(name) or len(name) > 253:
            raise ValueError(f"not a zone name: {name!r}")
        if zone_id is not None and (not isinstance(zone_id, str) or not IDENTIFIER.match(zone_id)):
            raise ValueError("a zone id is 32 hexadecimal digits")
        if status not in ("initializing", "pending", "active", "moved"):
            raise ValueError(f"not a zone status: {status!r}")
        if plan not in BATCH_LIMITS:
            raise ValueError(f"not a plan: {plan!r} (one of {', '.join(BATCH_LIMITS)})")
        if account_id is not None and (not isinstance(account_id, str) or not IDENTIFIER.match(account_id)):
            raise ValueError("an account id is 32 hexadecimal digits")
        with self.lock:
            zone = Zone(
                id=(zone_id or new_identifier()).lower(),
                name=name.lower(),
                status=status,
                plan=plan,
                account_id=(account_id or DEFAULT_ACCOUNT_ID).lower(),
                record_quota=record_quota,
            )
            if zone.id in self.zones:
                raise ValueError(f"zone id {zone.id} already exists")
            self.zones[zone.id] = zone
            return zone.as_result()

    def zone_list(self) -> list[dict[str, Any]]:
        with self.lock:
            return [zone.as_result() for zone in self.zones.values()]

    def _control_zone(self, zone_id: str) -> Zone:
        zone = self.zones.get(zone_id.lower())
        if zone is None:
            raise KeyError(f"no zone {zone_id}")
        return zone

    def seed_record(self, zone_id: str, fields: dict[str, Any]) -> dict[str, Any]:
        """A record stored as given (no validation), with the fields the service fills in."""
        with self.lock:
            zone = self._control_zone(zone_id)
            record_type = str(fields.get("type", "A"))
            stamp = now_text()
            content = fields.get("content", "")
            if "content" not in fields and record_type in DATA_FIELDS and isinstance(fields.get("data"), dict):
                content = content_from_data(record_type, fields["data"])
            record: dict[str, Any] = {
                "id": str(fields.get("id") or new_identifier()).lower(),
                "name": zone.full_name(str(fields.get("name", "@"))),
                "type": record_type,
                "content": content,
                "proxiable": record_type in PROXIABLE,
                "proxied": bool(fields.get("proxied", False)),
                "ttl": fields.get("ttl", 1),
                "settings": fields.get("settings", {}),
                "meta": {},
                "comment": fields.get("comment"),
                "tags": fields.get("tags", []),
                "created_on": stamp,
                "modified_on": stamp,
            }
            if "priority" in fields:
                record["priority"] = fields["priority"]
            extra = {k: v for k, v in fields.items() if k not in record}
            record.update(extra)
            zone.records.append(record)
            zone.remember("control")
            return dict(record)

    def record_list(self, zone_id: str) -> list[dict[str, Any]]:
        with self.lock:
            return [dict(r) for r in self._control_zone(zone_id).records]

    def remove_record(self, zone_id: str, record_id: str) -> None:
        with self.lock:
            zone = self._control_zone(zone_id)
            before = len(zone.records)
            zone.records = [r for r in zone.records if r["id"] != record_id.lower()]
            if len(zone.records) == before:
                raise KeyError(f"no record {record_id}")
            zone.remember("control")

    def setting_values(self, zone_id: str) -> dict[str, str]:
        with self.lock:
            return {k: v["value"] for k, v in self._control_zone(zone_id).settings.items()}

    def purge_count(self, zone_id: str) -> int:
        with self.lock:
            return self._control_zone(zone_id).purges

    # ----- the API ------------------------------------------------------

    def handle(self, request: Request) -> Response:
        try:
            with self.lock:
                token = self._limited_token(request)
                try:
                    response = self._route(request)
                except ApiError as failed:
                    failed.headers += self._quota_headers(token)
                    raise
                response.headers += self._quota_headers(token)
                return response
        except ApiError as failed:
            return failure(failed.status, failed.errors, failed.headers)

    def _limited_token(self, request: Request) -> str | None:
        """The request's known token, counted against its rate limit; raises 429 when over it."""
        match = BEARER.match(request.header("Authorization") or "")
        if match is None or match.group(1) not in self.tokens:
            return None
        token = match.group(1)
        blocked_for = self.limiter.admit(token)
        if blocked_for is not None:
            raise ApiError(
                429,
                error(971, "Please wait and consider throttling your request speed"),
                headers=[("Retry-After", str(max(1, math.ceil(blocked_for))))],
            )
        return token

    def _quota_headers(self, token: str | None) -> list[tuple[str, str]]:
        rate = self.limiter.rate
        if token is None or rate is None:
            return []
        return [
            ("Ratelimit", f'"default";r={self.limiter.left(token)};t={self.limiter.reset_in(token)}'),
            ("Ratelimit-Policy", RATELIMIT_POLICY.format(limit=rate.limit, window=math.ceil(rate.window))),
        ]

    def _route(self, request: Request) -> Response:
        path = request.path
        if path != PREFIX and not path.startswith(PREFIX + "/"):
            raise ApiError(400, error(7000, "No route for that URI"))
        segments = path[len(PREFIX) + 1 :].split("/")
        Handler = Callable[..., Response]
        routes: dict[str, Handler]
        args: tuple[str, ...] = ()
        template: str
        match segments:
            case ["zones"]:
                routes, template = {"GET": self._list_zones}, "/zones"
            case ["zones", zone_id]:
                routes, template, args = {"GET": self._zone_details}, "/zones/{zone_id}", (zone_id,)
            case ["zones", zone_id, "dns_records"]:
                routes = {"GET": self._list_records, "POST": self._create_record}
                template, args = "/zones/{zone_id}/dns_records", (zone_id,)
            case ["zones", zone_id, "dns_records", "batch"]:
                routes, template, args = {"POST": self._batch}, "/zones/{zone_id}/dns_records/batch", (zone_id,)
            case ["zones", zone_id, "dns_records", ("export" | "import") as action]:
                routes, args = zone_file_routes(self, action), (zone_id,)
                template = f"/zones/{{zone_id}}/dns_records/{action}"
            case ["zones", zone_id, "dns_records", record_id]:
                routes = {
                    "GET": self._get_record,
                    "PUT": self._overwrite_record,
                    "PATCH": self._overwrite_record,
                    "DELETE": self._delete_record,
                }
                template, args = "/zones/{zone_id}/dns_records/{dns_record_id}", (zone_id, record_id)
            case ["user", "tokens", "verify"]:
                return self._verify_token(request)
            case ["zones", zone_id, "pagerules"]:
                # Page rules are not modelled: a zone has none (clients that list them, such as
                # octoDNS, then carry on).
                routes, template, args = {"GET": self._list_pagerules}, "/zones/{zone_id}/pagerules", (zone_id,)
            case ["zones", zone_id, "settings"]:
                routes, template, args = {"GET": self._list_settings}, "/zones/{zone_id}/settings", (zone_id,)
            case ["zones", zone_id, "settings", setting_id]:
                routes = {"GET": self._get_setting, "PATCH": self._patch_setting}
                template, args = "/zones/{zone_id}/settings/{setting_id}", (zone_id, setting_id)
            case ["zones", zone_id, "purge_cache"]:
                routes, template, args = {"POST": self._purge}, "/zones/{zone_id}/purge_cache", (zone_id,)
            case _:
                raise ApiError(400, error(7000, "No route for that URI"))
        # Identifiers are checked on the raw (still percent-encoded) segment, as a
        # router does: an encoded "../" is an invalid identifier, not a path step.
        if args and not IDENTIFIER.match(args[0]):
            raise no_route(path)
        if template.endswith("{dns_record_id}") and not IDENTIFIER.match(args[1]):
            raise no_route(path)
        handler = routes.get(request.method)
        if handler is None:
            raise ApiError(405, error(7001, f"Method {request.method} not allowed for this route"))
        token_zones = self._authenticate(request)
        if not args:
            return handler(request, token_zones)
        zone_id = args[0].lower()
        if token_zones is not None and zone_id not in token_zones:
            raise ApiError(403, error(10000, "Authentication error"))
        zone = self.zones.get(zone_id)
        if zone is None:
            raise no_route(path)
        return handler(request, zone, template, *args[1:])

    def _authenticate(self, request: Request) -> frozenset[str] | None:
        """The zones the request's token may touch (None: all); raises the service's auth errors."""
        header = request.header("Authorization")
        if header is None:
            email, key = request.header("X-Auth-Email"), request.header("X-Auth-Key")
            if email is not None or key is not None:
                chain = []
                if key is None or not AUTH_KEY.match(key):
                    chain.append(error(6103, "Invalid format for X-Auth-Key header"))
                if email is None or not EMAIL.match(email):
                    chain.append(error(6102, "Invalid format for X-Auth-Email header"))
                if chain:
                    raise ApiError(400, error(6003, "Invalid request headers", chain))
                # The stand-in knows no global API keys.
                raise ApiError(403, error(9103, "Unknown X-Auth-Key or X-Auth-Email"))
        match = BEARER.match(header or "")
        if match is None:
            raise ApiError(
                400,
                error(6003, "Invalid request headers", [error(6111, "Invalid format for Authorization header")]),
            )
        token = match.group(1)
        if token not in self.tokens:
            raise ApiError(403, error(9109, "Invalid access token"))
        return self.tokens[token]

    # ----- query parsing ------------------------------------------------

    @staticmethod
    def _param(request: Request, name: str) -> str | None:
        values = request.query.get(name)
        if not values or values[0] == "":
            # An empty filter is no filter.
            return None
        return values[0]

    def _int_param(
        self, request: Request, name: str, default: int, low: int, high: int, clamp: bool = False
    ) -> int:
        text = self._param(request, name)
        if text is None:
            return default
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if clamp and value == value and value.is_integer() and value > high:
            return high
        if not (value == value and value.is_integer() and low <= value <= high):
            raise ApiError(
                400, error(QUERY_ERROR, f"Invalid value for {name}: must be a whole number from {low} to {high}")
            )
        return int(value)

    def _choice_param(self, request: Request, name: str, choices: tuple[str, ...], default: str | None) -> str | None:
        text = self._param(request, name)
        if text is None:
            return default
        if text not in choices:
            raise ApiError(400, error(QUERY_ERROR, f"Invalid value for {name}: must be one of {', '.join(choices)}"))
        return text

    @staticmethod
    def _paginate(items: list[Any], page: int, per_page: int) -> tuple[list[Any], dict[str, Any]]:
        start = (page - 1) * per_page
        chunk = items[start : start + per_page]
        info = {
            "page": page,
            "per_page": per_page,
            "count": len(chunk),
            "total_count": len(items),
            "total_pages": math.ceil(len(items) / per_page),
        }
        return chunk, info

    @staticmethod
    def _combine(predicates: list[Callable[[Any], bool]], match: str) -> Callable[[Any], bool]:
        if not predicates:
            return lambda _item: True
        if match == "any":
            return lambda item: any(p(item) for p in predicates)
        return lambda item: all(p(item) for p in predicates)

    # ----- zones --------------------------------------------------------

    def _list_zones(self, request: Request, token_zones: frozenset[str] | None) -> Response:
        predicates: list[Callable[[Zone], bool]] = []
        name = self._param(request, "name")
        if name is not None:
            if len(name) > 253:
                raise ApiError(400, error(QUERY_ERROR, "Invalid value for name: at most 253 characters"))
            predicates.append(self._name_predicate(name))
        status = self._choice_param(request, "status", ("initializing", "pending", "active", "moved"), None)
        if status is not None:
            predicates.append(lambda zone: zone.status == status)
        account_id = self._param(request, "account.id")
        if account_id is not None:
            predicates.append(lambda zone: zone.account_id == account_id.lower())
        types = self._param(request, "type")
        wanted_types = set(types.split(",")) if types else {"full", "partial", "secondary"}
        page = self._int_param(request, "page", 1, 1, 1_000_000_000)
        per_page = self._int_param(request, "per_page", 20, 5, 50, clamp=True)
        order = self._choice_param(
            request, "order", ("name", "status", "account.id", "account.name", "plan.id"), "name"
        )
        direction = self._choice_param(request, "direction", ("asc", "desc"), "asc")
        match = self._choice_param(request, "match", ("any", "all"), "all") or "all"
        keep = self._combine(predicates, match)
        zones = [
            z
            for z in self.zones.values()
            if "full" in wanted_types and keep(z) and (token_zones is None or z.id in token_zones)
        ]
        key = {"name": lambda z: z.name, "status": lambda z: z.status, "account.id": lambda z: z.account_id}.get(
            order or "name", lambda z: ""
        )
        zones.sort(key=key, reverse=direction == "desc")
        chunk, info = self._paginate(zones, page, per_page)
        return success([z.as_result() for z in chunk], info)

    @staticmethod
    def _name_predicate(value: str) -> Callable[[Zone], bool]:
        operator, sep, operand = value.partition(":")
        if not sep or operator not in NAME_OPERATORS:
            operator, operand = "equal", value
        sensitive = operator.endswith("_case_sensitive")
        base = operator.removesuffix("_case_sensitive")
        wanted = operand if sensitive else operand.lower()

        def test(zone: Zone) -> bool:
            name = zone.name if sensitive else zone.name.lower()
            match base:
                case "equal":
                    return name == wanted
                case "not_equal":
                    return name != wanted
                case "starts_with":
                    return name.startswith(wanted)
                case "ends_with":
                    return name.endswith(wanted)
                case _:
                    return wanted in name

        return test

    def _zone_details(self, request: Request, zone: Zone, template: str) -> Response:
        return success(zone.as_result())

    # ----- DNS records: listing ----------------------------------------

    def _list_records(self, request: Request, zone: Zone, template: str) -> Response:
        predicates: list[Callable[[dict[str, Any]], bool]] = []
        record_type = self._param(request, "type")
        if record_type is not None:
            wanted_type = record_type.upper()
            if wanted_type not in RECORD_TYPES:
                raise ApiError(400, error(QUERY_ERROR, f"Invalid value for type: {record_type}"))
            predicates.append(lambda r: str(r.get("type", "")).upper() == wanted_type)
        for field_name in ("name", "content", "comment"):
            for operator in ("exact", "contains", "startswith", "endswith"):
                key = f"{field_name}.{operator}"
                value = self._param(request, key)
                if value is None and operator == "exact":
                    value = self._param(request, field_name)
                if value is not None:
                    predicates.append(self._text_predicate(field_name, operator, value))
        if request.query.get("comment.present"):
            predicates.append(lambda r: bool(r.get("comment")))
        if request.query.get("comment.absent"):
            predicates.append(lambda r: not r.get("comment"))
        proxied = self._choice_param(request, "proxied", ("true", "false"), None)
        if proxied is not None:
            predicates.append(lambda r: bool(r.get("proxied")) == (proxied == "true"))
        tag_predicates = self._tag_predicates(request)
        tag_match = self._choice_param(request, "tag_match", ("any", "all"), "all") or "all"
        if tag_predicates:
            predicates.append(self._combine(tag_predicates, tag_match))
        search = self._param(request, "search")
        if search is not None:
            predicates.append(self._search_predicate(search))
        match = self._choice_param(request, "match", ("any", "all"), "all") or "all"
        page = self._int_param(request, "page", 1, 1, 1_000_000_000)
        # Above the maximum the service serves the maximum and says so in result_info.
        per_page = self._int_param(request, "per_page", 100, 1, MAX_RECORDS_PER_PAGE, clamp=True)
        order = self._choice_param(request, "order", ("type", "name", "content", "ttl", "proxied"), "type") or "type"
        direction = self._choice_param(request, "direction", ("asc", "desc"), "asc")
        keep = self._combine(predicates, match)
        records = [r for r in zone.records if keep(r)]

        def sort_key(record: dict[str, Any]) -> Any:
            value = record.get(order)
            if order in ("ttl", "proxied"):
                return (0, float(value)) if isinstance(value, (int, float)) else (1, 0.0)
            return str(value or "").lower()

        # Python's sort is stable (also with reverse=True), so equal keys keep creation order.
        records.sort(key=sort_key, reverse=direction == "desc")
        chunk, info = self._paginate(records, page, per_page)
        return success([dict(r) for r in chunk], info)

    @staticmethod
    def _text_predicate(field_name: str, operator: str, value: str) -> Callable[[dict[str, Any]], bool]:
        wanted_as_given = value.lower()
        # Names are stored without a final dot, host-name contents too: filters drop it the same way.
        wanted_host = strip_final_dot(wanted_as_given)

        def test(record: dict[str, Any]) -> bool:
            stored = record.get(field_name)
            if stored is None:
                return False
            have, wanted = str(stored).lower(), wanted_as_given
            if field_name == "name" or (field_name == "content" and record.get("type") in HOSTNAME_CONTENT):
                have, wanted = strip_final_dot(have), wanted_host
            if operator == "exact":
                return have == wanted
            if operator == "startswith":
                return have.startswith(wanted)
            if operator == "endswith":
                return have.endswith(wanted)
            return wanted in have

        return test

    def _tag_predicates(self, request: Request) -> list[Callable[[dict[str, Any]], bool]]:
        """One predicate per tag filter value (a filter may be given more than once)."""
        predicates: list[Callable[[dict[str, Any]], bool]] = []

        def pair(key: str, value: str) -> tuple[str, str]:
            tag_name, sep, tag_value = value.partition(":")
            if not sep or not tag_name:
                raise ApiError(400, error(QUERY_ERROR, f"Invalid value for {key}: expected name:value"))
            return tag_name.lower(), tag_value.lower()

        def compare(operator: str, tag_name: str, wanted: str) -> Callable[[dict[str, Any]], bool]:
            def test(record: dict[str, Any]) -> bool:
                for have_name, have_value in tag_pairs(record.get("tags")):
                    have = have_value.lower()
                    if have_name == tag_name and (
                        (operator == "exact" and have == wanted)
                        or (operator == "contains" and wanted in have)
                        or (operator == "startswith" and have.startswith(wanted))
                        or (operator == "endswith" and have.endswith(wanted))
                    ):
                        return True
                return False

            return test

        def present(tag_name: str) -> Callable[[dict[str, Any]], bool]:
            return lambda record: any(n == tag_name for n, _ in tag_pairs(record.get("tags")))

        for value in (v for v in request.query.get("tag", []) if v):
            # "name" is tag.present, "name:value" is tag.exact.
            predicates.append(compare("exact", *pair("tag", value)) if ":" in value else present(value.lower()))
        for value in (v for v in request.query.get("tag.present", []) if v):
            predicates.append(present(value.lower()))
        for value in (v for v in request.query.get("tag.absent", []) if v):
            tested = present(value.lower())
            predicates.append(lambda record, tested=tested: not tested(record))
        for operator in ("exact", "contains", "startswith", "endswith"):
            key = f"tag.{operator}"
            for value in (v for v in request.query.get(key, []) if v):
                predicates.append(compare(operator, *pair(key, value)))
        return predicates

    @staticmethod
    def _search_predicate(value: str) -> Callable[[dict[str, Any]], bool]:
        wanted = value.lower()

        def test(record: dict[str, Any]) -> bool:
            texts = [record.get("name"), record.get("content"), record.get("comment"), *(record.get("tags") or [])]
            return any(isinstance(t, str) and wanted in t.lower() for t in texts)

        return test

    # ----- DNS records: writes -----------------------------------------

    @staticmethod
    def _json_body(request: Request) -> Any:
        try:
            return json.loads(request.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise ApiError(400, error(BODY_ERROR, "Request body is invalid.")) from None

    def _find_record(self, zone: Zone, record_id: str, index: _RecordIndex | None = None) -> dict[str, Any]:
        if index is not None:
            found = index.by_id.get(record_id.lower())
            if found is not None:
                return found
        else:
            for record in zone.records:
                if record["id"] == record_id.lower():
                    return record
        raise ApiError(404, error(81044, "Record does not exist."))

    def _get_record(self, request: Request, zone: Zone, template: str, record_id: str) -> Response:
        return success(dict(self._find_record(zone, record_id)))

    def _create_record(self, request: Request, zone: Zone, template: str) -> Response:
        body = self._json_body(request)
        record = self._checked_record(request.method, template, zone, body, None)
        self._check_quota(zone, len(zone.records) + 1, len(zone.records))
        zone.records.append(record)
        zone.remember(f"POST {template}")
        return success(dict(record))

    def _overwrite_record(self, request: Request, zone: Zone, template: str, record_id: str) -> Response:
        """PUT (unspecified fields back to their defaults) and PATCH (unspecified fields kept)."""
        current = self._find_record(zone, record_id)
        body = self._json_body(request)
        record = self._checked_record(request.method, template, zone, body, current)
        zone.records[zone.records.index(current)] = record
        zone.remember(f"{request.method} {template}")
        return success(dict(record))

    def _delete_record(self, request: Request, zone: Zone, template: str, record_id: str) -> Response:
        # The schema declares a body, but clients send none, and the service takes that.
        record = self._find_record(zone, record_id)
        zone.records.remove(record)
        zone.remember(f"DELETE {template}")
        return success({"id": record["id"]})

    @staticmethod
    def _check_quota(zone: Zone, after: int, before: int) -> None:
        if zone.record_quota is not None and after > zone.record_quota and after > before:
            raise ApiError(400, error(QUOTA_ERROR, "Record quota exceeded."))

    def _checked_record(
        self,
        method: str,
        template: str,
        zone: Zone,
        body: Any,
        current: dict[str, Any] | None,
        index: _RecordIndex | None = None,
    ) -> dict[str, Any]:
        """The record a POST, PUT or PATCH would store; raises the service's validation errors."""
        if not isinstance(body, dict):
            raise dns_validation(BODY_ERROR, "Request body must be a JSON object.")
        if method == "PATCH" and current is not None:
            wanted = {k: v for k, v in current.items() if k in _INPUT_FIELDS}
            wanted.update(body)
        else:
            wanted = dict(body)
        record_type = wanted.get("type")
        known_type = isinstance(record_type, str) and record_type in RECORD_TYPES
        name = wanted.get("name")
        if isinstance(name, str) and name:
            name = zone.full_name(name).lower()
        content = wanted.get("content")

        # Checks with the service's own codes come first; the schema catches the rest.
        if known_type and isinstance(content, str):
            if record_type == "A":
                try:
                    ipaddress.IPv4Address(content)
                except ValueError:
                    raise ApiError(400, error(9005, "Content for A record must be a valid IPv4 address.")) from None
            elif record_type == "AAAA":
                try:
                    # The service keeps IPv6 content in its compressed lower-case form;
                    # a zone index ("%eth0") means nothing outside one host.
                    if "%" in content:
                        raise ValueError(content)
                    content = ipaddress.IPv6Address(content).compressed
                except ValueError:
                    raise ApiError(400, error(9006, "Content for AAAA record must be a valid IPv6 address.")) from None
            if wanted.get("proxied") is True and record_type in ("A", "AAAA") and (
                content in FORBIDDEN_PROXY_TARGETS
                or any(ipaddress.ip_address(content) in network for network in UNPROXIABLE_NETWORKS)
            ):
                raise ApiError(400, error(9003, f"Target {content} is not allowed for a proxied record."))
            elif record_type == "CNAME" and (
                not is_hostname(content) or (isinstance(name, str) and strip_final_dot(content).lower() == name)
            ):
                raise ApiError(400, error(9007, "Content for CNAME record is invalid."))
        if known_type and wanted.get("proxied") is True and record_type not in PROXIABLE:
            raise dns_validation(9004, "This record type cannot be proxied.")
        ttl = wanted.get("ttl", 1)
        if _number(ttl) and not (ttl == 1 or (float(ttl).is_integer() and 60 <= ttl <= 86400)):
            raise ApiError(400, error(9021, "Invalid TTL. Must be between 60 and 86400 seconds, or 1 for automatic."))
        if record_type == "MX":
            priority = wanted.get("priority")
            if priority is None:
                raise ApiError(400, error(PRIORITY_ERROR, "Priority is required for MX records."))
            if _number(priority) and not (float(priority).is_integer() and 0 <= priority <= 65535):
                raise ApiError(400, error(PRIORITY_ERROR, "Priority must be a whole number from 0 to 65535."))

        refusal = self.schemas.refusal(method, template, body)
        if refusal is not None:
            raise dns_validation(BODY_ERROR, refusal)
        if not isinstance(name, str) or not name:
            raise dns_validation(BODY_ERROR, "name: a record name is required")
        if len(name) > 255:
            raise dns_validation(BODY_ERROR, "name: the full record name is longer than 255 characters")
        data = wanted.get("data")
        if record_type in DATA_FIELDS and isinstance(data, dict):
            # The service's content is read-only for these types: made from data.
            data = stored_data(record_type, data)
            content = content_from_data(record_type, data)
        if not isinstance(content, str):
            raise dns_validation(BODY_ERROR, "content: record content is required")
        assert isinstance(record_type, str)
        comment = wanted.get("comment")
        if isinstance(comment, str) and len(comment) > COMMENT_LIMITS[zone.plan]:
            raise dns_validation(
                BODY_ERROR, f"comment: longer than the {COMMENT_LIMITS[zone.plan]} characters the zone's plan allows"
            )
        for refusal in (
            name_refusal(name),
            comment_refusal(comment),
            tags_refusal(wanted.get("tags")),
            "content: not a valid host name"
            if record_type in ("MX", "NS", "PTR") and content != "." and not is_hostname(content)
            else None,
        ):
            if refusal is not None:
                raise dns_validation(BODY_ERROR, refusal)
        if record_type in HOSTNAME_CONTENT:
            content = strip_final_dot(content)

        same_name = zone.records if index is None else index.named(name)
        self._check_conflicts(zone, record_type, name, content, data, None if current is None else current["id"], same_name)
        proxied = bool(wanted.get("proxied", False))
        stamp = now_text()
        record: dict[str, Any] = {
            "id": new_identifier() if current is None else current["id"],
            "name": name,
            "type": record_type,
            "content": content,
            "proxiable": record_type in PROXIABLE,
            "proxied": proxied,
            # Proxied records are always "automatic" to the service.
            "ttl": 1 if proxied else int(ttl),
        }
        if record_type == "SRV" and isinstance(data, dict) and _number(data.get("priority")):
            record["priority"] = int(data["priority"])
        elif "priority" in wanted and wanted["priority"] is not None:
            record["priority"] = int(wanted["priority"])
        if "data" in wanted:
            record["data"] = data
        record["settings"] = wanted.get("settings") or {}
        record["meta"] = {}
        record["comment"] = wanted.get("comment")
        record["tags"] = list(wanted.get("tags") or [])
        record["created_on"] = stamp if current is None else current["created_on"]
        record["modified_on"] = stamp
        if record["comment"] is not None:
            record["comment_modified_on"] = stamp
        if record["tags"]:
            record["tags_modified_on"] = stamp
        return record

    @staticmethod
    def _check_conflicts(
        zone: Zone,
        record_type: str,
        name: str,
        content: str,
        data: Any,
        own_id: str | None,
        candidates: list[dict[str, Any]],
    ) -> None:
        same_name = [r for r in candidates if r["id"] != own_id and str(r.get("name", "")).lower() == name]
        for other in same_name:
            if other.get("type") != record_type:
                continue
            if record_type in DATA_FIELDS and isinstance(data, dict) and isinstance(other.get("data"), dict):
                identical = stored_data(record_type, other["data"]) == data
            else:
                identical = same_content(record_type, str(other.get("content", "")), content)
            if identical:
                raise ApiError(400, error(81058, "An identical record already exists."))
        # NS records delegate the name: nothing else may live there (the apex is the zone's own).
        if name != zone.name and any((r.get("type") == "NS") != (record_type == "NS") for r in same_name):
            raise ApiError(400, error(81056, "NS records cannot exist on the same name as any other record type."))
        if record_type == "CNAME" and any(r.get("type") in ("A", "AAAA", "CNAME") for r in same_name):
            raise ApiError(400, error(81053, "An A, AAAA, or CNAME record with that host already exists."))
        if record_type in ADDRESS_TYPES and any(r.get("type") == "CNAME" for r in same_name):
            raise ApiError(
                400,
                error(
                    81054,
                    "A CNAME record with that host already exists. For more details, refer to "
                    "<https://developers.cloudflare.com/dns/manage-dns-records/troubleshooting/records-with-same-name/>.",
                ),
            )

    def _batch(self, request: Request, zone: Zone, template: str) -> Response:
        """All or nothing, in the service's order: deletes, patches, puts, posts."""
        refused = self.batch.refusal()
        if refused is not None:
            raise refused
        body = self._json_body(request)
        if not isinstance(body, dict):
            raise dns_validation(BODY_ERROR, "Request body must be a JSON object.")
        for section in BATCH_SECTIONS:
            items = body.get(section) or []
            if not isinstance(items, list) or not all(isinstance(item, dict) for item in items):
                raise dns_validation(BODY_ERROR, f"{section}: must be a list of objects")
        items = sum(len(body.get(section) or []) for section in BATCH_SECTIONS)
        limit = BATCH_LIMITS[zone.plan]
        if items > limit:
            raise dns_validation(
                BATCH_LIMIT_ERROR,
                f"Too many records in one batch: {items}; the zone's plan allows at most {limit} per batch.",
            )
        # Records are replaced, never changed in place, so the saved list is the old state.
        saved = list(zone.records)
        records = _RecordIndex(zone.records)
        result: dict[str, list[Any]] = {section: [] for section in BATCH_SECTIONS}
        record_template = "/zones/{zone_id}/dns_records/{dns_record_id}"
        try:
            deleted = set()
            for index, item in enumerate(body.get("deletes") or []):
                self._fail_item("deletes", index)
                record = self._find_record(zone, str(item.get("id", "")), records)
                records.remove(record)
                deleted.add(id(record))
                result["deletes"].append(dict(record))
            if deleted:
                zone.records = [r for r in zone.records if id(r) not in deleted]
            for section, method in (("patches", "PATCH"), ("puts", "PUT")):
                for index, item in enumerate(body.get(section) or []):
                    self._fail_item(section, index)
                    current = self._find_record(zone, str(item.get("id", "")), records)
                    fields = {k: v for k, v in item.items() if k != "id"}
                    record = self._checked_record(method, record_template, zone, fields, current, records)
                    zone.records[zone.records.index(current)] = record
                    records.replace(current, record)
                    result[section].append(dict(record))
            for index, item in enumerate(body.get("posts") or []):
                self._fail_item("posts", index)
                record = self._checked_record("POST", "/zones/{zone_id}/dns_records", zone, item, None, records)
                zone.records.append(record)
                records.add(record)
                result["posts"].append(dict(record))
            self._check_quota(zone, len(zone.records), len(saved))
            # Last, so that an item's own error (9021, 81058, ...) is the one reported, as the
            # service reports the first failing item's. Each record was checked on its own
            # already: what is left is the form of the deletes.
            if not all(isinstance(item.get("id"), str) for item in body.get("deletes") or []):
                refusal = self.schemas.refusal("POST", template, body)
                if refusal is not None:
                    raise dns_validation(BODY_ERROR, refusal)
        except ApiError:
            zone.records = saved
            raise
        zone.remember(f"POST {template}")
        return success(result)

    def _fail_item(self, section: str, index: int) -> None:
        failed = self.batch.item_failure(section, index)
        if failed is not None:
            raise failed

    # ----- settings and purge -----------------------------------------

    @staticmethod
    def _setting_result(zone: Zone, setting_id: str) -> dict[str, Any]:
        state = zone.settings[setting_id]
        return {"id": setting_id, "value": state["value"], "editable": True, "modified_on": state["modified_on"]}

    @staticmethod
    def _known_setting(setting_id: str) -> None:
        if setting_id not in SETTINGS:
            raise ApiError(404, error(1006, "Unrecognized zone setting name"))

    def _list_settings(self, request: Request, zone: Zone, template: str) -> Response:
        return success([self._setting_result(zone, setting_id) for setting_id in SETTINGS])

    def _list_pagerules(self, request: Request, zone: Zone, template: str) -> Response:
        return success([])

    def _verify_token(self, request: Request) -> Response:
        if request.method != "GET":
            raise ApiError(405, error(7001, f"Method {request.method} not allowed for this route"))
        match = BEARER.match(request.header("Authorization") or "")
        if match is None or match.group(1) not in self.tokens:
            # The verify route answers for tokens only, in its own words.
            raise ApiError(401, error(1000, "Invalid API Token"))
        token_id = hashlib.sha256(match.group(1).encode("utf-8")).hexdigest()[:32]
        payload = {
            "result": {"id": token_id, "status": "active"},
            "success": True,
            "errors": [],
            "messages": [{"code": 10000, "message": "This API Token is valid and active", "type": None}],
        }
        return json_response(200, payload)

    def _get_setting(self, request: Request, zone: Zone, template: str, setting_id: str) -> Response:
        self._known_setting(setting_id)
        return success(self._setting_result(zone, setting_id))

    def _patch_setting(self, request: Request, zone: Zone, template: str, setting_id: str) -> Response:
        self._known_setting(setting_id)
        body = self._json_body(request)
        refusal = self.schemas.refusal("PATCH", template, body)
        # The schema lets any value through to the {enabled} member, so each setting checks its own.
        value = body.get("value") if isinstance(body, dict) else None
        if refusal is not None or not isinstance(value, str) or value not in SETTINGS[setting_id]:
            raise ApiError(400, error(1007, f"Invalid value for zone setting {setting_id}"))
        zone.settings[setting_id] = {"value": value, "modified_on": now_text()}
        return success(self._setting_result(zone, setting_id))

    def _purge(self, request: Request, zone: Zone, template: str) -> Response:
        body = self._json_body(request)
        refusal = self.schemas.refusal("POST", template, body)
        if refusal is not None or not isinstance(body, dict):
            raise ApiError(
                400, error(BODY_ERROR, "Request body is invalid.", [error(BODY_ERROR, refusal or "not a JSON object")])
            )
        if not (
            body.get("purge_everything") is True or any(body.get(k) for k in ("files", "tags", "hosts", "prefixes"))
        ):
            raise ApiError(
                400,
                error(1012, 'Request must contain one of "purge_everything", "files", "tags", "hosts" or "prefixes"'),
            )
        zone.purges += 1
        zone.purge_requests.append(body)
        return success({"id": zone.id})


class _RecordIndex:
    """A zone's records by id and by name, kept up to date through one batch of thousands of
    writes (a scan of the zone per write would make a 3,500-record batch take minutes)."""

    def __init__(self, records: list[dict[str, Any]]) -> None:
        self.by_id = {r["id"]: r for r in records}
        self.by_name: dict[str, list[dict[str, Any]]] = defaultdict(list)
        for record in records:
            self.by_name[str(record.get("name", "")).lower()].append(record)

    def named(self, name: str) -> list[dict[str, Any]]:
        return self.by_name.get(name, [])

    def add(self, record: dict[str, Any]) -> None:
        self.by_id[record["id"]] = record
        self.by_name[str(record.get("name", "")).lower()].append(record)

    def remove(self, record: dict[str, Any]) -> None:
        self.by_id.pop(record["id"], None)
        same = self.by_name.get(str(record.get("name", "")).lower(), [])
        same[:] = [r for r in same if r is not record]

    def replace(self, old: dict[str, Any], new: dict[str, Any]) -> None:
        self.remove(old)
        self.add(new)


# Fields a PATCH inherits from the stored record; the rest are the service's own.
_INPUT_FIELDS = frozenset(
    {"type", "name", "content", "proxied", "ttl", "priority", "comment", "tags", "settings", "data"}
)
