"""A zone's records as a BIND file, both ways:
``GET /zones/{id}/dns_records/export`` answers the zone as the service
writes it (SOA, the zone's name servers, the records by type, comments and
tags as ``; comment cf_tags=...``), and ``POST /zones/{id}/dns_records/import``
takes one (multipart ``file``, optional ``proxied``) and adds the records it
does not hold yet, all or nothing."""

from __future__ import annotations

import datetime
import email.parser
import email.policy
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .._bindzone import DATA_FIELDS, PROXIABLE, ZoneFileError, read_zone, write_zone
from ._http import Request, Response, text_response

if TYPE_CHECKING:
    from ._cloudflare import CloudflareApp, Zone

# The service's documented limit on an uploaded zone file.
IMPORT_LIMIT = 256 * 1024
# Stand-in choices: the service's codes for these refusals are not documented.
IMPORT_FORM_ERROR = 1002
IMPORT_PARSE_ERROR = 1004
IDENTICAL = 81058


def zone_file_routes(app: CloudflareApp, action: str) -> dict[str, Callable[..., Response]]:
    """The route table's entry for ``.../dns_records/export`` or ``/import``."""
    if action == "export":
        return {"GET": lambda request, zone, template: export_zone(zone)}
    return {"POST": lambda request, zone, template: import_zone(app, request, zone)}


def export_zone(zone: Zone) -> Response:
    nameservers = tuple(zone.as_result()["name_servers"])
    serial = 2_000_000_000 + zone.writes
    text = write_zone(
        zone.name,
        [dict(r) for r in zone.records],
        soa=f"{nameservers[0]}. dns.cloudflare.com. {serial} 10000 2400 604800 3600",
        nameservers=nameservers,
        exported=datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M:%S"),
    )
    return text_response(200, text)


def _form(request: Request) -> dict[str, bytes]:
    """The fields of a multipart/form-data body; raises ApiError when it is not one."""
    from ._cloudflare import ApiError, error

    content_type = request.header("Content-Type") or ""
    if not content_type.lower().startswith("multipart/form-data"):
        raise ApiError(400, error(IMPORT_FORM_ERROR, "Content-Type must be multipart/form-data"))
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + request.body
    )
    fields: dict[str, bytes] = {}
    for part in message.iter_parts() if message.is_multipart() else []:
        name = part.get_param("name", header="content-disposition")
        payload = part.get_payload(decode=True)
        if isinstance(name, str) and isinstance(payload, bytes):
            fields[name] = payload
    return fields


def _record_body(record: dict[str, Any], proxied: bool) -> dict[str, Any]:
    body: dict[str, Any] = {"type": record["type"], "name": record["name"], "ttl": record["ttl"]}
    if record["type"] in DATA_FIELDS and "data" in record:
        body["data"] = record["data"]
    else:
        body["content"] = record["content"]
    if record["type"] in ("MX", "URI") and "priority" in record:
        body["priority"] = record["priority"]
    if record["type"] in PROXIABLE:
        body["proxied"] = record.get("proxied", proxied)
    if record.get("comment"):
        body["comment"] = record["comment"]
    if record.get("tags"):
        body["tags"] = record["tags"]
    return body


def import_zone(app: CloudflareApp, request: Request, zone: Zone) -> Response:
    from ._cloudflare import ApiError, _RecordIndex, dns_validation, error, success

    fields = _form(request)
    upload = fields.get("file")
    if upload is None:
        raise ApiError(400, error(IMPORT_FORM_ERROR, "file: a BIND config is required"))
    if len(upload) > IMPORT_LIMIT:
        raise ApiError(400, error(IMPORT_FORM_ERROR, f"file: larger than {IMPORT_LIMIT} bytes"))
    proxied = fields.get("proxied", b"false").strip().lower() == b"true"
    try:
        parsed = read_zone(upload.decode("utf-8"), zone.name)
    except (ZoneFileError, UnicodeDecodeError) as failure:
        raise dns_validation(IMPORT_PARSE_ERROR, f"file: {failure}") from None
    nameservers = {ns.lower() for ns in zone.as_result()["name_servers"]}
    saved = list(zone.records)
    index = _RecordIndex(zone.records)
    added = 0
    try:
        for record in parsed.records:
            name = str(record["name"]).lower()
            if name != zone.name and not name.endswith("." + zone.name):
                continue
            # The zone's own name servers are the service's, not records.
            if record["type"] == "NS" and name == zone.name and record["content"].lower() in nameservers:
                continue
            body = _record_body(record, proxied)
            try:
                stored = app._checked_record("POST", "/zones/{zone_id}/dns_records", zone, body, None, index)
            except ApiError as refused:
                if refused.errors[0].get("code") == IDENTICAL:
                    continue
                raise
            zone.records.append(stored)
            index.add(stored)
            added += 1
        app._check_quota(zone, len(zone.records), len(saved))
    except ApiError:
        zone.records = saved
        raise
    if added:
        zone.remember("POST /zones/{zone_id}/dns_records/import")
    return success({"recs_added": added, "total_records_parsed": len(parsed.records) + len(parsed.skipped)})
