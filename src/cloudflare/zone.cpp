#include "cloudflare/zone.h"

#include <optional>
#include <string_view>

#include "cloudflare/methods.h"
#include "cloudflare/record_match.h"
#include "cloudflare/record_name.h"
#include "common/guard.h"
#include "common/json_scan.h"
#include "common/percent_encode.h"
#include "common/text.h"
#include "surface/errors.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// What a zone look-up's answer says of the zone named `domain`.
struct ZoneAnswer {
  bool readable = false;          // JSON, "success" true, a "result" array
  bool listed = false;            // a zone of that name is in "result"
  std::optional<std::string> id;  // its id (a text, or the JSON text of another value)
};

// One zone of "result": its id when its name is `domain` (see
// same_dns_name). The service's name filter takes operators ("not_equal:",
// "contains:", ...), and an answer may list other zones first: only the name
// decides which zone the writes go to.
bool read_zone(JsonScanner& scan, std::string_view domain, ZoneAnswer& answer) {
  std::string key, name;
  bool has_name = false;
  std::optional<std::string> id;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key == "name") {
      has_name = scan.peek() == JsonScanner::Kind::kString;
      if (has_name ? !scan.read_string(name) : !scan.skip_value()) return false;
    } else if (key == "id") {
      const JsonScanner::Kind kind = scan.peek();
      std::string_view raw;
      if (kind == JsonScanner::Kind::kString) {
        id.emplace();
        if (!scan.read_string(*id)) return false;
      } else if (!scan.skip_value(raw)) {
        return false;
      } else if (kind == JsonScanner::Kind::kNull) {
        id.reset();
      } else {
        id.emplace(raw);
      }
    } else if (!scan.skip_value()) {
      return false;
    }
  }
  if (scan.ok() && has_name && !answer.listed && same_dns_name(name, domain)) {
    answer.listed = true;
    answer.id = std::move(id);
  }
  return scan.ok();
}

// One pass over the answer, reading only "success" and each zone's name and
// id; a later member of the same key replaces an earlier one, as in a tree.
ZoneAnswer read_zone_answer(const std::string& body, std::string_view domain) {
  JsonScanner scan(body);
  ZoneAnswer answer;
  if (scan.peek() != JsonScanner::Kind::kObject) return answer;
  bool success = false;
  bool has_result = false;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key == "success") {
      if (!scan.read_truth(success)) return ZoneAnswer{};
    } else if (key == "result" && scan.peek() == JsonScanner::Kind::kArray) {
      has_result = true;
      answer.listed = false;
      answer.id.reset();
      bool first_zone = true;
      scan.enter_array();
      while (scan.next_element(first_zone)) {
        const bool ok = scan.peek() == JsonScanner::Kind::kObject ? read_zone(scan, domain, answer)
                                                                  : scan.skip_value();
        if (!ok) return ZoneAnswer{};
      }
    } else {
      if (key == "result") has_result = false;
      if (!scan.skip_value()) return ZoneAnswer{};
    }
  }
  answer.readable = scan.at_end() && success && has_result;
  return answer;
}

// The zone's name in the answer to GET /zones/<id>: "success" true and a
// "result" object with a text "name"; nullopt otherwise.
std::optional<std::string> read_zone_details_name(const std::string& body) {
  JsonScanner scan(body);
  if (scan.peek() != JsonScanner::Kind::kObject) return std::nullopt;
  bool success = false;
  std::optional<std::string> name;
  std::string key;
  bool first = true;
  scan.enter_object();
  while (scan.next_member(first, key)) {
    if (key == "success") {
      if (!scan.read_truth(success)) return std::nullopt;
    } else if (key == "result" && scan.peek() == JsonScanner::Kind::kObject) {
      name.reset();
      bool first_member = true;
      std::string member;
      scan.enter_object();
      while (scan.next_member(first_member, member)) {
        if (member == "name" && scan.peek() == JsonScanner::Kind::kString) {
          name.emplace();
          if (!scan.read_string(*name)) return std::nullopt;
        } else if (!scan.skip_value()) {
          return std::nullopt;
        }
      }
    } else {
      if (key == "result") name.reset();
      if (!scan.skip_value()) return std::nullopt;
    }
  }
  if (!scan.at_end() || !success || !name || name->empty()) return std::nullopt;
  return name;
}

// Whether a call given `zone_id_arg` acts on the selected zone.
bool acts_on_selected_zone(CloudflareObject* self, PyObject* zone_id_arg) {
  if (!zone_id_given(zone_id_arg)) return true;
  if (self->zone_id == nullptr || !PyUnicode_Check(zone_id_arg) ||
      !PyUnicode_Check(self->zone_id)) {
    return false;
  }
  return PyUnicode_Compare(zone_id_arg, self->zone_id) == 0;
}

// The selected zone's name, "" when none is known (or it is not text).
std::string selected_zone_name(CloudflareObject* self) {
  std::string name;
  if (self->zone == nullptr || !PyUnicode_Check(self->zone)) return name;
  if (!utf8_of_str(self->zone, name)) {
    PyErr_Clear();
    name.clear();
  }
  return name;
}

// Reads the zone's name from the service. On error (the read failed or its
// answer holds no name), set an exception and return false.
bool read_zone_name(CloudflareObject* self, const ApiContext& context, const std::string& zone_id,
                    bool selected, std::string& name) {
  const std::string path = zone_path(zone_id);
  const HttpResult result = cloudflare_request(context, "GET", &path, nullptr);
  PyRef response(api_response(result, context, Permission::kZoneRead));
  if (!response) return false;
  std::optional<std::string> found = read_zone_details_name(result.body);
  if (!found) {
    raise_for_response(response.get(), nullptr);
    return false;
  }
  name = std::move(*found);
  // Kept for the next call, unless another thread selected another zone
  // meanwhile.
  if (selected && self->zone_id != nullptr) {
    std::string current;
    if (!utf8_of_str(self->zone_id, current)) return false;
    if (current == zone_id) {
      PyRef text(str_from_utf8(name));
      if (!text) return false;
      replace_field(self->zone, text.release());  // the object owns it now
    }
  }
  return true;
}

// Raises ValueError(message), keeping a pending exception as its cause.
void raise_name_error(const std::string& message) {
  if (last_send_interrupted()) return;
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_ValueError, message.c_str());
  if (cause == nullptr) return;
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);  // steals 'cause'
  PyErr_SetRaisedException(error);
}

}  // namespace

void raise_domain_not_found(const char* domain) {
  if (last_send_interrupted()) return;
  PyObject* cause = PyErr_GetRaisedException();
  raise_zone_not_found(std::string("Domain not found: ") + domain, ZoneProblem::kNotFound, nullptr);
  if (cause == nullptr) return;
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);  // steals 'cause'
  PyErr_SetRaisedException(error);
}

PyRef lookup_zone(CloudflareObject* self, const ApiContext& context, const std::string& domain) {
  const std::string path = std::string(DEFAULT_ZONES_PATH) + "&name=" + percent_encode(domain);
  const HttpResult result = cloudflare_request(context, "GET", &path, nullptr);
  PyRef response(api_response(result, context, Permission::kZoneRead));
  if (!response) return {};

  const ZoneAnswer answer = read_zone_answer(result.body, domain);
  if (answer.readable && !answer.listed) {
    raise_zone_not_found("Domain not found: " + domain, ZoneProblem::kNotFound, response.get());
    return {};
  }
  if (!answer.readable || !answer.id) {
    // The whole answer is the message, as it always was, credentials masked.
    raise_for_response(response.get(), response_masked_body(response.get()));
    return {};
  }
  // Up to a NUL, as the id always was read.
  PyRef zone_id(PyUnicode_FromString(answer.id->c_str()));
  if (!zone_id) return {};
  PyRef zone(PyUnicode_FromStringAndSize(domain.data(), static_cast<Py_ssize_t>(domain.size())));
  if (!zone) return {};
  replace_field(self->zone_id, zone_id.release());  // the object owns both now
  replace_field(self->zone, zone.release());
  return response;
}

bool settle_zone(CloudflareObject* self, const ApiContext& context, const char* domain,
                 std::string& zone_id) {
  if (domain == nullptr) {
    if (self->zone_id == nullptr) {
      PyErr_SetString(PyExc_TypeError, "domain should be a string");
      return false;
    }
    return utf8_of_str(self->zone_id, zone_id);
  }
  // An empty domain names no zone: it means the selected one (selected by
  // id, a zone has no name to look up).
  if (*domain == '\0' && self->zone_id != nullptr) return utf8_of_str(self->zone_id, zone_id);
  bool same_zone = false;
  if (self->zone != nullptr) {
    std::string current;
    if (!utf8_of_str(self->zone, current)) return false;
    trace("current_domain: %s\n", current.c_str());
    same_zone = current == domain;
  }
  if (!same_zone) {
    if (!lookup_zone(self, context, domain)) {
      raise_domain_not_found(domain);
      return false;
    }
  }
  if (self->zone_id == nullptr) {
    raise_zone_not_found("Domain not found!", ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  return utf8_of_str(self->zone_id, zone_id);
}

bool settle_call_zone(CloudflareObject* self, const ApiContext& context, const char* domain,
                      PyObject* zone_id_arg, std::string& zone_id) {
  if (zone_id_given(zone_id_arg)) return read_call_zone_id(self, zone_id_arg, zone_id);
  return settle_zone(self, context, domain, zone_id);
}

bool settle_call_zone_and_name(CloudflareObject* self, const ApiContext& context,
                               const char* domain, PyObject* zone_id_arg, const std::string& name,
                               std::string& zone_id, std::string& resolved) {
  const bool selected = acts_on_selected_zone(self, zone_id_arg);
  std::string zone_name;
  // With zone_id= the domain is not looked at, as the zone it names is not.
  if (domain != nullptr && *domain != '\0' && !zone_id_given(zone_id_arg)) {
    zone_name = domain;
  } else if (selected) {
    zone_name = selected_zone_name(self);
  }
  ResolvedName name_of = resolve_record_name(name, zone_name);
  if (name_of.status == NameResolution::kOutsideZone) {
    PyErr_SetString(PyExc_ValueError, name_of.error.c_str());
    return false;
  }
  if (!settle_call_zone(self, context, domain, zone_id_arg, zone_id)) return false;
  if (name_of.status == NameResolution::kZoneUnknown) {
    if (!read_zone_name(self, context, zone_id, selected, zone_name)) {
      raise_name_error(name_of.error);
      return false;
    }
    name_of = resolve_record_name(name, zone_name);
    if (name_of.status != NameResolution::kResolved) {
      PyErr_SetString(PyExc_ValueError, name_of.error.c_str());
      return false;
    }
  }
  resolved = std::move(name_of.name);
  return true;
}

PyObject* Cloudflare_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"domain", nullptr};
    const char* domain = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:query", const_cast<char**>(keywords),
                                     &domain)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    return lookup_zone(object, context, domain).release();
  });
}

}  // namespace nuv
