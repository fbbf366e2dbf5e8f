// The run-time documentation of the listings and the whole-zone sync of
// nuv.Cloudflare (see cloudflare_docs.h for the form).
#pragma once

#include <Python.h>

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

}  // namespace nuv
