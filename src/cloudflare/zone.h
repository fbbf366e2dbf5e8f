#pragma once

#include <string>

#include "cloudflare/request.h"
#include "common/py_ref.h"

namespace nuv {

// Looks the zone of `domain` up and, when the service finds it, selects it
// (zone := domain, zone_id := its id). Returns the lookup's ApiResponse, or
// sets an exception and returns an empty PyRef; a failed lookup changes no
// field.
PyRef lookup_zone(CloudflareObject* self, const ApiContext& context, const std::string& domain);

// Replaces the pending exception by ZoneNotFoundError (a TypeError)
// "Domain not found: <domain>",
// keeping the original as its __cause__ so that a rejected token or a
// network failure stays visible.
void raise_domain_not_found(const char* domain);

// Makes sure the object's zone is the zone of `domain` (nullptr: the current
// zone), looking it up when it is not, and yields the zone id to use.
// On error, set an exception and return false.
bool settle_zone(CloudflareObject* self, const ApiContext& context, const char* domain,
                 std::string& zone_id);

// True when a call was given a zone_id= keyword (neither null nor None).
inline bool zone_id_given(PyObject* zone_id_arg) {
  return zone_id_arg != nullptr && zone_id_arg != Py_None;
}

// The zone a call that names a domain acts on: its zone_id= keyword when
// given (no look-up, a token without Zone:Read works, the selection stays),
// else the domain's (settle_zone). On error, set an exception and return
// false.
bool settle_call_zone(CloudflareObject* self, const ApiContext& context, const char* domain,
                      PyObject* zone_id_arg, std::string& zone_id);

}  // namespace nuv
