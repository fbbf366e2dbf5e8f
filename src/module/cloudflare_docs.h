// The run-time documentation of nuv.Cloudflare: what help() and
// inspect.signature show. Each method's text starts with its signature
// ("name($self, /, ...)\n--\n\n"), which CPython turns into
// __text_signature__; the rest says what the type stubs say, short.
#pragma once

#include "common/python_compat.h"

namespace nuv {

PyDoc_STRVAR(Cloudflare_doc,
             "Cloudflare(email='', account='', api_token='', proxy='', api_url="
             "'https://api.cloudflare.com/client/v4', *, zone_id=None, retries=2, "
             "timeout=30.0, connect_timeout=10.0, rate_limit=1200)\n"
             "--\n\n"
             "Client of the Cloudflare v4 REST API: zones, DNS records, three zone settings\n"
             "and the cache purge.\n\n"
             "Every API method returns an ApiResponse, a (status, body) tuple that also\n"
             "reads the service's JSON envelope (ok, result, errors, raise_for_status()).\n"
             "Transport failures and HTTP error statuses are returned, not raised; a failed\n"
             "zone look-up raises a CloudflareError subclass.\n\n"
             "api_token is sent as the bearer token; proxy (write-once) is the proxy to\n"
             "use, the empty default meaning a direct connection even when proxy variables\n"
             "are set, None the environment's proxy variables as curl reads them; zone_id\n"
             "selects a zone without a look-up (zone stays \"\").\n"
             "Zone-scoped methods act on the selected zone, or on the one given as their\n"
             "zone_id= keyword.");

// The members' first lines are the ones scripts have always read; what
// follows says what each is for.
PyDoc_STRVAR(Cloudflare_email_doc, "Cloudflare email\n\nStored only; no request uses it.");
PyDoc_STRVAR(Cloudflare_account_doc, "Cloudflare account\n\nStored only; no request uses it.");
PyDoc_STRVAR(Cloudflare_api_token_doc,
             "Cloudflare token\n\n"
             "Sent as \"Authorization: Bearer <api_token>\" with every request (masked in "
             "the trace and in every message).");
PyDoc_STRVAR(Cloudflare_api_url_doc,
             "Cloudflare default entry point url\n\n"
             "Base URL prefixed to every path; DEFAULT_API_URL unless given.");
PyDoc_STRVAR(Cloudflare_zone_doc,
             "Domain of the selected zone (\"\" until query() or a look-up selects one).");
PyDoc_STRVAR(Cloudflare_zone_id_doc,
             "Identifier of the selected zone (\"\" while none is selected): set by query(), "
             "by a look-up, by assignment or by Cloudflare(zone_id=...).");

PyDoc_STRVAR(Cloudflare_fib_doc,
             "fib($self, /, n)\n"
             "--\n\n"
             "F(n) modulo 2**32 by plain recursion; n is taken modulo 2**32 and must then\n"
             "be at most 10000 (ValueError otherwise).");

PyDoc_STRVAR(Cloudflare_fputs_doc,
             "fputs($self, /, filename, text)\n"
             "--\n\n"
             "Write text to filename (created or truncated): 0 on success, -1 when the\n"
             "write failed; OSError when the file cannot be opened.");

PyDoc_STRVAR(Cloudflare_get_doc,
             "get($self, /, path='/zones?page=1&per_page=20&order=status&direction=desc"
             "&match=all')\n"
             "--\n\n"
             "GET api_url + path (the raw path is sent as given); by default the first\n"
             "page of the account's zones. Returns an ApiResponse.");

PyDoc_STRVAR(Cloudflare_query_doc,
             "query($self, /, domain)\n"
             "--\n\n"
             "Look the zone of domain up and select it (zone, zone_id). Returns the\n"
             "look-up's ApiResponse. Raises ZoneNotFoundError (a TypeError) \"Domain not\n"
             "found: ...\" when the service lists no such zone, and the matching\n"
             "CloudflareError subclass (AuthenticationError, TransportError, ...) with the\n"
             "response text when the look-up fails. Needs Zone \u2192 Zone \u2192 Read.");

PyDoc_STRVAR(Cloudflare_dns_get_records_doc,
             "dns_get_records($self, /, domain=None, type=..., name=..., content=..., *, "
             "zone_id=None)\n"
             "--\n\n"
             "List the zone's DNS records, filtered by type, name and content when given\n"
             "(exact match). A domain other than zone is looked up and selected first;\n"
             "with zone_id= the listing uses that zone, with no look-up. Returns an\n"
             "ApiResponse (its result is the list of records).");

PyDoc_STRVAR(Cloudflare_dns_create_record_doc,
             "dns_create_record($self, /, type, name, content, proxied, ttl, comment=None, *, "
             "zone_id=None)\n"
             "--\n\n"
             "Create a record. For MX, content is \"host|priority\" (priority 10 when left\n"
             "out). proxied is sent for A, AAAA and CNAME only; ttl 1 means automatic;\n"
             "comment is sent when given.\n"
             "Returns an ApiResponse.");

PyDoc_STRVAR(Cloudflare_dns_update_record_doc,
             "dns_update_record($self, /, record_id, type, name, content, proxied, ttl, "
             "comment=None, *, zone_id=None)\n"
             "--\n\n"
             "Overwrite the record record_id (PUT) with the given state. Returns an\n"
             "ApiResponse.");

PyDoc_STRVAR(Cloudflare_dns_delete_record_doc,
             "dns_delete_record($self, /, record_id, *, zone_id=None)\n"
             "--\n\n"
             "Delete the record record_id. Returns an ApiResponse.");

PyDoc_STRVAR(
    Cloudflare_dns_ensured_record_doc,
    "dns_ensured_record($self, /, domain, type, name, content, proxied, ttl, present=True, "
    "replace=True, comment=None, *, zone_id=None)\n"
    "--\n\n"
    "Bring one record into the wanted state with the fewest writes; a second call\n"
    "with the same values writes nothing. present=False removes the record instead.\n"
    "The zone of domain is looked up unless it is the selected one (\"\": the selected\n"
    "zone); with zone_id= the call acts on that zone with no look-up and leaves the\n"
    "selection alone. name is resolved against the zone: \"@\" and \"\" are the apex,\n"
    "\"home\" is home.<zone>, a final dot makes it fully qualified (ValueError outside\n"
    "the zone). nuv.KEEP as proxied, ttl or comment keeps an existing record's value.\n\n"
    "Returns the listing's ApiResponse when nothing had to change, the response of\n"
    "the write it made, (\"404\", message) when the record should not exist and none\n"
    "does, or (listing status, \"Record found: ...\") when an MX record of the wanted\n"
    "priority but another host exists and replace is false. Records deleted to make\n"
    "room for the wanted one that cannot be put back are raised in .unrestored.");

PyDoc_STRVAR(Cloudflare_dns_plan_doc,
             "dns_plan($self, /, domain, type, name, content, proxied, ttl, present=True, "
             "replace=True, comment=None, *, zone_id=None)\n"
             "--\n\n"
             "The writes dns_ensured_record would make for the same arguments, without\n"
             "making them: a list of dicts (action, id, type, name, content, proxied, ttl,\n"
             "priority, comment, reason, and changes: {field: {\"old\": ..., \"new\": ...}}\n"
             "for an update).");

PyDoc_STRVAR(Cloudflare_change_always_use_https_doc,
             "change_always_use_https($self, /, value, *, zone_id=None)\n"
             "--\n\n"
             "Set the zone's always_use_https setting (\"on\" or \"off\"). Needs\n"
             "Zone \u2192 Zone Settings \u2192 Edit. Returns an ApiResponse.");

PyDoc_STRVAR(Cloudflare_change_automatic_https_rewrites_doc,
             "change_automatic_https_rewrites($self, /, value, *, zone_id=None)\n"
             "--\n\n"
             "Set the zone's automatic_https_rewrites setting (\"on\" or \"off\"). Needs\n"
             "Zone \u2192 Zone Settings \u2192 Edit. Returns an ApiResponse.");

PyDoc_STRVAR(Cloudflare_change_ssl_model_doc,
             "change_ssl_model($self, /, value, *, zone_id=None)\n"
             "--\n\n"
             "Set the zone's SSL mode (\"off\", \"flexible\", \"full\", \"strict\"). Needs\n"
             "Zone \u2192 Zone Settings \u2192 Edit. Returns an ApiResponse.");

PyDoc_STRVAR(Cloudflare_purge_cache_doc,
             "purge_cache($self, /, *args, files=None, tags=None, hosts=None, prefixes=None, "
             "zone_id=None)\n"
             "--\n\n"
             "Purge the zone's cache: everything when no kind is given, else only the\n"
             "files (URLs, or {\"url\": ..., \"headers\": {...}} dicts), tags, hosts or URL\n"
             "prefixes named (one kind per call). Positional arguments are ignored.\n"
             "Needs Zone \u2192 Cache Purge \u2192 Purge. Returns an ApiResponse.");

}  // namespace nuv
