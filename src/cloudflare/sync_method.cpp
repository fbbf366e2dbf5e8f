// dns_sync_plan and dns_sync: the same arguments, zone, listing and plan;
// the first returns the plan, the second carries it out in batches.
#include <algorithm>
#include <cmath>
#include <map>
#include <string_view>
#include <unordered_set>

#include "cloudflare/listing_pages.h"
#include "cloudflare/methods.h"
#include "cloudflare/record_match.h"
#include "cloudflare/record_name.h"
#include "cloudflare/records.h"
#include "cloudflare/sync_execute.h"
#include "cloudflare/sync_plan.h"
#include "cloudflare/wanted_data.h"
#include "cloudflare/zone.h"
#include "cloudflare/zone_facts.h"
#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"
#include "transport/retry_policy.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// Below this many records in scope, any share may change: a small zone's
// every record is a large share of it.
constexpr size_t kThresholdFloor = 10;

// The arguments both methods take (borrowed references).
struct SyncCall {
  PyObject* wanted = nullptr;
  const char* domain = nullptr;
  PyObject* zone_id = nullptr;
  PyObject* scope = nullptr;
  PyObject* types = nullptr;
  PyObject* owner = nullptr;
  PyObject* owned_only = nullptr;
  int force = 0;
  double threshold = 0.3;
};

// On error, set an exception and return false.
bool parse_sync_call(PyObject* args, PyObject* kwargs, const char* format, SyncCall& call) {
  static const char* keywords[] = {"wanted", "domain",     "zone_id", "scope",     "types",
                                   "owner",  "owned_only", "force",   "threshold", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &call.wanted,
                                   &call.domain, &call.zone_id, &call.scope, &call.types,
                                   &call.owner, &call.owned_only, &call.force, &call.threshold)) {
    return false;
  }
  if (!(call.threshold >= 0.0 && call.threshold <= 1.0)) {
    PyErr_SetString(PyExc_ValueError, "threshold must be between 0 and 1");
    return false;
  }
  return true;
}

// ----- the wanted records ------------------------------------------------------

struct WantedInput {
  SyncWanted record;
  std::string given_name;
};

// A text of a wanted record: nullptr (a key left out or None) when
// optional. On error, set an exception and return false.
bool record_text(PyObject* item, const char* key, size_t index, bool required,
                 std::optional<std::string>& out) {
  PyObject* value = PyDict_GetItemString(item, key);  // borrowed
  if (value == nullptr || value == Py_None) {
    if (!required) return true;
    PyErr_Format(PyExc_ValueError, "wanted record %zu has no '%s'", index, key);
    return false;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "wanted record %zu: '%s' must be str, not %.200s", index, key,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out.emplace();
  if (!utf8_of_str(value, *out)) return false;
  if (required && out->empty()) {
    PyErr_Format(PyExc_ValueError, "wanted record %zu: '%s' is empty", index, key);
    return false;
  }
  return true;
}

bool record_numbers(PyObject* item, size_t index, SyncWanted& w) {
  if (PyObject* ttl = PyDict_GetItemString(item, "ttl"); ttl != nullptr && ttl != Py_None) {
    uint32_t value = 0;
    if (!read_ttl(ttl, value)) return false;
    w.ttl = value;
  }
  if (PyObject* proxied = PyDict_GetItemString(item, "proxied");
      proxied != nullptr && proxied != Py_None) {
    // "false" would be true: only bool (or int) says what is meant.
    if (!PyLong_Check(proxied)) {
      PyErr_Format(PyExc_TypeError, "wanted record %zu: 'proxied' must be a bool, not %.200s",
                   index, Py_TYPE(proxied)->tp_name);
      return false;
    }
    w.proxied = PyObject_IsTrue(proxied) == 1;
    if (*w.proxied && !is_proxiable_type(w.type)) {
      PyErr_Format(PyExc_ValueError,
                   "wanted record %zu: only A, AAAA and CNAME records can be proxied, not %s",
                   index, w.type.c_str());
      return false;
    }
  }
  if (PyObject* priority = PyDict_GetItemString(item, "priority");
      priority != nullptr && priority != Py_None) {
    PyRef number(PyNumber_Index(priority));
    if (!number) return false;
    const long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > kMaxMxPriority) {
      PyErr_Format(PyExc_OverflowError, "wanted record %zu: priority must be between 0 and %d",
                   index, kMaxMxPriority);
      return false;
    }
    w.priority = static_cast<int32_t>(value);
  }
  return true;
}

bool record_tags(PyObject* item, size_t index, SyncWanted& w) {
  PyObject* tags = PyDict_GetItemString(item, "tags");
  if (tags == nullptr || tags == Py_None) return true;
  if (!PyList_Check(tags) && !PyTuple_Check(tags)) {
    PyErr_Format(PyExc_TypeError, "wanted record %zu: 'tags' must be a list of str, not %.200s",
                 index, Py_TYPE(tags)->tp_name);
    return false;
  }
  w.tags.emplace();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(tags); ++i) {
    PyObject* tag = PySequence_Fast_GET_ITEM(tags, i);
    std::string text;
    if (!PyUnicode_Check(tag) || !utf8_of_str(tag, text)) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "wanted record %zu: tags must be str", index);
      }
      return false;
    }
    const size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos) {
      PyErr_Format(PyExc_ValueError, "wanted record %zu: tag '%s' is not name:value", index,
                   text.c_str());
      return false;
    }
    w.tags->push_back(std::move(text));
  }
  return true;
}

// Every wanted record, checked before any request. On error, set an
// exception and return false.
bool read_wanted(PyObject* wanted, std::vector<WantedInput>& out) {
  PyRef iterator(PyObject_GetIter(wanted));
  if (!iterator) return false;
  size_t index = 0;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!PyDict_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "wanted record %zu must be a dict, not %.200s", index,
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    std::optional<std::string> type, name, content, comment;
    std::optional<RecordData> data;
    if (!record_text(item.get(), "type", index, true, type) ||
        !read_wanted_data(item.get(), index, record_type_key(*type), data) ||
        !record_text(item.get(), "name", index, false, name) ||
        // With data, the content is the service's to make.
        (!data && !record_text(item.get(), "content", index, true, content)) ||
        !record_text(item.get(), "comment", index, false, comment)) {
      return false;
    }
    if (!name) {
      PyErr_Format(PyExc_ValueError, "wanted record %zu has no 'name'", index);
      return false;
    }
    if (comment && comment->find_first_of("\r\n") != std::string::npos) {
      PyErr_Format(PyExc_ValueError, "wanted record %zu: a comment may not hold a line break",
                   index);
      return false;
    }
    WantedInput input;
    input.record.type = record_type_key(*type);
    input.record.content = data ? data_content(input.record.type, *data) : std::move(*content);
    input.record.data = std::move(data);
    input.record.comment = std::move(comment);
    input.given_name = std::move(*name);
    if (!record_numbers(item.get(), index, input.record) ||
        !record_tags(item.get(), index, input.record)) {
      return false;
    }
    out.push_back(std::move(input));
    ++index;
  }
  return !PyErr_Occurred();
}

// ----- the zone ----------------------------------------------------------------

struct SyncZone {
  std::string id;
  ZoneFacts facts;
  // zone_id= and the domain were both given: the zone's details (its plan)
  // are read only when the plan needs them, more writes than the smallest
  // batch takes or a comment longer than the smallest limit.
  bool details_pending = false;
};

// The zone's details; nothing known when they cannot be read (a token
// restricted to DNS may not read them). False only on an interrupt.
bool read_zone_details(const ApiContext& context, const std::string& zone_id, ZoneFacts& facts) {
  const std::string path = zone_path(zone_id);
  const HttpResult answer = cloudflare_request(context, "GET", &path, nullptr);
  if (answer.interrupted) return false;
  if (answer.status >= 200 && answer.status <= 299) facts = read_zone_facts(answer.body, "");
  if (facts.plan == ZonePlan::kUnknown) {
    trace("sync: the zone's plan is not known (%d): batches of %zu\n", answer.status,
          batch_limit_of(ZonePlan::kUnknown));
  }
  return true;
}

// The zone a sync acts on: zone_id= (no look-up), else the domain (looked
// up unless selected), else the selected zone; its name and plan from the
// look-up's answer or the zone's details. On error, set an exception and
// return false.
bool settle_sync_zone(CloudflareObject* object, const ApiContext& context, const SyncCall& call,
                      SyncZone& zone) {
  if (zone_id_given(call.zone_id)) {
    if (!read_call_zone_id(object, call.zone_id, zone.id)) return false;
    if (call.domain != nullptr && *call.domain != '\0') {
      zone.facts.name = call.domain;
      zone.details_pending = true;
    } else if (!read_zone_details(context, zone.id, zone.facts)) {
      return false;
    }
  } else if (call.domain != nullptr) {
    std::string selected;
    if (object->zone != nullptr && !utf8_of_str(object->zone, selected)) return false;
    if (object->zone_id != nullptr && selected == call.domain) {
      if (!utf8_of_str(object->zone_id, zone.id) ||
          !read_zone_details(context, zone.id, zone.facts)) {
        return false;
      }
    } else {
      PyRef response = lookup_zone(object, context, call.domain);
      if (!response) {
        raise_domain_not_found(call.domain);
        return false;
      }
      std::string body;
      if (!utf8_of_str(PyTuple_GET_ITEM(response.get(), 1), body) ||
          !utf8_of_str(object->zone_id, zone.id)) {
        return false;
      }
      zone.facts = read_zone_facts(body, call.domain);
    }
  } else {
    if (!read_zone_id(object, zone.id) || !read_zone_details(context, zone.id, zone.facts)) {
      return false;
    }
    if (!zone.facts.name && object->zone != nullptr) {
      std::string selected;
      if (!utf8_of_str(object->zone, selected)) return false;
      if (!selected.empty()) zone.facts.name = std::move(selected);
    }
  }
  if (!zone.facts.name && call.domain != nullptr && *call.domain != '\0') {
    zone.facts.name = call.domain;
  }
  return true;
}

// Reads the zone's details when they were left for later (see SyncZone)
// and `needed`. On error (an interrupt; details naming another zone than the
// domain given), set an exception and return false.
bool settle_pending_details(const ApiContext& context, SyncZone& zone, bool needed) {
  if (!zone.details_pending || !needed) return true;
  zone.details_pending = false;
  ZoneFacts read;
  if (!read_zone_details(context, zone.id, read)) return false;
  if (read.name && !same_dns_name(*read.name, *zone.facts.name)) {
    PyErr_Format(PyExc_ValueError, "zone_id %s is the zone %s, not %s", zone.id.c_str(),
                 read.name->c_str(), zone.facts.name->c_str());
    return false;
  }
  zone.facts.plan = read.plan;
  return true;
}

// A name of a wanted record or of the scope, in full (see
// resolve_record_name). On error (outside the zone; relative while the
// zone's name is not known), set ValueError and return false.
bool full_name(const std::string& given, const std::optional<std::string>& zone, std::string& out) {
  ResolvedName resolved = resolve_record_name(given, zone.value_or(std::string()));
  switch (resolved.status) {
    case NameResolution::kResolved:
      out = std::move(resolved.name);
      return true;
    case NameResolution::kOutsideZone:
      PyErr_SetString(PyExc_ValueError, resolved.error.c_str());
      return false;
    case NameResolution::kZoneUnknown:
      break;
  }
  PyErr_Format(PyExc_ValueError,
               "the zone's name is not known (its details could not be read), so '%s' cannot be "
               "resolved: give the domain as well as zone_id=, or full names",
               given.c_str());
  return false;
}

// ----- the scope -----------------------------------------------------------------

// An iterable of str as texts. On error, set an exception and return false.
bool texts_of(PyObject* given, const char* what, std::vector<std::string>& out) {
  if (PyUnicode_Check(given)) {
    PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not a str", what);
    return false;
  }
  PyRef iterator(PyObject_GetIter(given));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s must hold str, not %.200s", what,
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    if (!utf8_of_str(item.get(), out.emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

// The parts of the scope that need no request. On error, set an exception
// and return false.
bool read_scope_filters(const SyncCall& call, SyncScope& scope) {
  if (call.types != nullptr && call.types != Py_None) {
    scope.types.emplace();
    if (!texts_of(call.types, "types", *scope.types)) return false;
    for (std::string& type : *scope.types) type = record_type_key(type);
  }
  if (call.owner != nullptr && call.owner != Py_None) {
    std::string owner;
    if (!PyUnicode_Check(call.owner) || !utf8_of_str(call.owner, owner)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "owner must be str or None");
      return false;
    }
    if (owner.empty() || owner.find_first_of(" \t\r\n") != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "owner must be a word: not empty, without blanks");
      return false;
    }
    scope.owner_marker = "owner=" + owner;
  }
  if (call.owned_only != nullptr && call.owned_only != Py_None) {
    std::string pattern;
    if (!PyUnicode_Check(call.owned_only) || !utf8_of_str(call.owned_only, pattern)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "owned_only must be str or None");
      return false;
    }
    try {
      scope.owned_only.emplace(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& error) {
      PyErr_Format(PyExc_ValueError, "owned_only is not a regular expression: %s", error.what());
      return false;
    }
  }
  return true;
}

// scope="zone" or names (resolved against the zone). On error, set an
// exception and return false.
bool read_scope_names(const SyncCall& call, const std::optional<std::string>& zone,
                      SyncScope& scope) {
  if (call.scope == nullptr || call.scope == Py_None) return true;
  if (PyUnicode_Check(call.scope)) {
    if (PyUnicode_CompareWithASCIIString(call.scope, "zone") == 0) return true;
    PyErr_SetString(PyExc_ValueError, "scope must be \"zone\" or an iterable of names");
    return false;
  }
  std::vector<std::string> given;
  if (!texts_of(call.scope, "scope", given)) return false;
  scope.names.emplace();
  for (const std::string& name : given) {
    std::string full;
    if (!full_name(name, zone, full)) return false;
    scope.names->push_back(dns_name_key(full));
  }
  return true;
}

// Characters of UTF-8 text.
size_t characters(std::string_view text) {
  size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// Names resolved, the owner's marker added, and what the service would
// refuse for certain refused here: comments too long for the plan, a CNAME
// beside an address, one record wanted twice with different fields. On
// error, set ValueError and return false.
bool settle_wanted(std::vector<WantedInput>& inputs, const SyncZone& zone, const SyncScope& scope,
                   std::vector<SyncWanted>& out) {
  const size_t comment_limit = comment_limit_of(zone.facts.plan);
  std::map<std::string, std::vector<size_t>> by_name;
  for (size_t i = 0; i < inputs.size(); ++i) {
    SyncWanted& w = inputs[i].record;
    if (!full_name(inputs[i].given_name, zone.facts.name, w.name)) return false;
    if (scope.owner_marker && w.comment && !comment_carries(*w.comment, *scope.owner_marker)) {
      w.comment = w.comment->empty() ? *scope.owner_marker : *w.comment + " " + *scope.owner_marker;
    }
    const std::string_view comment = w.comment            ? std::string_view(*w.comment)
                                     : scope.owner_marker ? std::string_view(*scope.owner_marker)
                                                          : std::string_view();
    if (characters(comment) > comment_limit) {
      PyErr_Format(PyExc_ValueError,
                   "wanted record %zu: its comment (with the owner's marker) is longer than the "
                   "%zu characters the zone's plan allows",
                   i, comment_limit);
      return false;
    }
    by_name[dns_name_key(w.name)].push_back(i);
  }
  std::vector<bool> dropped(inputs.size(), false);
  for (const auto& [key, indexes] : by_name) {
    size_t cnames = 0, addresses = 0;
    for (size_t i : indexes) {
      const std::string& type = inputs[i].record.type;
      cnames += type == "CNAME";
      addresses += type == "A" || type == "AAAA";
    }
    if (cnames > 1 || (cnames == 1 && addresses > 0)) {
      PyErr_Format(PyExc_ValueError,
                   "wanted records of %s: a CNAME shares its name with no A, AAAA or other CNAME",
                   key.c_str());
      return false;
    }
    for (size_t a = 0; a < indexes.size(); ++a) {
      for (size_t b = a + 1; b < indexes.size(); ++b) {
        const SyncWanted& x = inputs[indexes[a]].record;
        const SyncWanted& y = inputs[indexes[b]].record;
        if (dropped[indexes[b]] || x.type != y.type || !same_wanted_record(x, y)) {
          continue;
        }
        if (x.ttl != y.ttl || x.proxied != y.proxied || x.priority != y.priority ||
            x.comment != y.comment || x.tags != y.tags) {
          PyErr_Format(PyExc_ValueError,
                       "wanted records %zu and %zu are the same record (%s %s %s) with other "
                       "fields",
                       indexes[a], indexes[b], x.type.c_str(), key.c_str(), x.content.c_str());
          return false;
        }
        dropped[indexes[b]] = true;  // the same record twice is one
      }
    }
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!dropped[i]) out.push_back(std::move(inputs[i].record));
  }
  return true;
}

// ----- the listing -------------------------------------------------------------

// Every record of the zone, 5,000 a page, each once. On error, set an
// exception and return false.
bool read_zone_listing(const ApiContext& context, const std::string& zone_id,
                       std::vector<ListedRecord>& records) {
  std::unordered_set<std::string> seen;
  return read_every_page(context, records_path(zone_id) + "?per_page=5000", kMaxRecordPages,
                         Permission::kDnsRead, "zone's records",
                         [&](const HttpResult& answer, PyObject* response) {
                           std::optional<Listing> parsed = parse_listing(answer.body);
                           if (!parsed) {
                             raise_for_response(response, response_masked_body(response));
                             return false;
                           }
                           for (ListedRecord& record : parsed->records) {
                             if (seen.insert(record.id).second)
                               records.push_back(std::move(record));
                           }
                           return true;
                         });
}

// ----- the plan's dicts ----------------------------------------------------------

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text_or_none(const std::optional<std::string>& text) {
  return text ? str_from_utf8(*text) : Py_NewRef(Py_None);
}

PyObject* tags_list(const std::vector<std::string>& tags) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& tag : tags) {
    PyRef text(str_from_utf8(tag));
    if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* priority_or_none(const std::optional<int32_t>& priority) {
  return priority ? PyLong_FromLong(*priority) : Py_NewRef(Py_None);
}

// The record a write leaves (or removes), as the dict shows it.
struct ShownRecord {
  std::string type, name, content;
  uint32_t ttl = kDefaultTtl;
  bool proxied = false;
  std::optional<int32_t> priority;
  std::optional<std::string> comment;
  std::vector<std::string> tags;
  std::optional<RecordData> data;
};

ShownRecord shown_wanted(const SyncWanted& w, const std::optional<std::string>& comment) {
  ShownRecord r;
  r.type = w.type;
  r.name = w.name;
  r.content = w.content;
  r.ttl = w.ttl.value_or(kDefaultTtl);
  r.proxied = is_proxiable_type(w.type) && w.proxied.value_or(false);
  if (has_priority_field(w.type)) r.priority = w.priority.value_or(kDefaultPriority);
  r.comment = comment;
  r.tags = w.tags.value_or(std::vector<std::string>());
  r.data = w.data;
  return r;
}

ShownRecord shown_listed(const ListedRecord& l) {
  ShownRecord r;
  r.type = l.type;
  r.name = l.name;
  r.content = l.content;
  r.ttl = l.ttl;
  r.proxied = l.proxied;
  if (has_priority_field(record_type_key(l.type))) r.priority = l.priority;
  r.comment = l.comment;
  r.tags = l.tags;
  r.data = l.data;
  return r;
}

// changes[field] = {"old": old, "new": new}, taking both over.
bool add_change(PyObject* changes, const char* field, PyObject* old_value, PyObject* new_value) {
  PyRef old_ref(old_value), new_ref(new_value);
  if (!old_ref || !new_ref) return false;
  PyRef change(PyDict_New());
  return change && PyDict_SetItemString(change.get(), "old", old_ref.get()) == 0 &&
         PyDict_SetItemString(change.get(), "new", new_ref.get()) == 0 &&
         PyDict_SetItemString(changes, field, change.get()) == 0;
}

// An update's shown record: the listed one with the wanted values of the
// fields that differ, each old and new value in `changes`.
bool apply_update(const SyncWrite& write, ShownRecord& r, PyObject* changes) {
  const SyncWanted& w = *write.wanted;
  const unsigned f = write.fields;
  if ((f & kSyncContent) &&
      !add_change(changes, "content", str_from_utf8(r.content), str_from_utf8(w.content))) {
    return false;
  }
  if (f & kSyncContent) r.content = w.content;
  if ((f & kSyncData) &&
      !add_change(changes, "data", r.data ? record_data_dict(*r.data) : Py_NewRef(Py_None),
                  record_data_dict(*w.data))) {
    return false;
  }
  if (f & kSyncData) {
    r.content = w.content;
    r.data = w.data;
  }
  if ((f & kSyncTtl) && !add_change(changes, "ttl", PyLong_FromUnsignedLong(r.ttl),
                                    PyLong_FromUnsignedLong(*w.ttl))) {
    return false;
  }
  if (f & kSyncTtl) r.ttl = *w.ttl;
  if ((f & kSyncProxied) &&
      !add_change(changes, "proxied", PyBool_FromLong(r.proxied), PyBool_FromLong(*w.proxied))) {
    return false;
  }
  if (f & kSyncProxied) r.proxied = *w.proxied;
  if ((f & kSyncPriority) && !add_change(changes, "priority", priority_or_none(r.priority),
                                         PyLong_FromLong(*w.priority))) {
    return false;
  }
  if (f & kSyncPriority) r.priority = w.priority;
  if ((f & kSyncComment) &&
      !add_change(changes, "comment", text_or_none(r.comment), str_from_utf8(*w.comment))) {
    return false;
  }
  if (f & kSyncComment) r.comment = w.comment;
  if ((f & kSyncTags) && !add_change(changes, "tags", tags_list(r.tags), tags_list(*w.tags))) {
    return false;
  }
  if (f & kSyncTags) r.tags = *w.tags;
  return true;
}

// One write (or skip) as a SyncWrite dict. On error, set an exception and
// return nullptr.
PyObject* sync_write_dict(const SyncWrite& write, const std::optional<std::string>& owner_marker) {
  static const char* kActions[] = {"create", "update", "delete", "skip"};
  PyRef changes(PyDict_New());
  if (!changes) return nullptr;
  ShownRecord r;
  switch (write.action) {
    case SyncAction::kCreate:
      r = shown_wanted(*write.wanted, write.wanted->comment ? write.wanted->comment : owner_marker);
      break;
    case SyncAction::kSkip:
      r = shown_wanted(*write.wanted, write.wanted->comment);
      break;
    case SyncAction::kDelete:
      r = shown_listed(*write.listed);
      break;
    case SyncAction::kUpdate:
      r = shown_listed(*write.listed);
      if (!apply_update(write, r, changes.get())) return nullptr;
      break;
  }
  const bool has_id = write.action == SyncAction::kUpdate || write.action == SyncAction::kDelete;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (!set_item(d, "action", PyUnicode_FromString(kActions[static_cast<int>(write.action)])) ||
      !set_item(d, "id", has_id ? str_from_utf8(write.listed->id) : Py_NewRef(Py_None)) ||
      !set_item(d, "type", str_from_utf8(r.type)) || !set_item(d, "name", str_from_utf8(r.name)) ||
      !set_item(d, "content", str_from_utf8(r.content)) ||
      !set_item(d, "ttl", PyLong_FromUnsignedLong(r.ttl)) ||
      !set_item(d, "proxied", PyBool_FromLong(r.proxied)) ||
      !set_item(d, "priority", priority_or_none(r.priority)) ||
      !set_item(d, "comment", text_or_none(r.comment)) || !set_item(d, "tags", tags_list(r.tags)) ||
      !set_item(d, "changes", changes.release())) {
    return nullptr;
  }
  if (r.data && !set_item(d, "data", record_data_dict(*r.data))) return nullptr;
  if (write.action == SyncAction::kSkip && !set_item(d, "reason", str_from_utf8(write.reason))) {
    return nullptr;
  }
  return dict.release();
}

bool append_dicts(PyObject* list, const std::vector<const SyncWrite*>& writes,
                  const std::optional<std::string>& owner_marker) {
  for (const SyncWrite* write : writes) {
    PyRef item(sync_write_dict(*write, owner_marker));
    if (!item || PyList_Append(list, item.get()) < 0) return false;
  }
  return true;
}

// ----- the call ------------------------------------------------------------------

// What both methods settle before planning.
struct SyncSetting {
  ApiContext context;
  SyncZone zone;
  SyncScope scope;
  std::vector<SyncWanted> wanted;
};

// On error, set an exception and return false.
bool settle_sync(PyObject* self, const SyncCall& call, SyncSetting& setting) {
  auto* object = reinterpret_cast<CloudflareObject*>(self);
  std::vector<WantedInput> inputs;
  if (!read_wanted(call.wanted, inputs) || !read_scope_filters(call, setting.scope)) return false;
  if (call.domain == nullptr && !zone_id_given(call.zone_id) && object->zone_id == nullptr) {
    raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  if (!read_api_context(object, setting.context) ||
      !settle_sync_zone(object, setting.context, call, setting.zone)) {
    return false;
  }
  setting.scope.zone_name = setting.zone.facts.name.value_or(std::string());
  const size_t marker = setting.scope.owner_marker ? setting.scope.owner_marker->size() : 0;
  size_t longest_comment = marker;
  for (const WantedInput& input : inputs) {
    const std::optional<std::string>& comment = input.record.comment;
    if (comment) longest_comment = std::max(longest_comment, comment->size() + marker + 1);
  }
  return settle_pending_details(setting.context, setting.zone,
                                longest_comment > comment_limit_of(ZonePlan::kFree)) &&
         read_scope_names(call, setting.zone.facts.name, setting.scope) &&
         settle_wanted(inputs, setting.zone, setting.scope, setting.wanted);
}

// The plan of one round; refused past the threshold unless forced. On
// error, set an exception and return false.
bool plan_round(SyncSetting& setting, const SyncCall& call, bool force,
                std::vector<ListedRecord>& listing, SyncPlan& plan) {
  if (!read_zone_listing(setting.context, setting.zone.id, listing)) return false;
  if (setting.zone.details_pending) {
    // The domain given with zone_id= is taken as the zone's name: the
    // zone's own records must agree.
    for (const ListedRecord& record : listing) {
      if (resolve_record_name(record.name + ".", *setting.zone.facts.name).status ==
          NameResolution::kOutsideZone) {
        PyErr_Format(PyExc_ValueError, "zone_id %s holds %s, which is not in %s",
                     setting.zone.id.c_str(), record.name.c_str(),
                     setting.zone.facts.name->c_str());
        return false;
      }
    }
  }
  plan = plan_sync(setting.wanted, listing, setting.scope);
  if (!settle_pending_details(setting.context, setting.zone,
                              plan.writes.size() > batch_limit_of(ZonePlan::kFree))) {
    return false;
  }
  trace("sync plan: %zu creates, %zu updates, %zu deletes, %zu skipped; %zu records in scope\n",
        plan.writes.size() - plan.updates - plan.deletes, plan.updates, plan.deletes,
        plan.skipped.size(), plan.existing);
  const double allowed = call.threshold * static_cast<double>(plan.existing);
  if (!force && plan.existing >= kThresholdFloor &&
      (static_cast<double>(plan.updates) > allowed ||
       static_cast<double>(plan.deletes) > allowed)) {
    raise_unsafe_sync(plan.updates, plan.deletes, plan.existing, call.threshold);
    return false;
  }
  return true;
}

// Raises what ended the writes, with what was applied before it and the
// refused record. Leaves an interrupt's exception as it is.
void raise_sync_failure(const SyncOutcome& outcome, const SyncSetting& setting, PyObject* applied) {
  const HttpResult& failure = *outcome.failure;
  if (failure.interrupted || PyErr_Occurred()) return;
  PyRef response(api_response(failure, setting.context, Permission::kDnsEdit));
  if (!response) return;
  PyRef message(response_message(response.get()));
  if (!message) return;
  const std::optional<std::string>& marker = setting.scope.owner_marker;
  PyRef refused(PyList_New(0));
  if (!refused || !append_dicts(refused.get(), outcome.refused, marker)) return;
  if (!outcome.refused.empty()) {
    // The record the service refused: a create or update when a name's
    // writes went together (its deletes are seldom what is refused).
    const SyncWrite* named = outcome.refused.front();
    for (const SyncWrite* w : outcome.refused) {
      if (w->action != SyncAction::kDelete) {
        named = w;
        break;
      }
    }
    const SyncWanted* w = named->wanted;
    const ListedRecord* l = named->listed;
    message = PyRef(PyUnicode_FromFormat(
        "The service refused %s %s %s %s: %U",
        named->action == SyncAction::kCreate   ? "create"
        : named->action == SyncAction::kUpdate ? "update"
                                               : "delete",
        w ? w->type.c_str() : l->type.c_str(), w ? w->name.c_str() : l->name.c_str(),
        w ? w->content.c_str() : l->content.c_str(), message.get()));
    if (!message) return;
  } else if (outcome.unavailable) {
    message = PyRef(PyUnicode_FromFormat(
        "The batch endpoint is not available (a sync needs it and the permission "
        "#dns_records:batch): %U",
        message.get()));
    if (!message) return;
  }
  raise_for_response(response.get(), message.get());
  PyObject* error = PyErr_GetRaisedException();
  PyObject* record =
      PyList_GET_SIZE(refused.get()) > 0 ? PyList_GET_ITEM(refused.get(), 0) : Py_None;
  if (!outcome.refused.empty()) {
    for (size_t i = 0; i < outcome.refused.size(); ++i) {
      if (outcome.refused[i]->action != SyncAction::kDelete) {
        record = PyList_GET_ITEM(refused.get(), static_cast<Py_ssize_t>(i));
        break;
      }
    }
  }
  if (PyObject_SetAttrString(error, "record", record) < 0 ||
      PyObject_SetAttrString(error, "records", refused.get()) < 0 ||
      PyObject_SetAttrString(error, "applied", applied) < 0) {
    Py_DECREF(error);
    return;
  }
  PyErr_SetRaisedException(error);  // steals 'error'
}

}  // namespace

PyObject* Cloudflare_dns_sync_plan(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    SyncCall call;
    if (!parse_sync_call(args, kwargs, "O|z$OOOOOpd:dns_sync_plan", call)) return nullptr;
    SyncSetting setting;
    if (!settle_sync(self, call, setting)) return nullptr;
    std::vector<ListedRecord> listing;
    SyncPlan plan;
    if (!plan_round(setting, call, call.force != 0, listing, plan)) return nullptr;
    PyRef writes(PyList_New(0));
    if (!writes) return nullptr;
    const size_t limit = batch_limit_of(setting.zone.facts.plan);
    std::vector<const SyncWrite*> skipped;
    for (const SyncWrite& w : plan.skipped) skipped.push_back(&w);
    if (!append_dicts(writes.get(), send_order(plan, limit), setting.scope.owner_marker) ||
        !append_dicts(writes.get(), skipped, setting.scope.owner_marker)) {
      return nullptr;
    }
    return writes.release();
  });
}

PyObject* Cloudflare_dns_sync(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const unsigned long first_attempt = attempts_sent_by_thread();
    SyncCall call;
    if (!parse_sync_call(args, kwargs, "O|z$OOOOOpd:dns_sync", call)) return nullptr;
    SyncSetting setting;
    if (!settle_sync(self, call, setting)) return nullptr;
    PyRef applied(PyList_New(0));
    PyRef skipped(PyList_New(0));
    if (!applied || !skipped) return nullptr;
    size_t batches = 0;
    size_t limit = 0;  // the plan's, once known
    // A batch whose answer was lost or 5xx may have been applied all the
    // same: it is never sent again blindly. The zone is listed again and
    // planned anew (the threshold was passed already).
    for (int round = 0;; ++round) {
      std::vector<ListedRecord> listing;
      SyncPlan plan;
      if (!plan_round(setting, call, call.force != 0 || round > 0, listing, plan)) return nullptr;
      if (round == 0) {
        std::vector<const SyncWrite*> skips;
        for (const SyncWrite& w : plan.skipped) skips.push_back(&w);
        if (!append_dicts(skipped.get(), skips, setting.scope.owner_marker)) return nullptr;
      }
      if (plan.writes.empty()) break;
      if (limit == 0) limit = batch_limit_of(setting.zone.facts.plan);
      const SyncOutcome outcome =
          carry_out_sync(plan, setting.context, setting.zone.id, limit, setting.scope.owner_marker);
      batches += outcome.batches;
      limit = outcome.limit;
      if (!append_dicts(applied.get(), outcome.applied, setting.scope.owner_marker)) return nullptr;
      if (!outcome.failure) break;
      if (outcome.outcome_unknown && round < setting.context.settings.retries) {
        trace("sync: batch outcome unknown (%d): listing again %d/%d\n", outcome.failure->status,
              round + 1, setting.context.settings.retries);
        continue;
      }
      raise_sync_failure(outcome, setting, applied.get());
      return nullptr;
    }
    PyRef result(PyDict_New());
    if (!result || !set_item(result.get(), "writes", applied.release()) ||
        !set_item(result.get(), "skipped", skipped.release()) ||
        !set_item(result.get(), "requests",
                  PyLong_FromUnsignedLong(attempts_sent_by_thread() - first_attempt)) ||
        !set_item(result.get(), "batches", PyLong_FromSize_t(batches))) {
      return nullptr;
    }
    return result.release();
  });
}

}  // namespace nuv
