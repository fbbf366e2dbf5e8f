"""A zone sync's plan as the command shows it: text lines (old -> new, one
line per change) or markdown for a pull request (a table per zone)."""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .sync import ZonePlan

# The attributes a created record shows beside its content.
_SHOWN = ("ttl", "proxied", "priority", "comment", "tags")


def _value(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _content(write: dict[str, Any]) -> str:
    content = str(write.get("content"))
    priority = write.get("priority")
    data = write.get("data")
    if priority is None and isinstance(data, dict):
        priority = data.get("priority")  # an SRV's is in its data
    if priority is not None and str(write.get("type")).upper() in ("MX", "SRV", "URI"):
        content = f"{priority} {content}"
    return content


def _attributes(write: dict[str, Any]) -> list[str]:
    shown = []
    if write.get("ttl") not in (None, 1):
        shown.append(f"ttl {write['ttl']}")
    if write.get("proxied"):
        shown.append("proxied")
    if write.get("comment"):
        shown.append(f"comment {_value(write['comment'])}")
    if write.get("tags"):
        shown.append("tags " + ",".join(map(str, write["tags"])))
    return shown


def _changes(write: dict[str, Any]) -> list[tuple[str, Any, Any]]:
    changes = write.get("changes") or {}
    out = []
    for name, change in changes.items():
        if not isinstance(change, dict):
            continue
        old, new = change.get("old"), change.get("new")
        if name == "data" and isinstance(old, dict) and isinstance(new, dict):
            # One line per field of the data that changes.
            fields = [k for k in {**new, **old} if old.get(k) != new.get(k)]
            out += [(f"data.{k}", old.get(k), new.get(k)) for k in fields]
            if fields:
                continue
        out.append((str(name), old, new))
    return out


def summary(plan: ZonePlan) -> str:
    counts = plan.counts()
    if not plan.writes:
        return "nothing to do"
    return ", ".join(f"{counts[a]} to {a}" for a in ("create", "update", "delete") if counts[a])


def refusal_text(refused: dict[str, Any]) -> str:
    """Why the library refused the plan, from the exception's counts."""
    updates, deletes, existing, threshold = (refused.get(k) for k in ("updates", "deletes", "existing", "threshold"))
    if None in (updates, deletes, existing, threshold):
        return str(refused.get("message"))
    return (
        f"it would update {updates} and delete {deletes} of the {existing} records in scope, "
        f"more than {float(threshold):.0%}"
    )


def _applied_text(plan: ZonePlan) -> str:
    batches = plan.batches
    done = f"applied: {len(plan.writes)} {'write' if len(plan.writes) == 1 else 'writes'}"
    if plan.requests is not None:
        done += f" in {plan.requests} requests"
    if batches is not None:
        done += f" ({batches} {'batch' if batches == 1 else 'batches'})"
    return done


def text_report(plans: list[ZonePlan]) -> Iterator[tuple[str, bool]]:
    """Lines, each with whether it tells of a change (shown under --quiet)."""
    for plan in plans:
        head = f"{plan.file.zone} ({plan.file.path})"
        if not plan.writes and not plan.refused:
            yield f"{head}: nothing to do", False
            continue
        yield f"{head}: {summary(plan)}", True
        for write in plan.writes:
            action = str(write.get("action"))
            record = f"  {action} {write.get('type')} {write.get('name')} {_content(write)}"
            changes = _changes(write)
            if action == "update" and changes:
                for name, old, new in changes:
                    yield f"{record}: {name} {_value(old)} -> {_value(new)}", True
            else:
                yield " ".join([record, *_attributes(write)]) if action == "create" else record, True
        if plan.refused:
            yield f"  refused: {refusal_text(plan.refused)}; --force carries it out", True
        elif plan.applied:
            yield "  " + _applied_text(plan), True


def _code(text: str) -> str:
    """Inline code that survives a table cell."""
    text = text.replace("|", "\\|")
    return f"`` {text} ``" if "`" in text else f"`{text}`"


def markdown_report(plans: list[ZonePlan]) -> str:
    """The plans as markdown: a heading, a table and the counts per zone."""
    total = sum(len(p.writes) for p in plans)
    applied = any(p.applied for p in plans)
    lines = [f"## nuv sync: {total} {'change' if total == 1 else 'changes'}" + (" applied" if applied else " planned")]
    for plan in plans:
        lines += ["", f"### {plan.file.zone}", "", f"From {_code(plan.file.path)}: {summary(plan)}."]
        if plan.writes:
            lines += ["", "| Action | Type | Name | Field | Old → New |", "|---|---|---|---|---|"]
        for write in plan.writes:
            action = str(write.get("action"))
            cells = [action, str(write.get("type")), _code(str(write.get("name")))]
            if action == "update" and _changes(write):
                for name, old, new in _changes(write):
                    lines.append(
                        "| " + " | ".join([*cells, name, f"{_code(_value(old))} → {_code(_value(new))}"]) + " |"
                    )
                continue
            shown = _code(_content(write))
            if action == "create":
                extra = ", ".join(_attributes(write))
                change = f"— → {shown}" + (f" ({extra})" if extra else "")
            else:
                change = f"{shown} → —"
            lines.append("| " + " | ".join([*cells, "record", change]) + " |")
        if plan.refused:
            lines += ["", f"> **Refused:** {refusal_text(plan.refused)}. `nuv sync --force` carries it out."]
        elif plan.applied:
            lines += ["", f"**{_applied_text(plan)}.**"]
    return "\n".join(lines)
