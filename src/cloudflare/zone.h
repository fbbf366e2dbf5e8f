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
// network failure stays visible. An interrupted request's exception (what a
// signal handler raised) is left as it is.
void raise_domain_not_found(const char* domain);

// Makes sure the object's zone is the zone of `domain` (nullptr or "": the
// selected zone), looking it up when it is not, and yields the zone id to
// use.
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

// settle_call_zone, and `name` (a record name) resolved against that zone
// (see resolve_record_name). The zone's name is the call's domain when one
// is given (and no zone_id=), else the selected zone's name when the call
// acts on the selected zone; a name outside it is refused before any
// request. Only a
// name that needs the zone's name while it is not known has it read
// (GET /zones/<id>), kept as `zone` when the zone is the selected one. On
// error (ValueError: a name outside the zone, or one relative to a zone
// whose name cannot be read, that read's failure as its cause; what
// settle_call_zone raises), set an exception and return false.
bool settle_call_zone_and_name(CloudflareObject* self, const ApiContext& context,
                               const char* domain, PyObject* zone_id_arg, const std::string& name,
                               std::string& zone_id, std::string& resolved);

}  // namespace nuv
