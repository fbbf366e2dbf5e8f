// dns_ensured_record and dns_plan: the same arguments, look-ups, listing and
// plan; the first carries the plan out, the second returns it.
#include <string_view>

#include "cloudflare/methods.h"
#include "cloudflare/name_listing.h"
#include "cloudflare/reconcile.h"
#include "cloudflare/reconcile_execute.h"
#include "cloudflare/record_match.h"
#include "cloudflare/zone.h"
#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"
#include "surface/keep.h"
#include "transport/retry_policy.h"
#include "transport/trace.h"

namespace nuv {

namespace {

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
  PyObject* proxied_arg = nullptr;
  PyObject* ttl_arg = nullptr;
  PyObject* present_arg = nullptr;
  PyObject* replace_arg = nullptr;
  PyObject* comment_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &call.domain,
                                   &type, &name, &content, &proxied_arg, &ttl_arg, &present_arg,
                                   &replace_arg, &comment_arg, &call.zone_id)) {
    return false;
  }
  WantedRecord& wanted = call.wanted;
  // The service names types in upper case; "a" is "A".
  wanted.record.type = record_type_key(type);
  wanted.record.name = name;
  wanted.record.content = content;
  // KEEP: an existing record keeps its value; a new one gets the default.
  bool proxied = false;
  wanted.keep_proxied = is_keep(proxied_arg);
  wanted.keep_ttl = is_keep(ttl_arg);
  if (!wanted.keep_proxied && !read_proxied(proxied_arg, proxied)) return false;
  if (!wanted.keep_ttl && !read_ttl(ttl_arg, wanted.record.ttl)) return false;
  if (reinterpret_cast<CloudflareObject*>(self)->zone_id == nullptr &&
      !zone_id_given(call.zone_id)) {
    raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  // A comment that is kept is one that is not given.
  if (!read_flag(present_arg, wanted.present) || !read_flag(replace_arg, wanted.replace) ||
      !read_comment(is_keep(comment_arg) ? Py_None : comment_arg, wanted.record.comment)) {
    return false;
  }
  // The service proxies only these types; any other would never match its
  // own listing and be rewritten on every call.
  wanted.record.proxied = proxied && is_proxiable_type(wanted.record.type);
  return check_record_fields(wanted.record);
}

// The call's zone, settled once for all of its requests, and the wanted
// name resolved against it. On error, set an exception and return false.
bool settle_call(CloudflareObject* object, const ApiContext& context, EnsureCall& call,
                 std::string& zone_id) {
  std::string resolved;
  if (!settle_call_zone_and_name(object, context, call.domain, call.zone_id,
                                 call.wanted.record.name, zone_id, resolved)) {
    return false;
  }
  call.wanted.record.name = std::move(resolved);
  return true;
}

// Every record of the wanted name, page after page, and the first page's
// answer (the call's result when nothing changes).
struct NameListing {
  PyRef first_answer;
  std::vector<ListedRecord> records;
  size_t element_count = 0;
};

// On error (an answer that is not UTF-8 or has no "result" array, too many
// pages), set an exception and return false.
bool list_name(const ApiContext& context, const EnsureCall& call, const std::string& zone_id,
               NameListing& listing) {
  // Only the wanted name, in the form the service stores it; the name
  // filter is exact.
  const std::string name = dns_name_key(call.wanted.record.name);
  PyRef response;
  NameRecords found = list_name_records(context, zone_id, name, [&](const HttpResult& answer) {
    response = PyRef(api_response(answer, context, Permission::kDnsRead));
    if (!listing.first_answer) listing.first_answer = PyRef::borrow(response.get());
    return static_cast<bool>(response);
  });
  switch (found.status) {
    case ListingStatus::kComplete:
      break;
    case ListingStatus::kStopped:
      // A listing that yields no answer (its text is not UTF-8) fails the
      // call like a failed zone lookup; the decoding error stays the cause.
      raise_domain_not_found(call.domain);
      return false;
    case ListingStatus::kNotAListing:
      // The whole answer is the message, as it always was, credentials masked.
      raise_for_response(response.get(), response_masked_body(response.get()));
      return false;
    case ListingStatus::kTooManyPages:
      PyErr_Format(cloudflare_error_class(),
                   "The records of %s fill %zu pages, more than the %zu this call reads; "
                   "nothing was written",
                   name.c_str(), found.pages, kMaxListingPages);
      return false;
  }
  listing.records = std::move(found.records);
  listing.element_count = found.element_count;
  return true;
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

// ----- records a failed swap could not put back --------------------------------

// Sets dict[key] = value, taking `value` over. On error, return false.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text_or_none(const std::optional<std::string>& text) {
  return text ? str_from_utf8(*text) : Py_NewRef(Py_None);
}

// The records as dicts of what it takes to create them again. On error,
// return nullptr.
PyObject* record_dicts(const std::vector<ListedRecord>& records) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const ListedRecord& r : records) {
    const bool is_mx = record_type_key(r.type) == "MX";
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!set_item(d, "type", str_from_utf8(r.type)) ||
        !set_item(d, "name", str_from_utf8(r.name)) ||
        !set_item(d, "content", str_from_utf8(r.content)) ||
        !set_item(d, "ttl", PyLong_FromUnsignedLong(r.ttl)) ||
        !set_item(d, "proxied", PyBool_FromLong(r.proxied)) ||
        !set_item(d, "priority", is_mx ? PyLong_FromLong(r.priority) : Py_NewRef(Py_None)) ||
        !set_item(d, "comment", text_or_none(r.comment)) || PyList_Append(list.get(), d) != 0) {
      return nullptr;
    }
  }
  return list.release();
}

// "TYPE name content" of each record, separated by "; ".
std::string describe_records(const std::vector<ListedRecord>& records) {
  std::string text;
  for (const ListedRecord& r : records) {
    if (!text.empty()) text += "; ";
    text.append(r.type).append(" ").append(r.name).append(" ").append(r.content);
  }
  return text;
}

// Ends the call with the records a failed swap deleted and could not put
// back, as `.unrestored` (and a note): on the exception pending when there
// is one (what a signal handler raised), else on the CloudflareError of the
// answer that refused them. Returns nullptr with an exception set.
PyObject* raise_unrestored(const CarriedOut& done, const RecordFields& wanted,
                           const ApiContext& context) {
  const std::string records = describe_records(done.unrestored);
  const bool interrupted = PyErr_Occurred() != nullptr;
  if (!interrupted) {
    const HttpResult& answer = done.restore_failure ? *done.restore_failure : *done.failure;
    PyRef response(api_response(answer, context, Permission::kDnsEdit));
    if (!response) return nullptr;
    PyRef message(PyUnicode_FromFormat(
        "%zu record(s) deleted to make room for %s %s could not be put back (see .unrestored): %s",
        done.unrestored.size(), wanted.type.c_str(), wanted.name.c_str(), records.c_str()));
    if (!message) return nullptr;
    raise_for_response(response.get(), message.get());
  }
  PyRef error(PyErr_GetRaisedException());
  PyRef unrestored(record_dicts(done.unrestored));
  if (!unrestored || PyObject_SetAttrString(error.get(), "unrestored", unrestored.get()) != 0) {
    return nullptr;
  }
  if (interrupted) {
    // The handler's exception goes up as raised; a note says what it left.
    PyRef note(PyUnicode_FromFormat("not put back (see .unrestored): %s", records.c_str()));
    if (!note) return nullptr;
    PyRef added(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
    if (!added) return nullptr;
  }
  PyErr_SetRaisedException(error.release());
  return nullptr;
}

// ----- dns_plan's dicts ------------------------------------------------------

// {"old": old, "new": new}, taking both over. On error, return nullptr.
PyObject* change(PyObject* old_value, PyObject* new_value) {
  PyRef old_ref(old_value), new_ref(new_value);
  if (!old_ref || !new_ref) return nullptr;
  return Py_BuildValue("{sOsO}", "old", old_ref.get(), "new", new_ref.get());
}

// An update's fields as {field: {"old": ..., "new": ...}}, from the listed
// record and the record the update leaves. On error, return nullptr.
PyObject* changes_dict(unsigned fields, const ListedRecord& before, const ListedRecord& after) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (((fields & kFieldContent) &&
       !set_item(d, "content",
                 change(str_from_utf8(before.content), str_from_utf8(after.content)))) ||
      ((fields & kFieldProxied) &&
       !set_item(d, "proxied",
                 change(PyBool_FromLong(before.proxied), PyBool_FromLong(after.proxied)))) ||
      ((fields & kFieldTtl) && !set_item(d, "ttl",
                                         change(PyLong_FromUnsignedLong(before.ttl),
                                                PyLong_FromUnsignedLong(after.ttl)))) ||
      ((fields & kFieldPriority) &&
       !set_item(d, "priority",
                 change(PyLong_FromLong(before.priority), PyLong_FromLong(after.priority)))) ||
      ((fields & kFieldComment) &&
       !set_item(d, "comment",
                 change(text_or_none(before.comment), text_or_none(after.comment))))) {
    return nullptr;
  }
  return dict.release();
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
        wanted.ttl, wanted.comment, {},          std::nullopt};
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
      !set_item(d, "reason", str_from_utf8(write.reason)) ||
      !set_item(d, "changes",
                write.kind == WriteKind::kUpdate ? changes_dict(write.fields, *write.listed, shown)
                                                 : PyDict_New())) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* Cloudflare_dns_ensured_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    EnsureCall call;
    if (!parse_ensure_call(self, args, kwargs, "ssssOO|OOO$O:dns_ensured_record", call)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_call(object, context, call, zone_id)) return nullptr;
    // A write whose answer was lost or 5xx may have been applied all the
    // same: a create is never sent again blindly. The listing is read again
    // and the plan made anew from what is there.
    for (int round = 0;; ++round) {
      NameListing listing;
      if (!list_name(context, call, zone_id, listing)) return nullptr;
      const ReconcilePlan plan =
          plan_reconciliation(call.wanted, listing.records, listing.element_count == 0);
      CarriedOut done = carry_out(plan, context, zone_id, call.wanted.record);
      if (!done.unrestored.empty()) return raise_unrestored(done, call.wanted.record, context);
      if (done.failure && done.outcome_unknown && !done.failure->interrupted &&
          round < context.settings.retries) {
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
    if (!parse_ensure_call(self, args, kwargs, "ssssOO|OOO$O:dns_plan", call)) return nullptr;
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_call(object, context, call, zone_id)) return nullptr;
    NameListing listing;
    if (!list_name(context, call, zone_id, listing)) return nullptr;
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
