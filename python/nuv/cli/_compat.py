"""Bridges to library features that older builds of the extension lack.

Each bridge uses the library's own feature when the extension has it and
otherwise the nearest older API. This module is the only place in
``nuv.cli`` that looks at what the extension offers; it can go once every
build in use has the features.
"""

from __future__ import annotations

import os
import sys
from typing import Any

import nuv


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
HAS_SELECTIVE_PURGE = "files" in (nuv.Cloudflare.purge_cache.__text_signature__ or "")


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
    sys.stdout = open(own_stdout, "w", encoding="utf-8", errors="replace", buffering=1)  # noqa: SIM115 - for good


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


def ensure_without_plan(cf: nuv.Cloudflare, arguments: tuple[Any, ...], keywords: dict[str, Any]) -> bool:
    """``dns_ensured_record`` for builds without ``dns_plan``: whether it wrote
    anything, read off its answer (the listing's, with a "result" list, when
    nothing had to change)."""
    response = cf.dns_ensured_record(*arguments, **keywords)
    if response.status == "404":  # nothing to remove
        return False
    return not isinstance(response.raise_for_status().result, list)


def purge(cf: nuv.Cloudflare, selection: dict[str, list[str]], zone: dict[str, Any]) -> nuv.ApiResponse:
    """``purge_cache`` of ``selection`` (everything when empty). Refused by
    builds whose ``purge_cache`` ignores its arguments: they would purge
    everything."""
    if selection and not HAS_SELECTIVE_PURGE:
        raise ValueError("this build of nuv can only purge everything: leave out --file/--tag/--host/--prefix")
    return cf.purge_cache(**selection, **zone)
