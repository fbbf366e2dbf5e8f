"""Bridges to library features that older builds of the extension lack.

Each bridge uses the library's own feature when the extension has it and
otherwise the nearest older API. This module is the only place in
``nuv.cli`` that looks at what the extension offers; it can go once every
build in use has the features.
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any

import nuv


class ServiceFailure(Exception):
    """The service refused a call or could not be reached (raised only where
    the extension has no exception of its own for it)."""

    hint: str | None = None


#: Exceptions that mean "the service or the network failed" (exit status 1).
SERVICE_ERRORS: tuple[type[BaseException], ...] = tuple(
    error
    for error in (getattr(nuv, "CloudflareError", None), getattr(nuv, "DingTalkError", None), ServiceFailure)
    if isinstance(error, type)
)


HAS_ERROR_FAMILY = hasattr(nuv, "CloudflareError")


def is_service_error(error: BaseException) -> bool:
    """Whether ``error`` says the service or the network failed (exit status 1)."""
    if isinstance(error, SERVICE_ERRORS):
        return True
    # Older builds raise bare Exception (a refused zone look-up or listing) and
    # TypeError("Domain not found...") / "Zone id is null...".
    return not HAS_ERROR_FAMILY and (
        type(error) is Exception
        or (type(error) is TypeError and str(error).startswith(("Domain not found", "Zone id is null")))
    )


def _accepts(factory: Any, **keywords: Any) -> bool:
    try:
        factory(**keywords)
    except TypeError:
        return False
    except ValueError:
        return True
    return True


HAS_TRACE_TARGET = hasattr(nuv, "set_trace")
HAS_PLAN = hasattr(nuv.Cloudflare, "dns_plan")
HAS_ZONE_ID = _accepts(nuv.Cloudflare, zone_id="0" * 32)
HAS_ENVIRONMENT_PROXY = _accepts(nuv.Cloudflare, proxy=None)
HAS_REPLY_TYPE = hasattr(nuv, "DingTalkReply")


def set_trace(target: str) -> None:
    """Send the library's trace to "stderr" or switch it "off"."""
    if HAS_TRACE_TARGET:
        nuv.set_trace(target)
        return
    # Older builds write the trace to file descriptor 1: keep the command's
    # own output on a copy of it and point descriptor 1 elsewhere.
    sys.stdout.flush()
    own_stdout = os.dup(1)
    if target == "stderr":
        os.dup2(2, 1)
    else:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    sys.stdout = open(own_stdout, "w", encoding="utf-8", errors="replace", buffering=1)


def cloudflare_settings(proxy: str | None, zone_id: str | None) -> dict[str, Any]:
    """Constructor keywords for the proxy (None: the environment's, as curl
    picks it) and the zone."""
    settings: dict[str, Any] = {}
    if proxy is not None:
        settings["proxy"] = proxy
    elif HAS_ENVIRONMENT_PROXY:
        settings["proxy"] = None
    else:
        settings["proxy"] = os.environ.get("https_proxy") or os.environ.get("HTTPS_PROXY") or ""
    if zone_id and HAS_ZONE_ID:
        settings["zone_id"] = zone_id
    return settings


def zone_keywords(cf: nuv.Cloudflare, domain: str, zone_id: str) -> dict[str, Any]:
    """Keywords that make a zone-scoped call act on ``zone_id`` without a
    look-up."""
    if HAS_ZONE_ID:
        return {"zone_id": zone_id}
    # Select the zone by hand, so the methods taking a domain see it as the
    # current one and skip their look-up.
    cf.zone = domain
    cf.zone_id = zone_id
    return {}


class _Answer:
    """What ``ApiResponse.raise_for_status()`` gives, for builds that answer
    plain (status, body) tuples."""

    def __init__(self, status: Any, body: str) -> None:
        self.status = status
        self.body = body
        try:
            payload = json.loads(body)
        except ValueError:
            payload = None
        envelope = payload if isinstance(payload, dict) else {}
        self.result = envelope.get("result")
        self.result_info = envelope.get("result_info")
        self.errors = [e for e in envelope.get("errors") or [] if isinstance(e, dict)]
        self.ok = isinstance(status, int) and 200 <= status < 300 and envelope.get("success", True) is not False

    def raise_for_status(self) -> _Answer:
        if not self.ok:
            described = "; ".join(f"{e.get('code')} {e.get('message')}" for e in self.errors)
            raise ServiceFailure(f"{self.status}: {described or self.body.strip()[:200]}")
        return self


def checked(response: Any) -> Any:
    """The response when the service reported success, else the library's
    exception for it (``ApiResponse.raise_for_status``)."""
    if hasattr(response, "raise_for_status"):
        return response.raise_for_status()
    return _Answer(*response).raise_for_status()


def zone_lookup(cf: nuv.Cloudflare, domain: str) -> Any:
    """``cf.query(domain)``, checked."""
    try:
        return checked(cf.query(domain))
    except SERVICE_ERRORS:
        raise
    except Exception as failure:
        # Older builds raise bare Exception (refused) or TypeError (no such zone).
        if type(failure) not in (Exception, TypeError):
            raise
        raise ServiceFailure(str(failure)) from failure


def ensure_without_plan(cf: nuv.Cloudflare, arguments: tuple[Any, ...], keywords: dict[str, Any]) -> bool:
    """``dns_ensured_record`` for builds without ``dns_plan``: whether it wrote
    anything, read off its answer (the listing's, with a "result" list, when
    nothing had to change)."""
    response = cf.dns_ensured_record(*arguments, **keywords)
    if response[0] == "404":  # nothing to remove
        return False
    return not isinstance(checked(response).result, list)


def purge(cf: nuv.Cloudflare, selection: dict[str, list[str]], zone: dict[str, Any]) -> Any:
    """``purge_cache`` of ``selection`` (everything when empty). Refused by
    builds whose ``purge_cache`` ignores its arguments: they would purge
    everything."""
    if selection and "files" not in (nuv.Cloudflare.purge_cache.__text_signature__ or ""):
        raise ServiceFailure("this build of nuv can only purge everything: leave out --file/--tag/--host/--prefix")
    return cf.purge_cache(**selection, **zone)


def send_message(robot: nuv.DingTalk, kind: str, parts: tuple[str, ...], mentions: dict[str, Any]) -> Any:
    """Send a text or markdown message mentioning ``mentions`` (at_mobiles,
    at_user_ids, at_all) and return the robot's reply once it is known to
    have accepted it (``DingTalkReply.raise_for_errcode``)."""
    send = robot.send_text if kind == "text" else robot.send_markdown
    if HAS_REPLY_TYPE:
        reply = send(*parts, **{k: v for k, v in mentions.items() if v})
        if reply is None:
            raise ServiceFailure("the message could not be signed")
        reply.raise_for_errcode()
        return reply
    if mentions.get("at_user_ids") or mentions.get("at_all") or (kind == "text" and mentions.get("at_mobiles")):
        raise ServiceFailure("this build of nuv can mention only mobile numbers, and only in markdown")
    reply = send(*parts, *([list(mentions["at_mobiles"])] if mentions.get("at_mobiles") else []))
    if reply is None:
        raise ServiceFailure("the message could not be signed")
    try:
        answer = json.loads(reply)
    except ValueError:
        raise ServiceFailure(f"DingTalk could not be reached: {reply}") from None
    if not isinstance(answer, dict) or answer.get("errcode") != 0:
        raise ServiceFailure(f"DingTalk refused the message: {reply}")
    return reply
