"""Request bodies checked against Cloudflare's own OpenAPI document (the trimmed copy shipped here)."""

from __future__ import annotations

import json
import threading
from pathlib import Path
from typing import Any

SCHEMA_FILE = Path(__file__).with_name("cloudflare-openapi.json")
RECORD_TYPES = frozenset(
    "A AAAA CAA CERT CNAME DNSKEY DS HTTPS LOC MX NAPTR NS OPENPGPKEY PTR SMIMEA SRV SSHFP SVCB TLSA TXT URI".split()
)


# Types whose record schema holds only the shared fields, content and (MX) priority.
PLAIN_TYPES = frozenset({"A", "AAAA", "CNAME", "MX", "NS", "PTR", "TXT", "OPENPGPKEY"})
RECORD_TEMPLATES = frozenset({"/zones/{zone_id}/dns_records", "/zones/{zone_id}/dns_records/{dns_record_id}"})


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _plain_record(method: str, body: Any) -> bool:
    """Whether ``body`` is a record the schema surely accepts: a plain type (or none, for a
    PATCH) and the shared fields with values of their types and ranges. Checking such a record
    against the schema's unions costs milliseconds; a batch holds thousands."""
    if not isinstance(body, dict) or any(key in body for key in ("data", "settings", "private_routing")):
        return False
    record_type = body.get("type")
    if record_type is None:
        if method.upper() != "PATCH":
            return False
    elif record_type not in PLAIN_TYPES:
        return False
    name, content, ttl = body.get("name"), body.get("content"), body.get("ttl")
    priority, comment, tags = body.get("priority"), body.get("comment"), body.get("tags")
    return (
        ("name" not in body or (isinstance(name, str) and 1 <= len(name) <= 255))
        and ("content" not in body or isinstance(content, str))
        and ("ttl" not in body or (_number(ttl) and (ttl == 1 or 30 <= ttl <= 86400)))
        and ("proxied" not in body or isinstance(body["proxied"], bool))
        and ("priority" not in body or (_number(priority) and 0 <= priority <= 65535))
        and (comment is None or isinstance(comment, str))
        and ("tags" not in body or (isinstance(tags, list) and all(isinstance(t, str) for t in tags)))
    )


def _leaves(error: Any) -> list[Any]:
    if not error.context:
        return [error]
    found = []
    for sub in error.context:
        found += _leaves(sub)
    return found


class RequestSchemas:
    """One compiled validator per operation, built on first use (keeps start-up fast)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._document: dict[str, Any] | None = None
        self._validators: dict[tuple[str, str], Any] = {}

    def _validator(self, method: str, path_template: str) -> Any:
        key = (method.lower(), path_template)
        with self._lock:
            if key in self._validators:
                return self._validators[key]
            # Imported here: jsonschema's import is the slowest part of start-up.
            from openapi_schema_validator import OAS30WriteValidator

            if self._document is None:
                self._document = json.loads(SCHEMA_FILE.read_text(encoding="utf-8"))
            operation = self._document["paths"][path_template][key[0]]
            content = operation.get("requestBody", {}).get("content", {}).get("application/json", {})
            schema = content.get("schema")
            validator = None
            if schema is not None:
                # '#/components/...' references resolve against the root we hand over.
                root = dict(schema, components=self._document["components"])
                # Format checking stays off: the model checks addresses itself with
                # the service's own codes (9005/9006), and 'hostname' would only be
                # enforced when an optional package happens to be installed.
                validator = OAS30WriteValidator(root)
            self._validators[key] = validator
            return validator

    def refusal(self, method: str, path_template: str, body: Any) -> str | None:
        """Why the operation's schema refuses ``body``, or None when it accepts it."""
        if path_template in RECORD_TEMPLATES and method.upper() != "DELETE" and _plain_record(method, body):
            return None
        validator = self._validator(method, path_template)
        if validator is None:
            return None
        errors = list(validator.iter_errors(body))
        if not errors:
            return None
        if isinstance(body, dict) and "dns_records" in path_template:
            record_type = body.get("type")
            if record_type is None and method.upper() != "PATCH":
                return "type: a record type is required"
            if record_type is not None and record_type not in RECORD_TYPES:
                return f"type: {json.dumps(record_type)} is not a supported record type"
        leaves = [e for leaf in errors for e in _leaves(leaf)]
        # The record members differ only by their 'type' enum; those misses say nothing.
        useful = [e for e in leaves if not (list(e.absolute_path) == ["type"] and e.validator == "enum")]
        pick = max(useful or leaves, key=lambda e: len(e.absolute_path))
        where = "/".join(str(p) for p in pick.absolute_path)
        return f"{where}: {pick.message}" if where else pick.message
