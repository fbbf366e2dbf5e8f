#include "cloudflare/reconcile.h"

#include <json-c/json.h>

#include <string_view>

#include "cloudflare/methods.h"
#include "cloudflare/zone.h"
#include "common/guard.h"
#include "common/json_tree.h"
#include "common/py_ref.h"
#include "surface/errors.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// Only a CNAME excludes other records of its name; A and AAAA live together.
bool conflicts_in_type(std::string_view listed, std::string_view wanted) {
  auto address = [](std::string_view type) { return type == "A" || type == "AAAA"; };
  return (listed == "CNAME" && address(wanted)) || (wanted == "CNAME" && address(listed));
}

PlannedWrite create_write(const ListedRecord* differing = nullptr) {
  return {WriteKind::kCreate, differing, differing ? kTraceDiffers : nullptr,
          WriteCondition::kAlways, true};
}

}  // namespace

ReconcilePlan plan_reconciliation(const WantedRecord& wanted,
                                  const std::vector<ListedRecord>& listing, bool listing_empty) {
  const RecordFields& want = wanted.record;
  const bool is_mx = want.type == "MX";
  const bool is_txt = want.type == "TXT";
  MxContent mx;
  if (is_mx) mx = split_mx_content(want.content);
  // Callers refuse an MX content without host before planning; should one
  // come here all the same, it matches no listed host.
  const std::string wanted_content = is_mx ? mx.host.value_or(std::string()) : want.content;

  auto same_name_and_type = [&](const ListedRecord& r) {
    return r.name == want.name && r.type == want.type;
  };
  const ListedRecord* match = nullptr;
  for (const ListedRecord& r : listing) {
    if (same_name_and_type(r) && r.content == wanted_content) {
      match = &r;
      break;
    }
  }

  ReconcilePlan plan;
  if (!wanted.present) {
    // The only write: removing the record that is exactly the one named.
    if (match != nullptr) {
      plan.writes.push_back(
          {WriteKind::kDelete, match, kTraceDelete, WriteCondition::kAlways, true});
      plan.outcome = Outcome::kWriteResult;
    } else {
      plan.outcome = listing_empty ? Outcome::kRecordNotFound : Outcome::kNothingToDo;
    }
    return plan;
  }

  if (match != nullptr) {
    if (is_txt && wanted.replace) {
      for (const ListedRecord& r : listing) {
        if (&r != match && same_name_and_type(r) && r.content != wanted_content) {
          plan.writes.push_back(
              {WriteKind::kDelete, &r, kTraceDiffers, WriteCondition::kAlways, false});
        }
      }
    }
    if (match->proxied == want.proxied) {
      plan.outcome = Outcome::kUnchanged;
    } else {
      plan.writes.push_back(
          {WriteKind::kUpdate, match, kTraceDiffers, WriteCondition::kAlways, true});
      plan.outcome = Outcome::kWriteResult;
    }
    return plan;
  }

  plan.outcome = Outcome::kWriteResult;
  std::vector<const ListedRecord*> replaced_txt;
  for (const ListedRecord& r : listing) {
    if (r.name != want.name) continue;
    if (r.type != want.type) {
      if (!conflicts_in_type(r.type, want.type)) continue;
      plan.writes.push_back(
          {WriteKind::kDelete, &r, kTraceTypeConflict, WriteCondition::kAlways, false});
      plan.writes.push_back(create_write());
      plan.writes.push_back(
          {WriteKind::kRestore, &r, nullptr, WriteCondition::kIfDeletedAndResultFailed, false});
      return plan;
    }
    // Same name and type, other content.
    if (is_txt && wanted.replace) {
      replaced_txt.push_back(&r);  // removed once the wanted record exists
      continue;
    }
    if (is_txt || (is_mx && !wanted.replace)) {
      // Kept beside the wanted record; an MX of the wanted priority is
      // reported instead of doubled.
      if (is_mx && r.priority == mx.priority) {
        plan.outcome = Outcome::kMxFound;
        plan.mx_found = &r;
        plan.writes.push_back(
            {WriteKind::kAnnounce, &r, kTraceDiffers, WriteCondition::kAlways, false});
        return plan;
      }
      plan.writes.push_back(create_write(&r));
      return plan;
    }
    plan.writes.push_back({WriteKind::kUpdate, &r, kTraceDiffers, WriteCondition::kAlways, true});
    return plan;
  }

  plan.writes.push_back(create_write());
  for (const ListedRecord* r : replaced_txt) {
    plan.writes.push_back(
        {WriteKind::kDelete, r, kTraceDiffers, WriteCondition::kIfResultSucceeded, false});
  }
  return plan;
}

std::optional<Listing> parse_listing(const std::string& body) {
  JsonTree root(json_tokener_parse(body.c_str()));
  json_object* result = nullptr;
  if (!json_object_is_type(root.get(), json_type_object) ||
      !json_object_object_get_ex(root.get(), "result", &result) ||
      !json_object_is_type(result, json_type_array)) {
    return std::nullopt;
  }
  Listing listing;
  listing.element_count = json_object_array_length(result);
  const size_t count = listing.element_count;
  std::vector<ListedRecord>& out = listing.records;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(result, i);
    if (!json_object_is_type(element, json_type_object)) continue;
    auto text = [&](const char* key, std::string& into) {
      json_object* value = nullptr;
      if (!json_object_object_get_ex(element, key, &value) ||
          !json_object_is_type(value, json_type_string)) {
        return false;
      }
      into.assign(json_object_get_string(value),
                  static_cast<size_t>(json_object_get_string_len(value)));
      return true;
    };
    ListedRecord record;
    if (!text("id", record.id) || !text("name", record.name) || !text("type", record.type) ||
        !text("content", record.content)) {
      continue;
    }
    json_object* value = nullptr;
    if (json_object_object_get_ex(element, "proxied", &value)) {
      record.proxied = json_object_get_boolean(value) != 0;
    }
    if (json_object_object_get_ex(element, "priority", &value)) {
      record.priority = json_object_get_int(value);  // json-c clamps to 32 bits
    }
    if (json_object_object_get_ex(element, "ttl", &value)) {
      record.ttl = static_cast<uint32_t>(json_object_get_int(value));
    }
    out.push_back(std::move(record));
  }
  return listing;
}

namespace {

bool succeeded(const HttpResult& result) { return result.status >= 200 && result.status <= 299; }

// The id the service gave a created record, if its answer names one.
std::string created_id(const HttpResult& created, const std::string& fallback) {
  JsonTree root(json_tokener_parse(created.body.c_str()));
  json_object* result = nullptr;
  json_object* id = nullptr;
  if (json_object_object_get_ex(root.get(), "result", &result) &&
      json_object_object_get_ex(result, "id", &id) && json_object_is_type(id, json_type_string)) {
    return json_object_get_string(id);
  }
  return fallback;
}

void announce(const char* format, const ListedRecord& r) {
  trace(format, r.id.c_str(), r.name.c_str(), r.type.c_str(), r.content.c_str(), r.proxied ? 1 : 0);
}

// Carries the plan out, in order, and yields the answer of the write marked
// as the result (nullopt when there is none).
std::optional<HttpResult> carry_out(const ReconcilePlan& plan, const ApiContext& context,
                                    const std::string& zone_id, const RecordFields& wanted) {
  std::optional<HttpResult> result;
  bool deleted = false;
  for (const PlannedWrite& write : plan.writes) {
    const bool result_ok = result && succeeded(*result);
    if (write.condition == WriteCondition::kIfResultSucceeded && !result_ok) continue;
    if (write.condition == WriteCondition::kIfDeletedAndResultFailed && (!deleted || result_ok)) {
      continue;
    }
    if (write.announce != nullptr) announce(write.announce, *write.listed);
    HttpResult answer;
    switch (write.kind) {
      case WriteKind::kAnnounce:
        continue;
      case WriteKind::kCreate:
        answer = create_record(context, zone_id, wanted);
        break;
      case WriteKind::kUpdate:
        answer = update_record(context, zone_id, write.listed->id, wanted);
        break;
      case WriteKind::kDelete:
        answer = delete_record(context, zone_id, write.listed->id);
        deleted = succeeded(answer);
        break;
      case WriteKind::kRestore: {
        const ListedRecord& old = *write.listed;
        answer = create_record(context, zone_id,
                               RecordFields{old.type, old.name, old.content, old.proxied, old.ttl});
        if (succeeded(answer)) {
          ListedRecord restored = old;
          restored.id = created_id(answer, old.id);
          announce("record restored: %s %s, %s, %s, %d\n", restored);
        } else {
          announce("record not restored: %s %s, %s, %s, %d\n", old);
        }
        break;
      }
    }
    if (write.is_result) result = std::move(answer);
  }
  return result;
}

PyObject* not_found(const char* format, const RecordFields& wanted, const ApiContext& context) {
  PyRef message(PyUnicode_FromFormat(format, wanted.name.c_str(), wanted.type.c_str(),
                                     wanted.content.c_str(), wanted.proxied ? 1 : 0));
  if (!message) return nullptr;
  PyRef status(PyUnicode_FromString("404"));
  if (!status) return nullptr;
  return api_response_of(status.get(), message.get(), context, Permission::kDnsEdit);
}

// An integer value's truth: present and replace take an int, a bool or an
// object with __index__, nothing else.
bool read_flag(PyObject* given, bool& flag) {
  if (given == nullptr) {
    flag = true;
    return true;
  }
  PyRef index(PyNumber_Index(given));
  if (!index) return false;
  const int truth = PyObject_IsTrue(index.get());
  if (truth < 0) return false;
  flag = truth != 0;
  return true;
}

}  // namespace

PyObject* Cloudflare_dns_ensured_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"domain", "type",    "name",    "content", "proxied",
                                     "ttl",    "present", "replace", nullptr};
    const char *domain, *type, *name, *content;
    int proxied = 0;
    int ttl = 0;
    PyObject* present_arg = nullptr;
    PyObject* replace_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssspi|OO:dns_ensured_record",
                                     const_cast<char**>(keywords), &domain, &type, &name, &content,
                                     &proxied, &ttl, &present_arg, &replace_arg)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    if (object->zone_id == nullptr) {
      raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
      return nullptr;
    }
    WantedRecord wanted{RecordFields{type, name, content, false, static_cast<uint32_t>(ttl)}};
    if (!read_flag(present_arg, wanted.present) || !read_flag(replace_arg, wanted.replace)) {
      return nullptr;
    }
    RecordFields& record = wanted.record;
    // The service proxies only these types; any other would never match its
    // own listing and be rewritten on every call.
    record.proxied = proxied != 0 && is_proxiable_type(record.type);
    if (record.type == "MX" && !split_mx_content(record.content).host) {
      raise_mx_without_host(record.content);
      return nullptr;
    }

    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_zone(object, context, domain, zone_id)) return nullptr;
    // Only the wanted name: a listing is one page, and a record of this name
    // must not hide on a later page of a large zone.
    const std::string path = listing_path(zone_id, nullptr, name, nullptr);
    const HttpResult listing = cloudflare_request(context, "GET", &path, nullptr);
    PyRef listing_response(api_response(listing, context, Permission::kDnsRead));
    if (!listing_response) {
      // A listing that yields no answer (its text is not UTF-8) fails the
      // call like a failed zone lookup; the decoding error stays the cause.
      raise_domain_not_found(domain);
      return nullptr;
    }
    const std::optional<Listing> parsed = parse_listing(listing.body);
    if (!parsed) {
      // The whole answer is the message, as it always was, credentials masked.
      raise_for_response(listing_response.get(), response_masked_body(listing_response.get()));
      return nullptr;
    }

    const ReconcilePlan plan =
        plan_reconciliation(wanted, parsed->records, parsed->element_count == 0);
    std::optional<HttpResult> result = carry_out(plan, context, zone_id, record);
    switch (plan.outcome) {
      case Outcome::kUnchanged:
        return listing_response.release();
      case Outcome::kWriteResult:
        return api_response(*result, context, Permission::kDnsEdit);
      case Outcome::kRecordNotFound:
        return not_found("Record not found: %s, %s, %s, %d", record, context);
      case Outcome::kNothingToDo:
        return not_found("Nothing to do, Record not found: %s, %s, %s, %d", record, context);
      case Outcome::kMxFound: {
        const ListedRecord& r = *plan.mx_found;
        PyRef message(PyUnicode_FromFormat("Record found: %s %s, %s, %s, %d %d", r.id.c_str(),
                                           r.name.c_str(), r.type.c_str(), r.content.c_str(),
                                           r.proxied ? 1 : 0, static_cast<int>(r.priority)));
        if (!message) return nullptr;
        return api_response_of(PyTuple_GET_ITEM(listing_response.get(), 0), message.get(), context,
                               Permission::kDnsEdit);
      }
    }
    return nullptr;
  });
}

}  // namespace nuv
