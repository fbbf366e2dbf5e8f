#include "surface/dingtalk_reply.h"

#include <cstddef>
#include <new>
#include <utility>

#include "common/guard.h"
#include "common/py_ref.h"

namespace nuv {

namespace {

// A str (the legacy, non-compact layout CPython gives every str subclass)
// followed by the answer's parts, each an int, a str or None; none of them
// can reach back to the reply, so the type needs no GC support.
struct DingTalkReplyObject {
  PyUnicodeObject text;
  PyObject* errcode;
  PyObject* errmsg;
  PyObject* http_status;
  PyObject* curl_code;
};

struct DingTalkErrorObject {
  PyBaseExceptionObject exception;
  PyObject* errcode;
  PyObject* errmsg;
  PyObject* http_status;
  PyObject* hint;
};

DingTalkReplyObject* as_reply(PyObject* self) {
  return reinterpret_cast<DingTalkReplyObject*>(self);
}

DingTalkErrorObject* as_error(PyObject* self) {
  return reinterpret_cast<DingTalkErrorObject*>(self);
}

PyTypeObject* exception_base() { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

// None or a new int. On error, set an exception and return nullptr.
template <class Integer>
PyObject* int_or_none(const std::optional<Integer>& value) {
  if (!value) return Py_NewRef(Py_None);
  return PyLong_FromLongLong(static_cast<long long>(*value));
}

bool is_success_status(PyObject* http_status) {
  if (!PyLong_Check(http_status)) return false;
  const long status = PyLong_AsLong(http_status);
  if (status == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return status >= 200 && status <= 299;
}

// The reply of `text` (a str) for `type`, its parts read from the text.
// On error, set an exception and return nullptr.
PyObject* make_reply(PyTypeObject* type, PyObject* text, PyObject* http_status,
                     PyObject* curl_code) {
  PyRef args(PyTuple_Pack(1, text));
  if (!args) return nullptr;
  // str's own constructor lays a subclass instance out and copies the text.
  PyRef self(PyUnicode_Type.tp_new(type, args.get(), nullptr));
  if (!self) return nullptr;
  DingTalkReplyObject* reply = as_reply(self.get());
  reply->http_status = Py_NewRef(http_status);
  reply->curl_code = Py_NewRef(curl_code);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return nullptr;
  const ServiceAnswer answer = parse_service_answer(std::string_view(utf8, size));
  reply->errcode = int_or_none(answer.errcode);
  if (reply->errcode == nullptr) return nullptr;
  // json-c lets an escaped lone surrogate through as bytes that are not UTF-8.
  reply->errmsg = answer.errmsg ? PyUnicode_DecodeUTF8(
                                      answer.errmsg->data(),
                                      static_cast<Py_ssize_t>(answer.errmsg->size()), "replace")
                                : Py_NewRef(Py_None);
  if (reply->errmsg == nullptr) return nullptr;
  return self.release();
}

bool is_int_or_none(PyObject* value, const char* name) {
  if (value == Py_None || PyLong_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be int or None, not %.200s", name,
               Py_TYPE(value)->tp_name);
  return false;
}

PyObject* DingTalkReply_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"text", "http_status", "curl_code", nullptr};
    PyObject* text = nullptr;
    PyObject* http_status = Py_None;
    PyObject* curl_code = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OO:DingTalkReply",
                                     const_cast<char**>(keywords), &text, &http_status,
                                     &curl_code)) {
      return nullptr;
    }
    if (!is_int_or_none(http_status, "http_status") || !is_int_or_none(curl_code, "curl_code")) {
      return nullptr;
    }
    return make_reply(type, text, http_status, curl_code);
  });
}

void DingTalkReply_dealloc(PyObject* self) {
  DingTalkReplyObject* reply = as_reply(self);
  Py_CLEAR(reply->errcode);
  Py_CLEAR(reply->errmsg);
  Py_CLEAR(reply->http_status);
  Py_CLEAR(reply->curl_code);
  PyUnicode_Type.tp_dealloc(self);  // frees the text, then the object
}

PyObject* DingTalkReply_ok(PyObject* self, void* /*closure*/) {
  DingTalkReplyObject* reply = as_reply(self);
  const bool ok = is_success_status(reply->http_status) && PyLong_Check(reply->errcode) &&
                  PyLong_AsLong(reply->errcode) == 0 && !PyErr_Occurred();
  PyErr_Clear();  // an errcode beyond a long is not 0
  return PyBool_FromLong(ok);
}

// The one-line message of the error a reply raises (the hint is a note, as
// for the Cloudflare errors). On error, set an exception and return nullptr.
PyObject* error_message(PyObject* self) {
  DingTalkReplyObject* reply = as_reply(self);
  PyRef message;
  if (reply->errcode != Py_None) {
    message.reset(
        PyUnicode_FromFormat("DingTalk answered errcode %S: %S", reply->errcode, reply->errmsg));
    if (message && !is_success_status(reply->http_status) && reply->http_status != Py_None) {
      message.reset(PyUnicode_FromFormat("%U (HTTP %S)", message.get(), reply->http_status));
    }
  } else if (reply->http_status != Py_None) {
    message.reset(
        PyUnicode_FromFormat("DingTalk answered HTTP %S without an errcode", reply->http_status));
  } else if (reply->curl_code != Py_None) {
    message.reset(PyUnicode_FromFormat("the request to DingTalk failed: %U (libcurl code %S)", self,
                                       reply->curl_code));
  } else {
    message.reset(PyUnicode_FromFormat("the request to DingTalk failed: %U", self));
  }
  return message.release();
}

PyObject* DingTalkReply_raise_for_errcode(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    PyRef ok(DingTalkReply_ok(self, nullptr));
    if (!ok) return nullptr;
    if (ok.get() == Py_True) Py_RETURN_NONE;
    DingTalkReplyObject* reply = as_reply(self);
    std::optional<long long> errcode;
    if (reply->errcode != Py_None) {
      errcode = PyLong_AsLongLong(reply->errcode);
      if (PyErr_Occurred()) return nullptr;
    }
    std::string errmsg;
    if (PyUnicode_Check(reply->errmsg)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(reply->errmsg, &size);
      if (utf8 == nullptr) return nullptr;
      errmsg.assign(utf8, static_cast<size_t>(size));
    }
    const std::string hint_text = dingtalk_hint(errcode, errmsg);
    PyRef hint(hint_text.empty()
                   ? Py_NewRef(Py_None)
                   : PyUnicode_DecodeUTF8(hint_text.data(),
                                          static_cast<Py_ssize_t>(hint_text.size()), "strict"));
    if (!hint) return nullptr;
    PyRef message(error_message(self));
    if (!message) return nullptr;
    PyRef args(PyTuple_Pack(1, message.get()));
    if (!args) return nullptr;
    PyRef fields(Py_BuildValue("{sOsOsOsO}", "errcode", reply->errcode, "errmsg", reply->errmsg,
                               "http_status", reply->http_status, "hint", hint.get()));
    if (!fields) return nullptr;
    PyRef error(
        PyObject_Call(reinterpret_cast<PyObject*>(&DingTalkErrorType), args.get(), fields.get()));
    if (!error) return nullptr;
    // Tracebacks show notes; str(error) stays the service's answer.
    if (hint.get() != Py_None) {
      PyRef noted(PyObject_CallMethod(error.get(), "add_note", "O", hint.get()));
      if (!noted) return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(&DingTalkErrorType), error.get());
    return nullptr;
  });
}

// Pickles and copies rebuild the reply from its text and how it ended.
PyObject* DingTalkReply_reduce(PyObject* self, PyObject* /*unused*/) {
  PyRef text(PyUnicode_FromObject(self));  // a plain str of the same text
  if (!text) return nullptr;
  DingTalkReplyObject* reply = as_reply(self);
  return Py_BuildValue("O(OOO)", Py_TYPE(self), text.get(), reply->http_status, reply->curl_code);
}

PyDoc_STRVAR(DingTalkReply_raise_for_errcode_doc,
             "raise_for_errcode($self, /)\n--\n\n"
             "Return None when the reply is ok; otherwise raise DingTalkError with the\n"
             "errcode, errmsg, HTTP status and a hint on what to do.");

PyMethodDef DingTalkReply_methods[] = {
    {"raise_for_errcode", DingTalkReply_raise_for_errcode, METH_NOARGS,
     DingTalkReply_raise_for_errcode_doc},
    {"__reduce__", DingTalkReply_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef DingTalkReply_members[] = {
    {"errcode", Py_T_OBJECT_EX, offsetof(DingTalkReplyObject, errcode), Py_READONLY,
     "The answer's errcode (0 for success), or None when the text is not the service's JSON."},
    {"errmsg", Py_T_OBJECT_EX, offsetof(DingTalkReplyObject, errmsg), Py_READONLY,
     "The answer's errmsg, or None when it has none."},
    {"http_status", Py_T_OBJECT_EX, offsetof(DingTalkReplyObject, http_status), Py_READONLY,
     "The HTTP status, or None when no answer came."},
    {"curl_code", Py_T_OBJECT_EX, offsetof(DingTalkReplyObject, curl_code), Py_READONLY,
     "libcurl's result code when the transfer failed (the text is then its description), "
     "else None."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef DingTalkReply_getset[] = {
    {"ok", DingTalkReply_ok, nullptr, "True when the answer is HTTP 2xx with errcode 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(DingTalkReply_doc,
             "DingTalkReply(text, http_status=None, curl_code=None)\n--\n\n"
             "What a DingTalk send returns: the str it has always returned (the\n"
             "service's answer, or the transport's error text) with the answer's\n"
             "parts as attributes. errcode and errmsg are read from the text.");

// ----- DingTalkError ----------------------------------------------------------

int DingTalkError_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded(-1, [&]() -> int {
    // BaseException keeps the positional arguments as `args` (str() shows
    // the first) and refuses keywords, which are ours.
    if (exception_base()->tp_init(self, args, nullptr) < 0) return -1;
    static const char* keywords[] = {"errcode", "errmsg", "http_status", "hint", nullptr};
    PyObject* values[] = {Py_None, Py_None, Py_None, Py_None};
    PyRef no_args(PyTuple_New(0));
    if (!no_args) return -1;
    if (!PyArg_ParseTupleAndKeywords(no_args.get(), kwargs, "|$OOOO:DingTalkError",
                                     const_cast<char**>(keywords), &values[0], &values[1],
                                     &values[2], &values[3])) {
      return -1;
    }
    DingTalkErrorObject* error = as_error(self);
    replace_field(error->errcode, Py_NewRef(values[0]));
    replace_field(error->errmsg, Py_NewRef(values[1]));
    replace_field(error->http_status, Py_NewRef(values[2]));
    replace_field(error->hint, Py_NewRef(values[3]));
    return 0;
  });
}

int DingTalkError_traverse(PyObject* self, visitproc visit, void* arg) {
  DingTalkErrorObject* error = as_error(self);
  Py_VISIT(error->errcode);
  Py_VISIT(error->errmsg);
  Py_VISIT(error->http_status);
  Py_VISIT(error->hint);
  return exception_base()->tp_traverse(self, visit, arg);
}

int DingTalkError_clear(PyObject* self) {
  DingTalkErrorObject* error = as_error(self);
  Py_CLEAR(error->errcode);
  Py_CLEAR(error->errmsg);
  Py_CLEAR(error->http_status);
  Py_CLEAR(error->hint);
  return exception_base()->tp_clear(self);
}

void DingTalkError_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  DingTalkError_clear(self);
  exception_base()->tp_dealloc(self);  // releases the rest and frees the object
}

// Pickles and copies rebuild the error from its message and then set the
// service's parts with the rest of its state (notes included): an
// exception's own reduction knows only `args` and `__dict__`.
PyObject* DingTalkError_reduce(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    PyRef args(PyObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    PyRef dict(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) return nullptr;
    PyRef state(PyDict_Copy(dict.get()));
    if (!state) return nullptr;
    DingTalkErrorObject* error = as_error(self);
    const std::pair<const char*, PyObject*> parts[] = {{"errcode", error->errcode},
                                                       {"errmsg", error->errmsg},
                                                       {"http_status", error->http_status},
                                                       {"hint", error->hint}};
    for (const auto& [name, value] : parts) {
      // A part deleted by the program stays deleted.
      if (value != nullptr && PyDict_SetItemString(state.get(), name, value) < 0) return nullptr;
    }
    return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
  });
}

PyMethodDef DingTalkError_methods[] = {
    {"__reduce__", DingTalkError_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef DingTalkError_members[] = {
    {"errcode", Py_T_OBJECT_EX, offsetof(DingTalkErrorObject, errcode), 0,
     "The service's errcode, or None when it gave none."},
    {"errmsg", Py_T_OBJECT_EX, offsetof(DingTalkErrorObject, errmsg), 0,
     "The service's errmsg, or None."},
    {"http_status", Py_T_OBJECT_EX, offsetof(DingTalkErrorObject, http_status), 0,
     "The HTTP status, or None when no answer came."},
    {"hint", Py_T_OBJECT_EX, offsetof(DingTalkErrorObject, hint), 0,
     "What to do about it, or None when there is nothing to add."},
    {nullptr, 0, 0, 0, nullptr},
};

PyDoc_STRVAR(DingTalkError_doc,
             "DingTalkError(message, *, errcode=None, errmsg=None, http_status=None, hint=None)\n"
             "--\n\n"
             "A DingTalk send that did not succeed, raised by\n"
             "DingTalkReply.raise_for_errcode().");

}  // namespace

PyObject* new_dingtalk_reply(const std::string& text, Exchange exchange) {
  PyRef str(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!str) return nullptr;
  PyRef http_status(int_or_none(exchange.http_status));
  if (!http_status) return nullptr;
  PyRef curl_code(int_or_none(exchange.curl_code));
  if (!curl_code) return nullptr;
  return make_reply(&DingTalkReplyType, str.get(), http_status.get(), curl_code.get());
}

int ready_dingtalk_reply_types() {
  DingTalkErrorType.tp_base = exception_base();
  if (PyType_Ready(&DingTalkReplyType) < 0) return -1;
  return PyType_Ready(&DingTalkErrorType);
}

// Slots left out of the designated initialisers stay zero and are inherited
// from the base by PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject DingTalkReplyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.DingTalkReply",
    .tp_basicsize = sizeof(DingTalkReplyObject),
    .tp_itemsize = 0,
    .tp_dealloc = DingTalkReply_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_UNICODE_SUBCLASS,
    .tp_doc = DingTalkReply_doc,
    .tp_methods = DingTalkReply_methods,
    .tp_members = DingTalkReply_members,
    .tp_getset = DingTalkReply_getset,
    .tp_base = &PyUnicode_Type,
    .tp_new = DingTalkReply_new,
};

PyTypeObject DingTalkErrorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.DingTalkError",
    .tp_basicsize = sizeof(DingTalkErrorObject),
    .tp_itemsize = 0,
    .tp_dealloc = DingTalkError_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = DingTalkError_doc,
    .tp_traverse = DingTalkError_traverse,
    .tp_clear = DingTalkError_clear,
    .tp_methods = DingTalkError_methods,
    .tp_members = DingTalkError_members,
    .tp_init = DingTalkError_init,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace nuv
