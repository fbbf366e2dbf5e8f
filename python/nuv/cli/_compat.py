"""Bridges to library features that older builds of the extension lack.

Each bridge uses the library's own feature when the extension has it and
otherwise the nearest older API. This module is the only place in
``nuv.cli`` that looks at what the extension offers; it can go once every
build in use has the features.
"""

from __future__ import annotations

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


HAS_ZONE_ID = _accepts(nuv.Cloudflare, zone_id="0" * 32)
HAS_SELECTIVE_PURGE = "files" in (nuv.Cloudflare.purge_cache.__text_signature__ or "")


def cloudflare_settings(zone_id: str | None) -> dict[str, Any]:
    """Constructor keywords selecting the zone without a look-up."""
    return {"zone_id": zone_id} if zone_id and HAS_ZONE_ID else {}


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


def purge(cf: nuv.Cloudflare, selection: dict[str, list[str]], zone: dict[str, Any]) -> nuv.ApiResponse:
    """``purge_cache`` of ``selection`` (everything when empty). Refused by
    builds whose ``purge_cache`` ignores its arguments: they would purge
    everything."""
    if selection and not HAS_SELECTIVE_PURGE:
        raise ValueError("this build of nuv can only purge everything: leave out --file/--tag/--host/--prefix")
    return cf.purge_cache(**selection, **zone)
