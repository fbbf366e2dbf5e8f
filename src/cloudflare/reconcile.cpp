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

// The same-name records of the listing, sorted by what they are to the
// wanted record.
struct Neighbours {
  std::vector<const ListedRecord*> matches;      // the wanted record itself
  std::vector<const ListedRecord*> same_type;    // same type, other content
  std::vector<const ListedRecord*> conflicting;  // in the way of the wanted type
};

Neighbours sort_neighbours(const WantedRecord& wanted, const std::vector<ListedRecord>& listing) {
  const RecordFields& want = wanted.record;
  const bool is_mx = want.type == "MX";
  MxContent mx;
  if (is_mx) mx = split_mx_content(want.content);
  // Callers refuse an MX content without host before planning; should one
  // come here all the same, it matches no listed host.
  const std::string wanted_content = is_mx ? mx.host.value_or(std::string()) : want.content;
  Neighbours out;
  for (const ListedRecord& r : listing) {
    if (r.name != want.name) continue;
    if (r.type != want.type) {
      if (conflicts_in_type(r.type, want.type)) out.conflicting.push_back(&r);
      continue;
    }
    // An MX is the record of its host; its priority is compared like the
    // other fields, except that removing a record needs the exact one.
    const bool same =
        r.content == wanted_content && (!is_mx || wanted.present || r.priority == mx.priority);
    (same ? out.matches : out.same_type).push_back(&r);
  }
  return out;
}

// Builds the plan's write list in batch order from the three kinds.
class PlanBuilder {
 public:
  explicit PlanBuilder(ReconcilePlan& plan) : plan_(plan) {}
  void remove(const ListedRecord& r, WriteStep step, const char* reason, const char* format) {
    deletes_.push_back({WriteKind::kDelete, &r, step, reason});
    plan_.announcements.push_back({format, &r});
  }
  void update(const ListedRecord& r, const char* reason, bool is_result) {
    updates_.push_back({WriteKind::kUpdate, &r, WriteStep::kWriteWanted, reason});
    plan_.announcements.push_back({kTraceDiffers, &r});
    result_ = is_result ? &updates_.back() - updates_.data() : result_;
    result_in_ = is_result ? WriteKind::kUpdate : result_in_;
  }
  void create(const char* reason) {
    creates_.push_back({WriteKind::kCreate, nullptr, WriteStep::kWriteWanted, reason});
    result_ = static_cast<ptrdiff_t>(creates_.size()) - 1;
    result_in_ = WriteKind::kCreate;
  }
  void result_is_first_delete() {
    result_ = 0;
    result_in_ = WriteKind::kDelete;
  }
  void finish() {
    std::vector<PlannedWrite>& out = plan_.writes;
    out = std::move(deletes_);
    const size_t updates_at = out.size();
    out.insert(out.end(), updates_.begin(), updates_.end());
    const size_t creates_at = out.size();
    out.insert(out.end(), creates_.begin(), creates_.end());
    if (result_ < 0) return;
    plan_.outcome = Outcome::kWriteResult;
    const size_t base = result_in_ == WriteKind::kDelete   ? 0
                        : result_in_ == WriteKind::kUpdate ? updates_at
                                                           : creates_at;
    plan_.result_index = base + static_cast<size_t>(result_);
  }

 private:
  ReconcilePlan& plan_;
  std::vector<PlannedWrite> deletes_, updates_, creates_;
  ptrdiff_t result_ = -1;
  WriteKind result_in_ = WriteKind::kCreate;
};

}  // namespace

ReconcilePlan plan_reconciliation(const WantedRecord& wanted,
                                  const std::vector<ListedRecord>& listing, bool listing_empty) {
  const RecordFields& want = wanted.record;
  const bool is_mx = want.type == "MX";
  const bool is_txt = want.type == "TXT";
  const Neighbours found = sort_neighbours(wanted, listing);
  ReconcilePlan plan;
  PlanBuilder build(plan);

  if (!wanted.present) {
    // The only writes: removing the records that are exactly the one named.
    if (found.matches.empty()) {
      plan.outcome = listing_empty ? Outcome::kRecordNotFound : Outcome::kNothingToDo;
      return plan;
    }
    for (const ListedRecord* r : found.matches) {
      build.remove(*r, WriteStep::kWriteWanted, "not wanted", kTraceDelete);
    }
    build.result_is_first_delete();
    build.finish();
    return plan;
  }

  MxContent mx;
  if (is_mx) mx = split_mx_content(want.content);
  if (!found.matches.empty()) {
    const ListedRecord& match = *found.matches.front();
    if (is_txt && wanted.replace) {
      for (const ListedRecord* r : found.same_type) {
        build.remove(*r, WriteStep::kRemoveStale, "stale TXT value", kTraceDiffers);
      }
    }
    if (match.proxied != want.proxied) {
      build.update(match, "proxied differs", true);
    } else if (is_mx && match.priority != mx.priority) {
      build.update(match, "priority differs", true);
    }
    build.finish();
    return plan;
  }

  if (!found.conflicting.empty()) {
    // Every record in the way goes, or the create fails on the one left.
    for (const ListedRecord* r : found.conflicting) {
      build.remove(*r, WriteStep::kClearConflict, "type conflict", kTraceTypeConflict);
    }
    build.create("type conflict");
  } else if (found.same_type.empty()) {
    build.create("missing");
  } else if (is_txt) {
    build.create("missing");
    if (wanted.replace) {
      // Removed only once the wanted value exists.
      for (const ListedRecord* r : found.same_type) {
        build.remove(*r, WriteStep::kRemoveStale, "stale TXT value", kTraceDiffers);
      }
    } else {
      plan.announcements.push_back({kTraceDiffers, found.same_type.front()});
    }
  } else if (is_mx && !wanted.replace) {
    // Kept beside the wanted record; an MX of the wanted priority is
    // reported instead of doubled.
    const ListedRecord& first = *found.same_type.front();
    plan.announcements.push_back({kTraceDiffers, &first});
    if (first.priority == mx.priority) {
      plan.outcome = Outcome::kMxFound;
      plan.mx_found = &first;
      return plan;
    }
    build.create("missing");
  } else {
    build.update(*found.same_type.front(), "content differs", true);
  }
  build.finish();
  return plan;
}

std::vector<const PlannedWrite*> one_at_a_time(const ReconcilePlan& plan) {
  std::vector<const PlannedWrite*> order;
  order.reserve(plan.writes.size());
  for (const WriteStep step :
       {WriteStep::kClearConflict, WriteStep::kWriteWanted, WriteStep::kRemoveStale}) {
    for (const PlannedWrite& write : plan.writes) {
      if (write.step == step) order.push_back(&write);
    }
  }
  return order;
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

RecordFields fields_of(const ListedRecord& r) {
  return RecordFields{r.type, r.name, r.content, r.proxied, r.ttl};
}

// Records deleted to make room for the wanted one: re-created as they were
// listed when the guard goes before dismiss(), whatever the path out (a
// failed write, an early return, a C++ exception), so a failed swap never
// loses a record.
class RestoreOnFailure {
 public:
  RestoreOnFailure(const ApiContext& context, std::string_view zone_id, size_t capacity)
      : context_(context), zone_id_(zone_id) {
    deleted_.reserve(capacity);  // add() must not allocate once a delete is done
  }
  RestoreOnFailure(const RestoreOnFailure&) = delete;
  RestoreOnFailure& operator=(const RestoreOnFailure&) = delete;
  ~RestoreOnFailure() {
    for (const ListedRecord* r : deleted_) restore(*r);
  }

  void add(const ListedRecord& deleted) noexcept { deleted_.push_back(&deleted); }
  void dismiss() noexcept { deleted_.clear(); }

 private:
  void restore(const ListedRecord& old) noexcept {
    try {
      const HttpResult answer = create_record(context_, zone_id_, fields_of(old));
      if (succeeded(answer)) {
        ListedRecord restored = old;
        restored.id = created_id(answer, old.id);
        announce("record restored: %s %s, %s, %s, %d\n", restored);
        return;
      }
    } catch (...) {
      // Out of memory while restoring: say so below; nothing may escape a
      // destructor that runs while another exception unwinds.
    }
    announce("record not restored: %s %s, %s, %s, %d\n", old);
  }

  const ApiContext& context_;
  std::string_view zone_id_;
  std::vector<const ListedRecord*> deleted_;
};

HttpResult send_write(const PlannedWrite& write, const ApiContext& context,
                      const std::string& zone_id, const RecordFields& wanted) {
  switch (write.kind) {
    case WriteKind::kCreate:
      return create_record(context, zone_id, wanted);
    case WriteKind::kUpdate:
      return update_record(context, zone_id, write.listed->id, wanted);
    case WriteKind::kDelete:
      break;
  }
  return delete_record(context, zone_id, write.listed->id);
}

// What carrying a plan out gave: the answer of the plan's result write, or
// the first failed write's answer (the writes stop there).
struct CarriedOut {
  std::optional<HttpResult> result;
  std::optional<HttpResult> failure;
};

// Traces the plan's decisions, then sends its writes one at a time, each
// step only once the previous one succeeded.
CarriedOut carry_out(const ReconcilePlan& plan, const ApiContext& context,
                     const std::string& zone_id, const RecordFields& wanted) {
  for (const Announcement& line : plan.announcements) announce(line.format, *line.listed);
  CarriedOut out;
  const std::vector<const PlannedWrite*> order = one_at_a_time(plan);
  RestoreOnFailure restore(context, zone_id, order.size());
  for (const PlannedWrite* write : order) {
    HttpResult answer = send_write(*write, context, zone_id, wanted);
    if (!succeeded(answer)) {
      if (write->kind == WriteKind::kDelete) {
        announce("record not deleted: %s %s, %s, %s, %d\n", *write->listed);
      }
      out.failure = std::move(answer);
      return out;  // `restore` puts back what this plan deleted
    }
    if (write->step == WriteStep::kClearConflict) {
      restore.add(*write->listed);
    } else {
      restore.dismiss();  // the wanted record is in place
    }
    if (plan.outcome == Outcome::kWriteResult && write == &plan.writes[plan.result_index]) {
      out.result = std::move(answer);
    }
  }
  return out;
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
                                     "ttl",    "present", "replace", "zone_id", nullptr};
    const char *domain, *type, *name, *content;
    int proxied = 0;
    PyObject* ttl_arg = nullptr;
    PyObject* present_arg = nullptr;
    PyObject* replace_arg = nullptr;
    PyObject* zone_id_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "sssspO|OO$O:dns_ensured_record", const_cast<char**>(keywords), &domain,
            &type, &name, &content, &proxied, &ttl_arg, &present_arg, &replace_arg, &zone_id_arg)) {
      return nullptr;
    }
    WantedRecord wanted{RecordFields{type, name, content, false, 0}};
    if (!read_ttl(ttl_arg, wanted.record.ttl)) return nullptr;
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    if (object->zone_id == nullptr && !zone_id_given(zone_id_arg)) {
      raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
      return nullptr;
    }
    if (!read_flag(present_arg, wanted.present) || !read_flag(replace_arg, wanted.replace)) {
      return nullptr;
    }
    RecordFields& record = wanted.record;
    // The service proxies only these types; any other would never match its
    // own listing and be rewritten on every call.
    record.proxied = proxied != 0 && is_proxiable_type(record.type);
    if (!check_record_fields(record)) return nullptr;

    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_call_zone(object, context, domain, zone_id_arg, zone_id)) return nullptr;
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
    CarriedOut done = carry_out(plan, context, zone_id, record);
    if (done.failure) return api_response(*done.failure, context, Permission::kDnsEdit);
    switch (plan.outcome) {
      case Outcome::kUnchanged:
        return listing_response.release();
      case Outcome::kWriteResult:
        return api_response(*done.result, context, Permission::kDnsEdit);
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
