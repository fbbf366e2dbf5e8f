"""Zone files in the master-file format (RFC 1035 section 5) with the
comment conventions of Cloudflare's zone export and import, read into plain
records and written back.

A record here is a dict in the service's own terms: ``type``, ``name`` (the
full name, no final dot), ``content`` (as the service lists it), ``ttl``, and
when the file says so ``priority``, ``data`` (the service's fields of CAA,
SRV, ...), ``proxied``, ``comment`` and ``tags``. The attributes ride in a
record's trailing comment as Cloudflare writes them::

    www.example.com.  300  IN  A  192.0.2.1 ; the comment cf_tags=cf-proxied:true,team:web

Shared by the ``nuv`` command and the stand-in's export and import, so it
needs nothing beyond the standard library. Comments are the reason it reads
the format itself: general zone-file readers drop them.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "DATA_FIELDS",
    "PROXIABLE",
    "ZoneFileError",
    "ZoneText",
    "data_content",
    "format_attributes",
    "read_zone",
    "record_rdata",
    "split_attributes",
    "write_zone",
]

PROXIABLE = frozenset({"A", "AAAA", "CNAME"})
# The service's fields of the types whose content it makes from ``data``, in
# presentation order; SRV and URI keep their priority in a field of its own.
DATA_FIELDS: dict[str, tuple[str, ...]] = {
    "CAA": ("flags", "tag", "value"),
    "CERT": ("type", "key_tag", "algorithm", "certificate"),
    "DNSKEY": ("flags", "protocol", "algorithm", "public_key"),
    "DS": ("key_tag", "algorithm", "digest_type", "digest"),
    "HTTPS": ("priority", "target", "value"),
    "NAPTR": ("order", "preference", "flags", "service", "regex", "replacement"),
    "SMIMEA": ("usage", "selector", "matching_type", "certificate"),
    "SRV": ("weight", "port", "target"),
    "SSHFP": ("algorithm", "type", "fingerprint"),
    "SVCB": ("priority", "target", "value"),
    "TLSA": ("usage", "selector", "matching_type", "certificate"),
    "URI": ("weight", "target"),
    "LOC": (),
}
# Fields the service shows quoted, as a zone file writes them.
_QUOTED = frozenset({("CAA", "value"), ("NAPTR", "flags"), ("NAPTR", "service"), ("NAPTR", "regex"), ("URI", "target")})
# Fields holding a host name: relative to the origin in a file, stored without the final dot.
_HOST_FIELDS = frozenset({("SRV", "target"), ("HTTPS", "target"), ("SVCB", "target"), ("NAPTR", "replacement")})
# Fields that are text; the others are whole numbers.
_TEXT_FIELDS = frozenset(
    {
        ("CAA", "tag"),
        ("CAA", "value"),
        ("CERT", "certificate"),
        ("DNSKEY", "public_key"),
        ("DS", "digest"),
        ("HTTPS", "target"),
        ("HTTPS", "value"),
        ("NAPTR", "flags"),
        ("NAPTR", "service"),
        ("NAPTR", "regex"),
        ("NAPTR", "replacement"),
        ("SMIMEA", "certificate"),
        ("SRV", "target"),
        ("SSHFP", "fingerprint"),
        ("SVCB", "target"),
        ("SVCB", "value"),
        ("TLSA", "certificate"),
        ("URI", "target"),
    }
)
# The last field takes the rest of the line (base64 and hex may be split in blanks).
_REST_FIELDS = frozenset({"CERT", "DNSKEY", "DS", "SMIMEA", "TLSA", "HTTPS", "SVCB"})
_CLASSES = frozenset({"IN", "CH", "HS", "CS"})
_TTL_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800}
_TTL = re.compile(r"^(\d+[smhdwSMHDW]?)+$")
# Attribute markers inside a comment; cf-proxied is an attribute, not a tag.
_ATTRIBUTES = re.compile(r"(?:^|(?<=\s))cf_tags=")
_PROXIED_TAG = "cf-proxied"
_TAG_NEEDS_QUOTES = re.compile(r'["=,\\\s]')


class ZoneFileError(ValueError):
    """The text is not a zone file this reader can use; says where."""


@dataclass
class _Token:
    text: str
    quoted: bool = False


@dataclass
class _Entry:
    line: int
    inherits_owner: bool
    tokens: list[_Token]
    comment: str | None


@dataclass
class ZoneText:
    """What a zone file holds: its zone, its records, and what was left out."""

    zone: str
    records: list[dict[str, Any]] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)


# ----- reading ----------------------------------------------------------------


def _entries(text: str) -> list[_Entry]:
    """The file's entries: tokens of one logical line (parentheses join
    lines), its last comment; raises ZoneFileError on an open quote or
    parenthesis."""
    entries: list[_Entry] = []
    tokens: list[_Token] = []
    comment: str | None = None
    depth = 0
    line = 1
    start_line = 1
    inherits = False
    at_line_start = True
    i, n = 0, len(text)

    def finish() -> None:
        nonlocal tokens, comment
        if tokens:
            entries.append(_Entry(start_line, inherits, tokens, comment))
        tokens, comment = [], None

    while i < n:
        char = text[i]
        if char == "\n":
            line += 1
            i += 1
            if depth == 0:
                finish()
                at_line_start = True
            continue
        if at_line_start and depth == 0:
            start_line = line
            inherits = char in " \t"
            at_line_start = False
        if char in " \t\r":
            i += 1
        elif char == ";":
            end = text.find("\n", i)
            end = n if end < 0 else end
            comment = text[i + 1 : end].strip()
            i = end
        elif char == "(":
            depth += 1
            i += 1
        elif char == ")":
            if depth == 0:
                raise ZoneFileError(f"line {line}: ')' without '('")
            depth -= 1
            i += 1
        elif char == '"':
            j = i + 1
            chars = []
            while j < n and text[j] != '"':
                if text[j] == "\\" and j + 1 < n:
                    chars.append(text[j : j + 2])
                    j += 2
                    continue
                if text[j] == "\n":
                    line += 1
                chars.append(text[j])
                j += 1
            if j >= n:
                raise ZoneFileError(f"line {start_line}: a quoted string is not closed")
            tokens.append(_Token("".join(chars), True))
            i = j + 1
        else:
            j = i
            # A quote inside a word is part of it (SVCB's alpn="h3,h2").
            while j < n and text[j] not in " \t\r\n;()":
                if text[j] == '"':
                    close = text.find('"', j + 1)
                    j = n if close < 0 else close + 1
                    continue
                j += 2 if text[j] == "\\" and j + 1 < n else 1
            tokens.append(_Token(text[i:j]))
            i = j
    if depth:
        raise ZoneFileError(f"line {start_line}: '(' is not closed")
    finish()
    return entries


def _absolute(name: str, origin: str | None, line: int) -> str:
    """``name`` as a full name without the final dot ('@' is the origin)."""
    if name == "@":
        if origin is None:
            raise ZoneFileError(f"line {line}: '@' before the zone is known (add $ORIGIN)")
        return origin
    if name.endswith(".") and name != ".":
        return name[:-1]
    if name == ".":
        return "."
    # Without an origin, a name is taken as written: Cloudflare's export
    # writes its SOA owner without the final dot and no $ORIGIN.
    return name if origin is None else f"{name}.{origin}"


def _ttl(text: str, line: int) -> int:
    if not _TTL.match(text):
        raise ZoneFileError(f"line {line}: not a TTL: {text!r}")
    if text.isdigit():
        return int(text)
    total = 0
    for number, unit in re.findall(r"(\d+)([smhdwSMHDW]?)", text):
        total += int(number) * _TTL_UNITS[(unit or "s").lower()]
    return total


def _whole(text: str, what: str, line: int) -> int:
    try:
        return int(text)
    except ValueError:
        raise ZoneFileError(f"line {line}: {what} is not a whole number: {text!r}") from None


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _unescape(text: str) -> str:
    """A quoted string's value: backslash escapes resolved (\\DDD a byte)."""
    if "\\" not in text:
        return text
    out = bytearray()
    i = 0
    raw = text.encode("utf-8")
    while i < len(raw):
        if raw[i] == 0x5C and i + 1 < len(raw):
            digits = raw[i + 1 : i + 4]
            if len(digits) == 3 and digits.isdigit():
                out.append(int(digits) & 0xFF)
                i += 4
            else:
                out.append(raw[i + 1])
                i += 2
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "replace")


def _txt_content(tokens: list[_Token]) -> str:
    """TXT strings as the service keeps them: quoted, blank-separated."""
    return " ".join('"' + t.text + '"' for t in tokens)


def _loc_data(words: list[str], line: int) -> dict[str, Any]:
    """LOC rdata (RFC 1876 text form) as the service's fields."""

    def number(text: str) -> float | int:
        value = float(text.rstrip("mM"))
        return int(value) if value.is_integer() else value

    data: dict[str, Any] = {}
    rest = list(words)
    for side, directions in (("lat", "NS"), ("long", "EW")):
        parts = []
        while rest and rest[0].upper() not in directions:
            parts.append(rest.pop(0))
        if not rest or not 1 <= len(parts) <= 3:
            raise ZoneFileError(f"line {line}: LOC needs degrees [minutes [seconds]] and {'/'.join(directions)}")
        parts += ["0"] * (3 - len(parts))
        data[f"{side}_degrees"] = _whole(parts[0], "LOC degrees", line)
        data[f"{side}_minutes"] = _whole(parts[1], "LOC minutes", line)
        data[f"{side}_seconds"] = number(parts[2])
        data[f"{side}_direction"] = rest.pop(0).upper()
    sizes = [number(w) for w in rest] + [0, 1, 10000, 10][len(rest) :]
    if len(sizes) > 4:
        raise ZoneFileError(f"line {line}: LOC has too many values")
    data["altitude"], data["size"], data["precision_horz"], data["precision_vert"] = sizes
    return data


def data_content(record_type: str, data: dict[str, Any]) -> str:
    """The service's content for ``data``, e.g. CAA ``0 issue "letsencrypt.org"``."""

    def text(value: Any) -> str:
        if isinstance(value, float) and value.is_integer():
            return str(int(value))
        return str(value)

    if record_type == "LOC":

        def part(key: str) -> str:
            return text(data.get(key, 0))

        return (
            f"{part('lat_degrees')} {part('lat_minutes')} {part('lat_seconds')} {data.get('lat_direction', 'N')} "
            f"{part('long_degrees')} {part('long_minutes')} {part('long_seconds')} {data.get('long_direction', 'E')} "
            f"{part('altitude')}m {part('size')}m {part('precision_horz')}m {part('precision_vert')}m"
        )
    return " ".join(
        f'"{text(data.get(key, ""))}"' if (record_type, key) in _QUOTED else text(data.get(key, ""))
        for key in DATA_FIELDS[record_type]
    )


def _rdata(record_type: str, tokens: list[_Token], origin: str | None, line: int) -> dict[str, Any]:
    """The record fields (content, priority, data) that ``tokens`` spell."""
    words = [t.text for t in tokens]
    if not words:
        raise ZoneFileError(f"line {line}: {record_type} without data")

    def host(text: str) -> str:
        return _absolute(text, origin, line)

    if record_type in ("A", "AAAA", "OPENPGPKEY"):
        return {"content": "".join(words) if record_type == "OPENPGPKEY" else words[0]}
    if record_type in ("CNAME", "NS", "PTR"):
        return {"content": host(words[0])}
    if record_type == "MX":
        if len(words) != 2:
            raise ZoneFileError(f"line {line}: MX is a preference and a host")
        return {"priority": _whole(words[0], "MX preference", line), "content": host(words[1])}
    if record_type in ("TXT", "SPF"):
        return {"content": _txt_content(tokens)}
    if record_type == "LOC":
        location = _loc_data(words, line)
        return {"data": location, "content": data_content("LOC", location)}
    if record_type not in DATA_FIELDS:
        raise ZoneFileError(f"line {line}: record type {record_type} is not supported")
    keys = DATA_FIELDS[record_type]
    priority = None
    if record_type in ("SRV", "URI"):
        priority = _whole(words[0], f"{record_type} priority", line)
        words, tokens = words[1:], tokens[1:]
    if len(words) < len(keys) or (len(words) > len(keys) and record_type not in _REST_FIELDS):
        raise ZoneFileError(f"line {line}: {record_type} takes {len(keys) + (priority is not None)} values")
    if record_type in _REST_FIELDS:
        joiner = " " if record_type in ("HTTPS", "SVCB") else ""
        last = joiner.join(('"' + t.text + '"' if t.quoted and joiner else t.text) for t in tokens[len(keys) - 1 :])
        words = [*words[: len(keys) - 1], last]
    data: dict[str, Any] = {}
    for key, word in zip(keys, words, strict=True):
        if (record_type, key) in _HOST_FIELDS:
            data[key] = word if word == "." else host(word)
        elif (record_type, key) in _TEXT_FIELDS:
            data[key] = _unescape(word) if (record_type, key) in _QUOTED else word
        else:
            data[key] = _whole(word, f"{record_type} {key}", line)
    fields: dict[str, Any] = {"data": data, "content": data_content(record_type, data)}
    if priority is not None:
        fields["priority"] = priority
        if record_type == "SRV":
            fields["data"] = {"priority": priority, **data}
    return fields


def _tag_list(text: str) -> list[str]:
    """``name:value,other:"quoted, value",flag`` as the service's tags."""
    tags: list[str] = []
    i, n = 0, len(text)
    while i < n:
        j = i
        while j < n and text[j] not in ":,":
            j += 1
        name = text[i:j].strip()
        value = ""
        if j < n and text[j] == ":":
            j += 1
            if j < n and text[j] == '"':
                decoder = json.JSONDecoder()
                try:
                    value, j = decoder.raw_decode(text, j)
                except ValueError:
                    raise ZoneFileError(f"a tag value is not a closed quoted string: {text[j:]!r}") from None
            else:
                k = j
                while k < n and text[k] != ",":
                    k += 1
                value, j = text[j:k].strip(), k
        if name:
            tags.append(f"{name}:{value}")
        i = j + 1 if j < n and text[j] == "," else j
        if i == j and j < n:
            raise ZoneFileError(f"tags are name:value separated by ',': {text!r}")
    return tags


def split_attributes(comment: str | None) -> tuple[str | None, list[str] | None, bool | None]:
    """A record's trailing comment as (comment, tags, proxied): tags and
    proxied are None when the comment carries no ``cf_tags=``, and the
    comment None when no text precedes it."""
    if comment is None:
        return None, None, None
    # The last marker counts: a comment's own text may hold the word.
    matches = list(_ATTRIBUTES.finditer(comment))
    match = matches[-1] if matches else None
    if match is None:
        return comment or None, None, None
    text = comment[: match.start()].strip() or None
    tags, proxied = [], None
    for tag in _tag_list(comment[match.end() :].strip()):
        name, _, value = tag.partition(":")
        if name.lower() == _PROXIED_TAG:
            proxied = value.lower() == "true"
        elif not name.lower().startswith("cf-"):
            tags.append(tag)
    return text, tags, proxied


def read_zone(text: str, zone: str | None = None, default_ttl: int | None = None) -> ZoneText:
    """The records of a zone file. The zone is the first $ORIGIN, else the
    SOA's owner, else ``zone``. SOA records are skipped; raises
    ZoneFileError naming the line of anything it cannot read."""
    entries = _entries(text)
    found = zone.rstrip(".").lower() if zone else None
    for entry in entries:
        first = entry.tokens[0].text
        if first.upper() == "$ORIGIN" and len(entry.tokens) > 1:
            found = _absolute(entry.tokens[1].text, None, entry.line).lower()
            break
        if entry.inherits_owner or first.startswith("$"):
            continue
        if any(t.text.upper() == "SOA" for t in entry.tokens[1:4]):
            found = found if first == "@" else _absolute(first, None, entry.line).lower()
            break
    if not found:
        raise ZoneFileError("cannot tell the zone: the file has no $ORIGIN or SOA record")
    result = ZoneText(found)
    origin: str | None = found
    ttl_default = default_ttl
    owner: str | None = None
    last_ttl: int | None = None
    for entry in entries:
        words = [t.text for t in entry.tokens]
        directive = words[0].upper()
        if directive == "$ORIGIN":
            if len(words) != 2:
                raise ZoneFileError(f"line {entry.line}: $ORIGIN takes one name")
            origin = _absolute(words[1], origin if not words[1].endswith(".") else None, entry.line).lower()
            continue
        if directive == "$TTL":
            if len(words) != 2:
                raise ZoneFileError(f"line {entry.line}: $TTL takes one value")
            ttl_default = _ttl(words[1], entry.line)
            continue
        if directive.startswith("$"):
            raise ZoneFileError(f"line {entry.line}: {words[0]} is not supported")
        tokens = entry.tokens
        if not entry.inherits_owner:
            owner = _absolute(words[0], origin, entry.line)
            tokens = tokens[1:]
        elif owner is None:
            raise ZoneFileError(f"line {entry.line}: a record without an owner name")
        ttl: int | None = None
        while tokens and not tokens[0].quoted:
            word = tokens[0].text
            if word.upper() in _CLASSES:
                if word.upper() != "IN":
                    raise ZoneFileError(f"line {entry.line}: class {word} is not supported")
            elif ttl is None and _TTL.match(word):
                ttl = _ttl(word, entry.line)
            else:
                break
            tokens = tokens[1:]
        if not tokens:
            raise ZoneFileError(f"line {entry.line}: a record without a type")
        record_type = tokens[0].text.upper()
        if record_type == "SOA":
            result.skipped.append(f"SOA {owner}")
            continue
        record: dict[str, Any] = {"type": record_type, "name": owner}
        record.update(_rdata(record_type, tokens[1:], origin, entry.line))
        ttl = ttl if ttl is not None else ttl_default if ttl_default is not None else last_ttl
        if ttl is None:
            raise ZoneFileError(f"line {entry.line}: no TTL (add $TTL)")
        last_ttl = ttl
        record["ttl"] = ttl
        comment, tags, proxied = split_attributes(entry.comment)
        if proxied is not None and record_type in PROXIABLE:
            record["proxied"] = proxied
        if comment is not None:
            record["comment"] = comment
        if tags is not None:
            # Attributes written means the comment was written too: none is
            # an empty one, which clears what the record has.
            record["tags"] = tags
            record.setdefault("comment", "")
        result.records.append(record)
    return result


# ----- writing ------------------------------------------------------------------


def _dotted(name: str) -> str:
    return name if name.endswith(".") else name + "."


def record_rdata(record: dict[str, Any]) -> str:
    """A record's data as a zone file writes it (host names with the final dot)."""
    record_type = str(record.get("type", "")).upper()
    content = str(record.get("content", ""))
    data = record.get("data")
    if record_type in ("CNAME", "NS", "PTR"):
        return _dotted(content)
    if record_type == "MX":
        return f"{record.get('priority', 0)} {_dotted(content)}"
    if record_type in ("TXT", "SPF"):
        return content if content.startswith('"') else _quoted(content)
    if not isinstance(data, dict) or record_type not in DATA_FIELDS:
        if record_type in ("SRV", "URI") and record.get("priority") is not None:
            return f"{record['priority']} {content}"
        return content
    if record_type == "LOC":
        return data_content("LOC", data)
    parts = []
    if record_type in ("SRV", "URI"):
        parts.append(str(data.get("priority", record.get("priority", 0))))
    for key in DATA_FIELDS[record_type]:
        value = data.get(key, "")
        if (record_type, key) in _HOST_FIELDS and value != ".":
            parts.append(_dotted(str(value)))
        elif (record_type, key) in _QUOTED:
            parts.append(_quoted(str(value)))
        elif isinstance(value, float) and value.is_integer():
            parts.append(str(int(value)))
        else:
            parts.append(str(value))
    return " ".join(p for p in parts if p != "")


def _tag_text(tag: str) -> str:
    name, _, value = tag.partition(":")
    if not value:
        return name
    return f"{name}:{json.dumps(value, ensure_ascii=False) if _TAG_NEEDS_QUOTES.search(value) else value}"


def format_attributes(record: dict[str, Any]) -> str:
    """The trailing comment Cloudflare writes for a record ('' for none)."""
    tags = [_tag_text(t) for t in record.get("tags") or [] if isinstance(t, str)]
    if str(record.get("type", "")).upper() in PROXIABLE:
        tags.insert(0, f"{_PROXIED_TAG}:{'true' if record.get('proxied') else 'false'}")
    comment = " ".join(str(record.get("comment") or "").split())
    parts = [comment] if comment else []
    if tags:
        parts.append("cf_tags=" + ",".join(tags))
    return " ; " + " ".join(parts) if parts else ""


def write_zone(
    zone: str,
    records: list[dict[str, Any]],
    *,
    origin: bool = False,
    soa: str | None = None,
    nameservers: tuple[str, ...] = (),
    exported: str | None = None,
) -> str:
    """The zone as Cloudflare's export lays it out: a header, the SOA and
    name servers when given, then the records grouped by type. ``origin``
    adds $ORIGIN, which names the zone of a file without an SOA."""
    lines = [";;", f";; Domain:     {_dotted(zone)}"]
    lines += [f";; Exported:   {exported}", ";;"] if exported else [";;"]
    if origin:
        lines += [f"$ORIGIN {_dotted(zone)}", ""]
    if soa is not None:
        lines += [";; SOA Record", f"{zone}\t3600\tIN\tSOA\t{soa}", ""]
    if nameservers:
        lines.append(";; NS Records")
        lines += [f"{_dotted(zone)}\t86400\tIN\tNS\t{_dotted(ns)}" for ns in nameservers]
        lines.append("")
    by_type: dict[str, list[dict[str, Any]]] = {}
    for record in records:
        by_type.setdefault(str(record.get("type", "")).upper(), []).append(record)
    for record_type in sorted(by_type):
        lines.append(f";; {record_type} Records")
        for record in sorted(by_type[record_type], key=lambda r: (str(r.get("name", "")), str(r.get("content", "")))):
            name = _dotted(str(record.get("name", zone)))
            ttl = record.get("ttl", 1)
            lines.append(f"{name}\t{ttl}\tIN\t{record_type}\t{record_rdata(record)}{format_attributes(record)}")
        lines.append("")
    return "\n".join(lines) + "\n"
