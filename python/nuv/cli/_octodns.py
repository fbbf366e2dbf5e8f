"""octoDNS's YAML zone files, read into plain records and written back.

One file is one zone (``example.com.yaml``). Keys are names relative to the
zone (``''`` the apex); a key holds one record dict or a list of them, each
with ``type``, ``value`` or ``values``, ``ttl`` (octoDNS's default: 3600)
and the Cloudflare provider's ``octodns: cloudflare:`` keys ``proxied``,
``auto-ttl``, ``comment`` and ``tags``. Values of MX, SRV, CAA, ... are the
dicts octoDNS documents (MX also in its older ``value``/``priority`` form).
Needs PyYAML, imported only here.
"""

from __future__ import annotations

import re
from typing import Any

import yaml

from .._bindzone import DATA_FIELDS, PROXIABLE, ZoneFileError, data_content

# octoDNS's own default when a record gives no ttl.
DEFAULT_TTL = 3600
# octoDNS's names of the service's data fields, where they differ.
_VALUE_KEYS: dict[str, dict[str, str]] = {
    "NAPTR": {"regexp": "regex"},
    "SSHFP": {"fingerprint_type": "type"},
    "TLSA": {
        "certificate_usage": "usage",
        "certificate_association_data": "certificate",
    },
    "HTTPS": {"svcpriority": "priority", "targetname": "target", "svcparams": "value"},
    "SVCB": {"svcpriority": "priority", "targetname": "target", "svcparams": "value"},
}
_HOST_VALUES = frozenset({"CNAME", "NS", "PTR", "ALIAS", "DNAME"})
# Data fields holding a host name (written with the final dot, as octoDNS wants).
_HOST_FIELDS = {"SRV": "target", "NAPTR": "replacement", "HTTPS": "target", "SVCB": "target"}
_SINGLE_VALUE = frozenset({"CNAME", "ALIAS", "DNAME"})
_CHUNK = 255
_LOC_KEYS = (
    "lat_degrees",
    "lat_minutes",
    "lat_seconds",
    "lat_direction",
    "long_degrees",
    "long_minutes",
    "long_seconds",
    "long_direction",
    "altitude",
    "size",
    "precision_horz",
    "precision_vert",
)
# RFC 1876's defaults for what a LOC value leaves out.
_LOC_DEFAULTS = {"altitude": 0, "size": 1, "precision_horz": 10000, "precision_vert": 10}


def _strip_dot(name: str) -> str:
    return name[:-1] if name.endswith(".") and name != "." else name


def _dotted(name: str) -> str:
    return name if name.endswith(".") else name + "."


# ----- TXT ------------------------------------------------------------------------


def txt_content(value: str) -> str:
    """An octoDNS TXT value (``;`` escaped as ``\\;``) as the service's
    content: quoted strings of at most 255 characters, as octoDNS sends it."""
    value = value.replace('"', '\\"')
    chunks = []
    i = 0
    while i < len(value):
        size = min(_CHUNK, len(value) - i)
        # A chunk never ends inside an escape.
        while value[i + size - 1] == "\\" and size > 1:
            size -= 1
        chunks.append(value[i : i + size])
        i += size
    return ('"' + '" "'.join(chunks) + '"').replace("\\;", ";")


def txt_value(content: str) -> str:
    """The service's TXT content as an octoDNS value (strings joined, ``;`` escaped)."""
    text = content.strip()
    if text.startswith('"') and text.endswith('"') and len(text) >= 2:
        parts = []
        i = 0
        while i < len(text):
            if text[i] != '"':
                i += 1
                continue
            j = i + 1
            while j < len(text) and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            parts.append(text[i + 1 : j])
            i = j + 1
        text = "".join(parts).replace('\\"', '"')
    return text.replace("\\;", ";").replace(";", "\\;")


# ----- reading ----------------------------------------------------------------------


def _values(entry: dict[str, Any], where: str) -> list[Any]:
    if "values" in entry:
        values = entry["values"]
        values = values if isinstance(values, list) else [values]
    elif "value" in entry:
        values = [entry["value"]]
    else:
        raise ZoneFileError(f"{where}: no value or values")
    if not values or any(v is None for v in values):
        raise ZoneFileError(f"{where}: an empty value")
    return values


def _value_record(record_type: str, value: Any, zone: str, where: str) -> dict[str, Any]:
    """One octoDNS value as the service's content, priority and data."""
    if record_type in ("A", "AAAA", "OPENPGPKEY"):
        return {"content": str(value)}
    if record_type in _HOST_VALUES:
        return {"content": _strip_dot(str(value))}
    if record_type == "TXT":
        return {"content": txt_content(str(value))}
    if record_type != "MX" and record_type not in DATA_FIELDS:
        raise ZoneFileError(f"{where}: record type {record_type} is not supported")
    if not isinstance(value, dict):
        raise ZoneFileError(f"{where}: a {record_type} value is a mapping, not {value!r}")
    if record_type == "MX":
        exchange = value.get("exchange", value.get("value"))
        preference = value.get("preference", value.get("priority"))
        if exchange is None or preference is None:
            raise ZoneFileError(f"{where}: an MX value needs exchange and preference")
        return {"content": _strip_dot(str(exchange)), "priority": _number(preference, "preference", where)}
    renames = _VALUE_KEYS.get(record_type, {})
    data = {renames.get(k, k): v for k, v in value.items()}
    if record_type == "CAA":
        data.setdefault("flags", 0)
    if record_type in ("HTTPS", "SVCB") and isinstance(data.get("value"), dict):
        data["value"] = " ".join(
            str(k) if v is None else f'{k}="{",".join(map(str, v)) if isinstance(v, list) else v}"'
            for k, v in data["value"].items()
        )
    if record_type in ("HTTPS", "SVCB"):
        data.setdefault("value", "")
    keys = (*DATA_FIELDS[record_type], *(("priority",) if record_type in ("SRV", "URI") else ()))
    if record_type == "LOC":
        keys = _LOC_KEYS[:8]
        data = {**_LOC_DEFAULTS, **data}
    missing = [k for k in keys if k not in data]
    if missing:
        raise ZoneFileError(f"{where}: a {record_type} value needs {', '.join(missing)}")
    host = _HOST_FIELDS.get(record_type)
    if host is not None and isinstance(data.get(host), str):
        data[host] = _strip_dot(data[host])
    fields: dict[str, Any] = {}
    if record_type in ("SRV", "URI"):
        fields["priority"] = _number(data["priority"], "priority", where)
        if record_type == "URI":
            del data["priority"]
    fields["data"] = data
    fields["content"] = data_content(record_type, data)
    return fields


def _number(value: Any, what: str, where: str) -> int:
    try:
        return int(value)
    except (TypeError, ValueError):
        raise ZoneFileError(f"{where}: {what} is not a whole number: {value!r}") from None


def _cloudflare_keys(entry: dict[str, Any], where: str) -> dict[str, Any]:
    octodns = entry.get("octodns") or {}
    if not isinstance(octodns, dict):
        raise ZoneFileError(f"{where}: octodns is a mapping")
    keys = octodns.get("cloudflare") or {}
    if not isinstance(keys, dict):
        raise ZoneFileError(f"{where}: octodns.cloudflare is a mapping")
    return keys


def read_octodns(text: str, zone: str, source: str = "") -> list[dict[str, Any]]:
    """The records of an octoDNS zone file; raises ZoneFileError naming the
    name and type of anything it cannot read."""
    try:
        # libyaml's reader when PyYAML has it: ten times faster on a big zone.
        document = yaml.load(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    except yaml.YAMLError as failure:
        raise ZoneFileError(f"{source or 'YAML'}: {' '.join(str(failure).split())}") from None
    if document is None:
        return []
    if not isinstance(document, dict):
        raise ZoneFileError(f"{source or 'YAML'}: the top level is a mapping of names")
    records: list[dict[str, Any]] = []
    for key, entries in document.items():
        relative = "" if key is None else str(key)
        name = f"{relative}.{zone}" if relative else zone
        for entry in entries if isinstance(entries, list) else [entries]:
            where = f"{source}: {relative!r}" if source else repr(relative)
            if not isinstance(entry, dict) or not isinstance(entry.get("type"), str):
                raise ZoneFileError(f"{where}: a record is a mapping with a type")
            octodns = entry.get("octodns") or {}
            if isinstance(octodns, dict) and octodns.get("ignored"):
                continue
            record_type = entry["type"].upper()
            where += f" {record_type}"
            cloudflare = _cloudflare_keys(entry, where)
            service_type = "CNAME" if record_type == "ALIAS" else record_type
            proxied = bool(cloudflare.get("proxied")) and service_type in PROXIABLE
            ttl = 1 if proxied or cloudflare.get("auto-ttl") else _number(entry.get("ttl", DEFAULT_TTL), "ttl", where)
            for value in _values(entry, where):
                record: dict[str, Any] = {"type": service_type, "name": name}
                record.update(_value_record(record_type, value, zone, where))
                record["ttl"] = ttl
                if service_type in PROXIABLE:
                    record["proxied"] = proxied
                if "comment" in cloudflare:
                    record["comment"] = "" if cloudflare["comment"] is None else str(cloudflare["comment"])
                if "tags" in cloudflare:
                    tags = cloudflare["tags"] or []
                    if not isinstance(tags, list):
                        raise ZoneFileError(f"{where}: tags is a list of name:value")
                    record["tags"] = sorted(str(t) for t in tags)
                records.append(record)
    return records


# ----- writing ----------------------------------------------------------------------


def _octodns_value(record: dict[str, Any]) -> Any:
    record_type = str(record["type"]).upper()
    content = str(record.get("content", ""))
    if record_type in ("CNAME", "NS", "PTR"):
        return _dotted(content)
    if record_type == "MX":
        return {"exchange": _dotted(content), "preference": record.get("priority", 0)}
    if record_type == "TXT":
        return txt_value(content)
    data = record.get("data")
    if record_type not in DATA_FIELDS or not isinstance(data, dict):
        return content
    value = dict(data)
    if record_type in ("SRV", "URI"):
        value["priority"] = data.get("priority", record.get("priority", 0))
    host = _HOST_FIELDS.get(record_type)
    if host is not None and isinstance(value.get(host), str) and value[host] != ".":
        value[host] = _dotted(value[host])
    if record_type in ("HTTPS", "SVCB"):
        value["value"] = _svcparams(str(value.get("value", "")))
    known = _LOC_KEYS if record_type == "LOC" else (*DATA_FIELDS[record_type], "priority")
    renames = {service: octodns for octodns, service in _VALUE_KEYS.get(record_type, {}).items()}
    return {renames.get(k, k): v for k, v in value.items() if k in known}


def _svcparams(text: str) -> dict[str, Any]:
    params: dict[str, Any] = {}
    for word in text.split():
        key, equals, value = word.partition("=")
        value = value.strip('"')
        params[key] = None if not equals else value.split(",") if key in ("alpn", "ipv4hint", "ipv6hint") else value
    return params


def _attributes(record: dict[str, Any]) -> tuple[Any, ...]:
    proxied = bool(record.get("proxied")) and str(record["type"]).upper() in PROXIABLE
    return (record.get("ttl", 1), proxied, record.get("comment") or None, tuple(sorted(record.get("tags") or [])))


def _entry(record_type: str, group: list[dict[str, Any]], apex: bool) -> dict[str, Any]:
    ttl, proxied, comment, tags = _attributes(group[0])
    entry: dict[str, Any] = {"type": "ALIAS" if apex and record_type == "CNAME" else record_type}
    if ttl != 1:
        entry["ttl"] = ttl
    values = [_octodns_value(r) for r in sorted(group, key=lambda r: (r.get("priority") or 0, str(r.get("content"))))]
    if len(values) == 1 and (record_type in _SINGLE_VALUE or not isinstance(values[0], dict)):
        entry["value"] = values[0]
    else:
        entry["values"] = values
    cloudflare: dict[str, Any] = {}
    if proxied:
        cloudflare["proxied"] = True
    if ttl == 1:
        cloudflare["auto-ttl"] = True
    if comment:
        cloudflare["comment"] = comment
    if tags:
        cloudflare["tags"] = list(tags)
    if cloudflare:
        entry["octodns"] = {"cloudflare": cloudflare}
    return entry


def natural_key(text: str) -> tuple[tuple[int, int, str], ...]:
    """octoDNS's order of names (numbers by value: h2 before h10), which its
    reader insists on."""
    return tuple((0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", text) if part)


def write_octodns(zone: str, records: list[dict[str, Any]]) -> str:
    """The records as an octoDNS zone file. Records of one name and type
    that differ in ttl, proxied, comment or tags (which octoDNS keeps per
    name and type) become one entry each: nuv reads that back, octoDNS does not."""
    zone = _strip_dot(zone).lower()
    groups: dict[str, dict[tuple[Any, ...], list[dict[str, Any]]]] = {}
    for record in records:
        name = _strip_dot(str(record.get("name", ""))).lower()
        relative = "" if name == zone else name[: -len(zone) - 1] if name.endswith("." + zone) else name
        key = (str(record["type"]).upper(), *_attributes(record))
        groups.setdefault(relative, {}).setdefault(key, []).append(record)
    document = {}
    for relative in sorted(groups, key=natural_key):
        entries = [_entry(key[0], group, relative == "") for key, group in sorted(groups[relative].items(), key=str)]
        document[relative] = _sorted_keys(entries[0] if len(entries) == 1 else entries)
    if not document:
        return "--- {}\n"
    options = {"Dumper": getattr(yaml, "CSafeDumper", yaml.SafeDumper), "sort_keys": False, "allow_unicode": True}
    options.update(default_flow_style=False, width=1000, explicit_start=True)
    apex = document.pop("", None)
    parts = [yaml.dump({"_": apex}, **options).replace("\n_:", "\n'':", 1)] if apex is not None else []
    if document:
        # The apex apart: PyYAML writes an empty key in the long "? ''" form, octoDNS's files say "'':".
        parts.append(yaml.dump(document, **options)[4 if parts else 0 :])
    return "".join(parts)


def _sorted_keys(value: Any) -> Any:
    """Mappings with their keys in order, as octoDNS's reader insists (names aside)."""
    if isinstance(value, dict):
        return {k: _sorted_keys(value[k]) for k in sorted(value)}
    if isinstance(value, list):
        return [_sorted_keys(v) for v in value]
    return value
