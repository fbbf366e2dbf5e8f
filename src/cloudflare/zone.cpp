#include "cloudflare/zone.h"

#include <optional>
#include <string_view>

#include "cloudflare/methods.h"
#include "cloudflare/record_match.h"
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

}  // namespace

void raise_domain_not_found(const char* domain) {
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
