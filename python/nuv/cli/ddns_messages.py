"""The DingTalk messages of ``nuv ddns``: one markdown message per round
that has something to say, with every foreign text (addresses, record
contents, error texts) made inert, and never longer than the robot takes."""

from __future__ import annotations

import re

# The robot refuses a markdown text beyond this many bytes.
MAX_MESSAGE_BYTES = 20_000
# Room kept for the line that says what was left out.
_CUT_RESERVE = 200

# Characters that make links and images ("[", "]"), code, HTML or a mention
# ("@"): each becomes its full-width twin, which reads the same and does
# nothing. Headings need a line of their own, which foreign text never gets.
_INERT = str.maketrans({c: chr(ord(c) + 0xFEE0) for c in "[]`<>@\\"})
_SCHEME = re.compile(r"(?i)\b([a-z][a-z0-9+.-]*):(?=//)")


def inert(text: str) -> str:
    """``text`` on one line, unable to add a link, image, heading, emphasis
    or mention to the message around it."""
    line = " ".join(str(text).split())
    # A bare URL would be linked by the client: its "://" loses its colon.
    line = _SCHEME.sub(lambda match: match[1] + "\uff1a", line)
    return line.translate(_INERT)


def fit(text: str, limit: int = MAX_MESSAGE_BYTES) -> str:
    """``text`` cut to whole lines within ``limit`` UTF-8 bytes, ending with
    how many lines were left out."""
    if len(text.encode("utf-8")) <= limit:
        return text
    lines = text.split("\n")
    kept: list[str] = []
    size = 0
    for line in lines:
        cost = len(line.encode("utf-8")) + 1
        if size + cost > limit - _CUT_RESERVE:
            break
        kept.append(line)
        size += cost
    left_out = len(lines) - len(kept)
    return "\n".join(kept) + f"\n\n… {left_out} more line{'s' if left_out != 1 else ''} left out (too long for the robot)\n"


def round_message(
    name: str,
    changes: list[str],
    failures: list[str],
    recoveries: list[str],
) -> tuple[str, str] | None:
    """Title and text of the round's message from its lines (already inert),
    or None when there is nothing to say."""
    sections = [
        ("DNS changed", "changed", changes),
        ("DNS update failed", "failed", failures),
        ("working again", "working again", recoveries),
    ]
    said = [(heading, word, lines) for heading, word, lines in sections if lines]
    if not said:
        return None
    title = f"{name} " + ", ".join(word for _, word, _ in said)
    text = "\n".join(f"#### {name}: {heading}\n\n" + "\n".join(f"- {line}" for line in lines) + "\n" for heading, _, lines in said)
    return title, fit(text)


def held_message(name: str, pending: list[dict[str, str]]) -> tuple[str, str]:
    """One message carrying every message that could not be posted, each
    marked with when it happened."""
    parts = [
        f"#### {message['title']}\n\n*(from {inert(message['when'])}; it could not be posted then)*\n\n{message['text']}"
        for message in pending
    ]
    count = len(pending)
    title = f"{name}: {count} message{'s' if count != 1 else ''} held back" if count > 1 else pending[0]["title"]
    return title, fit("\n".join(parts))
