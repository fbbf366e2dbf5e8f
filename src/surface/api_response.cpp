#include "surface/api_response.h"

#include <cstddef>
#include <string>

#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"

namespace nuv {

namespace {

// The slots after the two visible items. The object is allocated with
// kSlotCount items and then reports a size of 2, as structseq does, so
// everything tuple does (len, iteration, ==, hash, slicing) sees the two.
enum Slot : Py_ssize_t {
  kStatus = 0,
  kBody,
  kParsed,      // the parsed body once read; Py_NotImplemented: not JSON
  kMaskedBody,  // the body with credentials masked; null: the body itself
  kDetail,      // str, or null for ""
  kCaSource,    // str or null
  kRetryAfter,  // float or null
  kPermission,  // int (Permission) or null
  kSlotCount,
};
constexpr Py_ssize_t kVisibleItems = 2;
// How much of the body a repr shows.
constexpr Py_ssize_t kReprHeadLength = 80;

PyObject** slots(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                      offsetof(PyTupleObject, ob_item));
}
PyObject* slot(PyObject* self, Slot which) { return slots(self)[which]; }

// A new response whose slots hold `values` (each a new reference or null,
// taken over in every case). On error, set an exception and return nullptr.
PyObject* allocate(PyTypeObject* type, PyObject* const (&values)[kSlotCount]) {
  PyObject* self = reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyTupleObject, type, kSlotCount));
  if (self == nullptr) {
    for (PyObject* value : values) Py_XDECREF(value);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < kSlotCount; ++i) slots(self)[i] = values[i];  // owned by self now
  Py_SET_SIZE(self, kVisibleItems);
  PyObject_GC_Track(self);
  return self;
}

PyObject* str_of(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// The body masked, or null when masking changes nothing. On error, set an
// exception and return false.
bool masked_body_of(PyObject* body, const Secrets& secrets, PyRef& masked) {
  if (!PyUnicode_Check(body)) return true;
  std::string text;
  if (!utf8_of_str(body, text)) {
    PyErr_Clear();  // a lone surrogate from a script's own ApiResponse: shown as is
    return true;
  }
  std::string redacted = redact(text, secrets);
  if (redacted == text) return true;
  masked.reset(str_of(redacted));
  return static_cast<bool>(masked);
}

// The parsed body, borrowed, or nullptr when it is not JSON (no exception
// then). On error other than "not JSON", set an exception, return nullptr
// and set `failed`.
PyObject* parsed_body(PyObject* self, bool& failed) {
  failed = false;
  PyObject* cached = slot(self, kParsed);
  if (cached == Py_NotImplemented) return nullptr;
  if (cached != nullptr) return cached;
  PyRef json(PyImport_ImportModule("json"));
  PyRef parsed(json ? PyObject_CallMethod(json.get(), "loads", "O", slot(self, kBody)) : nullptr);
  if (!parsed) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      failed = true;
      return nullptr;
    }
    PyErr_Clear();
    slots(self)[kParsed] = Py_NewRef(Py_NotImplemented);
    return nullptr;
  }
  slots(self)[kParsed] = parsed.release();  // the response keeps it
  return slot(self, kParsed);
}

// The envelope (the parsed body when it is a JSON object), borrowed, or
// nullptr. On error, set an exception, return nullptr and set `failed`.
PyObject* envelope(PyObject* self, bool& failed) {
  PyObject* parsed = parsed_body(self, failed);
  return parsed != nullptr && PyDict_Check(parsed) ? parsed : nullptr;
}

// envelope[key], or `fallback()` when there is no envelope or no such member.
template <class Fallback>
PyObject* envelope_member(PyObject* self, const char* key, Fallback fallback) {
  bool failed = false;
  PyObject* members = envelope(self, failed);
  if (failed) return nullptr;
  if (members == nullptr) return fallback();
  PyObject* value = nullptr;
  const int found = PyDict_GetItemStringRef(members, key, &value);
  if (found < 0) return nullptr;
  if (found == 0) return fallback();
  return value;
}

PyObject* none() { return Py_NewRef(Py_None); }
PyObject* empty_list() { return PyList_New(0); }

// A list member of the envelope, [] when absent or not a list.
PyObject* envelope_list(PyObject* self, const char* key) {
  PyRef value(envelope_member(self, key, empty_list));
  if (!value) return nullptr;
  if (!PyList_Check(value.get())) return PyList_New(0);
  return value.release();
}

// ---- the Python-visible parts ----

PyObject* ApiResponse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"status", "body", "detail", nullptr};
    PyObject* status = nullptr;
    PyObject* body = nullptr;
    PyObject* detail = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU|U:ApiResponse", const_cast<char**>(keywords),
                                     &status, &body, &detail)) {
      return nullptr;
    }
    std::string detail_text;
    if (detail != nullptr && !utf8_of_str(detail, detail_text)) return nullptr;
    // The type cannot be subclassed, so `type` is ApiResponseType.
    (void)type;
    return new_api_response(status, body, Secrets{}, ResponseFacts{.detail = detail_text});
  });
}

void ApiResponse_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  for (Py_ssize_t i = 0; i < kSlotCount; ++i) Py_CLEAR(slots(self)[i]);
  Py_TYPE(self)->tp_free(self);
}

int ApiResponse_traverse(PyObject* self, visitproc visit, void* arg) {
  for (Py_ssize_t i = 0; i < kSlotCount; ++i) Py_VISIT(slots(self)[i]);
  return 0;
}

// Only the parsed body can hold a cycle (a script may store the response
// in it); the visible items stay, as a tuple's do.
int ApiResponse_clear(PyObject* self) {
  Py_CLEAR(slots(self)[kParsed]);
  return 0;
}

PyObject* ApiResponse_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyObject* masked = slot(self, kMaskedBody);
    PyObject* body = masked != nullptr ? masked : slot(self, kBody);
    PyRef head;
    if (PyUnicode_Check(body) && PyUnicode_GET_LENGTH(body) > kReprHeadLength) {
      PyRef cut(PyUnicode_Substring(body, 0, kReprHeadLength));
      if (cut) head.reset(PyUnicode_FromFormat("%U...", cut.get()));
    } else {
      head = PyRef::borrow(body);
    }
    if (!head) return nullptr;
    PyObject* detail = slot(self, kDetail);
    if (detail != nullptr) {
      return PyUnicode_FromFormat("ApiResponse(status=%R, body=%R, detail=%R)", slot(self, kStatus),
                                  head.get(), detail);
    }
    return PyUnicode_FromFormat("ApiResponse(status=%R, body=%R)", slot(self, kStatus), head.get());
  });
}

PyObject* ApiResponse_get_status(PyObject* self, void*) { return Py_NewRef(slot(self, kStatus)); }
PyObject* ApiResponse_get_body(PyObject* self, void*) { return Py_NewRef(slot(self, kBody)); }
PyObject* ApiResponse_get_ok(PyObject* self, void*) {
  const int ok = response_ok(self);
  return ok < 0 ? nullptr : PyBool_FromLong(ok);
}
PyObject* ApiResponse_get_result(PyObject* self, void*) {
  return guarded([&] { return envelope_member(self, "result", none); });
}
PyObject* ApiResponse_get_errors(PyObject* self, void*) {
  return guarded([&] { return envelope_list(self, "errors"); });
}
PyObject* ApiResponse_get_messages(PyObject* self, void*) {
  return guarded([&] { return envelope_list(self, "messages"); });
}
PyObject* ApiResponse_get_result_info(PyObject* self, void*) {
  return guarded([&] { return envelope_member(self, "result_info", none); });
}
PyObject* ApiResponse_get_detail(PyObject* self, void*) { return Py_NewRef(response_detail(self)); }

PyObject* ApiResponse_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    bool failed = false;
    PyObject* parsed = parsed_body(self, failed);
    if (parsed != nullptr) return Py_NewRef(parsed);
    if (failed) return nullptr;
    // Not JSON: parse again, so the caller gets json's own error.
    PyRef json(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    return PyObject_CallMethod(json.get(), "loads", "O", slot(self, kBody));
  });
}

PyObject* ApiResponse_raise_for_status(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const int ok = response_ok(self);
    if (ok < 0) return nullptr;
    if (ok) return Py_NewRef(self);
    raise_for_response(self, nullptr);
    return nullptr;
  });
}

PyObject* ApiResponse_reduce(PyObject* self, PyObject*) {
  PyObject* detail = slot(self, kDetail);
  if (detail != nullptr) {
    return Py_BuildValue("O(OOO)", Py_TYPE(self), slot(self, kStatus), slot(self, kBody), detail);
  }
  return Py_BuildValue("O(OO)", Py_TYPE(self), slot(self, kStatus), slot(self, kBody));
}

PyGetSetDef ApiResponse_getset[] = {
    {"status", ApiResponse_get_status, nullptr,
     "The first item: the HTTP status (int); libcurl's result code or -1 when no exchange took "
     "place; the text \"404\" when dns_ensured_record found nothing to remove.",
     nullptr},
    {"body", ApiResponse_get_body, nullptr,
     "The second item: the response text, or the error text of a transport failure.", nullptr},
    {"ok", ApiResponse_get_ok, nullptr,
     "True when the status is an int in 200..299 and, if the body is the service's JSON "
     "envelope, its \"success\" is true.",
     nullptr},
    {"result", ApiResponse_get_result, nullptr,
     "The envelope's \"result\" (parsed JSON), or None when absent.", nullptr},
    {"errors", ApiResponse_get_errors, nullptr,
     "The envelope's \"errors\": a list of {\"code\": int, \"message\": str}; [] when absent.",
     nullptr},
    {"messages", ApiResponse_get_messages, nullptr, "The envelope's \"messages\"; [] when absent.",
     nullptr},
    {"result_info", ApiResponse_get_result_info, nullptr,
     "The envelope's \"result_info\" (paging of a listing), or None when absent.", nullptr},
    {"detail", ApiResponse_get_detail, nullptr,
     "libcurl's detailed message of a transport failure (which certificate check failed, the "
     "proxy's answer, the host that could not be resolved), credentials masked; \"\" otherwise.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef ApiResponse_methods[] = {
    {"json", ApiResponse_json, METH_NOARGS,
     "json($self, /)\n--\n\n"
     "The body parsed as JSON (parsed once, then cached). ValueError when the body is not JSON."},
    {"raise_for_status", ApiResponse_raise_for_status, METH_NOARGS,
     "raise_for_status($self, /)\n--\n\n"
     "Return the response itself when it is ok; otherwise raise the matching CloudflareError "
     "subclass (AuthenticationError, NotFoundError, RateLimitedError, ConflictError, "
     "TransportError), with a hint on what to do as a note."},
    {"__reduce__", ApiResponse_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_api_response(PyObject* status, PyObject* body, const Secrets& secrets,
                           const ResponseFacts& facts) {
  PyRef masked;
  if (!masked_body_of(body, secrets, masked)) return nullptr;
  PyRef detail;
  if (!facts.detail.empty()) {
    detail.reset(str_of(redact(facts.detail, secrets)));
    if (!detail) return nullptr;
  }
  PyRef ca_source;
  if (!facts.ca_source.empty()) {
    ca_source.reset(str_of(facts.ca_source));
    if (!ca_source) return nullptr;
  }
  PyRef retry_after;
  if (facts.retry_after >= 0) {
    retry_after.reset(PyFloat_FromDouble(facts.retry_after));
    if (!retry_after) return nullptr;
  }
  PyRef permission;
  if (facts.permission != Permission::kNone) {
    permission.reset(PyLong_FromLong(static_cast<long>(facts.permission)));
    if (!permission) return nullptr;
  }
  return allocate(&ApiResponseType,
                  {Py_NewRef(status), Py_NewRef(body), nullptr, masked.release(), detail.release(),
                   ca_source.release(), retry_after.release(), permission.release()});
}

PyObject* response_status(PyObject* response) { return slot(response, kStatus); }

PyObject* response_masked_body(PyObject* response) {
  PyObject* masked = slot(response, kMaskedBody);
  return masked != nullptr ? masked : slot(response, kBody);
}

PyObject* response_detail(PyObject* response) {
  PyObject* detail = slot(response, kDetail);
  return detail != nullptr ? detail : Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
}

PyObject* response_ca_source(PyObject* response) { return slot(response, kCaSource); }
PyObject* response_retry_after(PyObject* response) { return slot(response, kRetryAfter); }

Permission response_permission(PyObject* response) {
  PyObject* value = slot(response, kPermission);
  return value != nullptr ? static_cast<Permission>(PyLong_AsLong(value)) : Permission::kNone;
}

PyObject* response_errors(PyObject* response) { return envelope_list(response, "errors"); }

int response_ok(PyObject* response) {
  PyObject* status = slot(response, kStatus);
  if (!PyLong_Check(status)) return 0;
  const long code = PyLong_AsLong(status);
  if (code == -1 && PyErr_Occurred()) {
    PyErr_Clear();  // far outside any HTTP status
    return 0;
  }
  if (code < 200 || code > 299) return 0;
  bool failed = false;
  PyObject* members = envelope(response, failed);
  if (failed) return -1;
  if (members == nullptr) return 1;
  PyObject* success = nullptr;
  const int found = PyDict_GetItemStringRef(members, "success", &success);
  if (found <= 0) return found;  // -1: error; 0: no envelope, the status decides
  PyRef owned(success);
  return PyObject_IsTrue(success);
}

// Slots left out of the designated initialiser stay zero; PyType_Ready
// inherits the tuple's sequence, hashing and comparison.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject ApiResponseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.ApiResponse",
    .tp_basicsize = static_cast<Py_ssize_t>(offsetof(PyTupleObject, ob_item)),
    .tp_itemsize = sizeof(PyObject*),
    .tp_dealloc = ApiResponse_dealloc,
    .tp_repr = ApiResponse_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "ApiResponse(status, body, detail='')\n--\n\n"
              "The (status, body) of a Cloudflare call: a tuple of exactly those two items "
              "(unpacking, indexing, == with a plain tuple, hashing and pickling work as for a "
              "tuple), which also reads the service's JSON envelope: ok, result, errors, "
              "messages, result_info, json(), raise_for_status(). detail holds libcurl's "
              "message when the request could not be made.",
    .tp_traverse = ApiResponse_traverse,
    .tp_clear = ApiResponse_clear,
    .tp_methods = ApiResponse_methods,
    .tp_getset = ApiResponse_getset,
    .tp_base = &PyTuple_Type,
    .tp_new = ApiResponse_new,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace nuv
