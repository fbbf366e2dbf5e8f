// The run-time documentation of the listings and the whole-zone sync of
// nuv.Cloudflare (see cloudflare_docs.h for the form).
#pragma once

#include "common/python_compat.h"

namespace nuv {

PyDoc_STRVAR(Cloudflare_list_zones_doc,
             "list_zones($self, /, *, name=None, status=None, account_id=None)\n"
             "--\n\n"
             "Every zone the token can see (all pages, 50 a page), as a list of dicts,\n"
             "optionally filtered by name (the service's operators such as\n"
             "'contains:.org' work), status and account id. Raises the CloudflareError\n"
             "family on failure, and CloudflareError when the service claims more than\n"
             "1000 pages.");

PyDoc_STRVAR(Cloudflare_list_dns_records_doc,
             "list_dns_records($self, /, domain=None, *, zone_id=None, type=None, name=None, "
             "content=None, filters=None, per_page=5000)\n"
             "--\n\n"
             "Every DNS record of the zone (all pages, per_page a page, 5000 at most), as a\n"
             "list of dicts. The zone: zone_id= (no look-up), else domain (looked up unless\n"
             "it is the selected zone), else the selected zone. type, name and content are\n"
             "exact filters; filters takes any other of the service's query names\n"
             "({'comment.contains': 'x', 'tag': ['a:1', 'b:2'], 'match': 'any'}). Raises\n"
             "the CloudflareError family on failure, and CloudflareError when the service\n"
             "claims more than 100 pages.");

PyDoc_STRVAR(Cloudflare_get_zone_setting_doc,
             "get_zone_setting($self, /, setting_id, *, zone_id=None)\n"
             "--\n\n"
             "Read one setting of the zone (GET /zones/{id}/settings/{setting_id}; the id\n"
             "is sent as one path segment), as an ApiResponse whose result holds \"id\" and\n"
             "\"value\".");

PyDoc_STRVAR(Cloudflare_dns_sync_plan_doc,
             "dns_sync_plan($self, /, wanted, domain=None, *, zone_id=None, scope='zone', "
             "types=None, owner=None, owned_only=None, force=False, threshold=0.3)\n"
             "--\n\n"
             "The writes that bring the zone (or the part of it in scope) into the wanted\n"
             "state, in the order dns_sync sends them, without making them (the zone's\n"
             "look-up or details and its listing are read). wanted: dicts with type, name,\n"
             "content (or data: the fields of a CAA, SRV, DS, TLSA, HTTPS, ... record), and\n"
             "optionally ttl, proxied, priority, comment, tags (left out: kept as the\n"
             "record has it; the service's default on create). Names are full or\n"
             "relative to the zone ('@' and '' the apex). scope: 'zone' or names; types:\n"
             "only these types; owner: only records whose comment holds the word\n"
             "'owner=TEXT' (added to what is created); owned_only: only records whose\n"
             "comment matches this regular expression. Each write is a dict: action\n"
             "('create', 'update', 'delete'; 'skip' for a wanted record kept out by a\n"
             "record outside the scope, never sent), id, type, name, content, ttl,\n"
             "proxied, priority, comment, tags, data (of a record that has data), changes\n"
             "({field: {'old', 'new'}}). Raises\n"
             "UnsafeSyncError when more than threshold of the records in scope (10 or\n"
             "more) would be updated or deleted, unless force is true.");

PyDoc_STRVAR(Cloudflare_dns_sync_doc,
             "dns_sync($self, /, wanted, domain=None, *, zone_id=None, scope='zone', "
             "types=None, owner=None, owned_only=None, force=False, threshold=0.3)\n"
             "--\n\n"
             "Carry out the plan dns_sync_plan shows, in batches of the zone's plan (200 on\n"
             "Free, 3,500 on paid; smaller when the service refuses a batch as too large),\n"
             "each batch all or nothing, a name's writes always in one batch. Returns\n"
             "{'writes': the writes applied, 'skipped': the wanted records kept out,\n"
             "'requests': requests made, 'batches': batch requests}. When the service\n"
             "refuses a batch, halves of it are sent on their own to find the refused\n"
             "record; the exception (of the CloudflareError family) carries it as .record,\n"
             "and what was applied before as .applied.");

}  // namespace nuv
