// dns_ensured_record and dns_plan: the same arguments, look-ups, listing and
// plan; the first carries the plan out, the second returns it.
#include <string_view>
#include <unordered_set>

#include "cloudflare/methods.h"
#include "cloudflare/reconcile.h"
#include "cloudflare/reconcile_execute.h"
#include "cloudflare/record_match.h"
#include "cloudflare/zone.h"
#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"
#include "transport/retry_policy.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// Pages of one name's listing read at most: 100 records each, so 10,000
// records of one name. Past it the call writes nothing.
constexpr size_t kMaxListingPages = 100;

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

// The arguments both methods take, checked before any request.
struct EnsureCall {
  const char* domain = nullptr;
  WantedRecord wanted;
  // The zone_id= keyword (borrowed; null when not given).
  PyObject* zone_id = nullptr;
};

// On error, set an exception and return false.
bool parse_ensure_call(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                       EnsureCall& call) {
  static const char* keywords[] = {"domain",  "type",    "name",    "content", "proxied", "ttl",
                                   "present", "replace", "comment", "zone_id", nullptr};
  const char *type, *name, *content;
  int proxied = 0;
  PyObject* ttl_arg = nullptr;
  PyObject* present_arg = nullptr;
  PyObject* replace_arg = nullptr;
  PyObject* comment_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &call.domain,
                                   &type, &name, &content, &proxied, &ttl_arg, &present_arg,
                                   &replace_arg, &comment_arg, &call.zone_id)) {
    return false;
  }
  WantedRecord& wanted = call.wanted;
  // The service names types in upper case; "a" is "A".
  wanted.record.type = record_type_key(type);
  wanted.record.name = name;
  wanted.record.content = content;
  if (!read_ttl(ttl_arg, wanted.record.ttl)) return false;
  if (reinterpret_cast<CloudflareObject*>(self)->zone_id == nullptr &&
      !zone_id_given(call.zone_id)) {
    raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  if (!read_flag(present_arg, wanted.present) || !read_flag(replace_arg, wanted.replace) ||
      !read_comment(comment_arg, wanted.record.comment)) {
    return false;
  }
  // The service proxies only these types; any other would never match its
  // own listing and be rewritten on every call.
  wanted.record.proxied = proxied != 0 && is_proxiable_type(wanted.record.type);
  return check_record_fields(wanted.record);
}

// Every record of the wanted name, page after page, and the first page's
// answer (the call's result when nothing changes).
struct NameListing {
  PyRef first_answer;
  std::vector<ListedRecord> records;
  size_t element_count = 0;
};

// On error (a failed zone lookup, an answer that is not UTF-8 or has no
// "result" array, too many pages), set an exception and return false.
bool list_name(CloudflareObject* object, const ApiContext& context, const EnsureCall& call,
               std::string& zone_id, NameListing& listing) {
  if (!settle_call_zone(object, context, call.domain, call.zone_id, zone_id)) return false;
  // Only the wanted name, in the form the service stores it; the name
  // filter is exact.
  const std::string name = dns_name_key(call.wanted.record.name);
  const std::string first_path = listing_path(zone_id, nullptr, name.c_str(), nullptr);
  size_t pages = 1;
  std::unordered_set<std::string> seen_ids;
  for (size_t page = 1; page <= pages; ++page) {
    const std::string path = page == 1 ? first_path : first_path + "&page=" + std::to_string(page);
    const HttpResult answer = cloudflare_request(context, "GET", &path, nullptr);
    PyRef response(api_response(answer, context, Permission::kDnsRead));
    if (!response) {
      // A listing that yields no answer (its text is not UTF-8) fails the
      // call like a failed zone lookup; the decoding error stays the cause.
      raise_domain_not_found(call.domain);
      return false;
    }
    std::optional<Listing> parsed = parse_listing(answer.body);
    if (!parsed) {
      // The whole answer is the message, as it always was, credentials masked.
      raise_for_response(response.get(), response_masked_body(response.get()));
      return false;
    }
    if (page == 1) {
      pages = parsed->total_pages;
      if (pages > kMaxListingPages) {
        PyErr_Format(cloudflare_error_class(),
                     "The records of %s fill %zu pages, more than the %zu this call reads; "
                     "nothing was written",
                     name.c_str(), pages, kMaxListingPages);
        return false;
      }
      listing.first_answer = std::move(response);
    }
    listing.element_count += parsed->element_count;
    for (ListedRecord& record : parsed->records) {
      // A record listed twice (records added while the pages are read
      // shift them) is one record: never written twice.
      if (seen_ids.insert(record.id).second) listing.records.push_back(std::move(record));
    }
  }
  return true;
}

// Whether a failed write may have been applied: a 5xx, or an answer lost
// after the request went out.
bool outcome_unknown(const HttpResult& failure) {
  const Failure failed = classify_failure(failure);
  return failed == Failure::kServerError || failed == Failure::kAnswerLost;
}

PyObject* not_found(const char* format, const RecordFields& wanted, const ApiContext& context) {
  PyRef message(PyUnicode_FromFormat(format, wanted.name.c_str(), wanted.type.c_str(),
                                     wanted.content.c_str(), wanted.proxied ? 1 : 0));
  if (!message) return nullptr;
  PyRef status(PyUnicode_FromString("404"));
  if (!status) return nullptr;
  return api_response_of(status.get(), message.get(), context, Permission::kDnsEdit);
}

// The value dns_ensured_record returns for a plan carried out.
PyObject* outcome_value(const ReconcilePlan& plan, CarriedOut& done, NameListing& listing,
                        const RecordFields& record, const ApiContext& context) {
  if (done.failure) return api_response(*done.failure, context, Permission::kDnsEdit);
  switch (plan.outcome) {
    case Outcome::kUnchanged:
      return listing.first_answer.release();
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
      return api_response_of(PyTuple_GET_ITEM(listing.first_answer.get(), 0), message.get(),
                             context, Permission::kDnsEdit);
    }
  }
  return nullptr;
}

// ----- dns_plan's dicts ------------------------------------------------------

// Sets dict[key] = value, taking `value` over. On error, return false.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text_or_none(const std::optional<std::string>& text) {
  return text ? str_from_utf8(*text) : Py_NewRef(Py_None);
}

// One planned write as the record it leaves (or removes): for a delete the
// listed record, for a create the wanted one, for an update the listed
// record with the differing fields taken from the wanted one.
PyObject* planned_write_dict(const PlannedWrite& write, const RecordFields& wanted) {
  static const char* kActions[] = {"create", "update", "delete"};
  const bool is_mx = wanted.type == "MX";
  const MxContent mx = is_mx ? split_mx_content(wanted.content) : MxContent{};
  const std::string wanted_content = is_mx ? mx.host.value_or("") : wanted.content;

  ListedRecord shown;
  if (write.kind == WriteKind::kCreate) {
    shown = ListedRecord{
        "",         wanted.name,    wanted.type, wanted_content, wanted.proxied, mx.priority,
        wanted.ttl, wanted.comment, {}};
  } else {
    shown = *write.listed;
  }
  if (write.kind == WriteKind::kUpdate) {
    if (write.fields & kFieldContent) shown.content = wanted_content;
    if (write.fields & kFieldProxied) shown.proxied = wanted.proxied;
    if (write.fields & kFieldTtl) shown.ttl = wanted.ttl;
    if (write.fields & kFieldPriority) shown.priority = mx.priority;
    if (write.fields & kFieldComment) shown.comment = wanted.comment;
  }
  const bool shown_is_mx = record_type_key(shown.type) == "MX";

  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (!set_item(d, "action", PyUnicode_FromString(kActions[static_cast<int>(write.kind)])) ||
      !set_item(d, "id", write.listed ? str_from_utf8(write.listed->id) : Py_NewRef(Py_None)) ||
      !set_item(d, "type", str_from_utf8(shown.type)) ||
      !set_item(d, "name", str_from_utf8(shown.name)) ||
      !set_item(d, "content", str_from_utf8(shown.content)) ||
      !set_item(d, "proxied", PyBool_FromLong(shown.proxied)) ||
      !set_item(d, "ttl", PyLong_FromUnsignedLong(shown.ttl)) ||
      !set_item(d, "priority",
                shown_is_mx ? PyLong_FromLong(shown.priority) : Py_NewRef(Py_None)) ||
      !set_item(d, "comment", text_or_none(shown.comment)) ||
      !set_item(d, "reason", str_from_utf8(write.reason))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* Cloudflare_dns_ensured_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    EnsureCall call;
    if (!parse_ensure_call(self, args, kwargs, "sssspO|OOO$O:dns_ensured_record", call)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    // A create or batch whose answer was lost or 5xx may have been applied
    // all the same: it is never sent again blindly. The listing is read
    // again and the plan made anew, which finds a record that was created.
    for (int round = 0;; ++round) {
      std::string zone_id;
      NameListing listing;
      if (!list_name(object, context, call, zone_id, listing)) return nullptr;
      const ReconcilePlan plan =
          plan_reconciliation(call.wanted, listing.records, listing.element_count == 0);
      CarriedOut done = carry_out(plan, context, zone_id, call.wanted.record);
      if (done.failure && done.failed_on_create && round < context.settings.retries &&
          outcome_unknown(*done.failure)) {
        trace("write outcome unknown (%d): listing again %d/%d\n", done.failure->status, round + 1,
              context.settings.retries);
        continue;
      }
      return outcome_value(plan, done, listing, call.wanted.record, context);
    }
  });
}

PyObject* Cloudflare_dns_plan(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    EnsureCall call;
    if (!parse_ensure_call(self, args, kwargs, "sssspO|OOO$O:dns_plan", call)) return nullptr;
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    NameListing listing;
    if (!list_name(object, context, call, zone_id, listing)) return nullptr;
    const ReconcilePlan plan =
        plan_reconciliation(call.wanted, listing.records, listing.element_count == 0);
    PyRef writes(PyList_New(0));
    if (!writes) return nullptr;
    for (const PlannedWrite& write : plan.writes) {
      PyRef item(planned_write_dict(write, call.wanted.record));
      if (!item || PyList_Append(writes.get(), item.get()) != 0) return nullptr;
    }
    return writes.release();
  });
}

}  // namespace nuv
