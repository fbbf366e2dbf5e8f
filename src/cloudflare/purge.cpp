#include "cloudflare/purge.h"

#include <json-c/json.h>

#include "cloudflare/methods.h"
#include "cloudflare/request.h"
#include "common/guard.h"
#include "common/json_build.h"
#include "common/py_ref.h"
#include "common/text.h"

namespace nuv {

std::string build_purge_body(const PurgeTargets& targets) {
  JsonTree body = json_new_object();
  auto names = [&](const char* key) {
    JsonTree list = json_new_array();
    for (const std::string& name : targets.names) json_add_item(list, json_new_string(name));
    json_add_member(body, key, std::move(list));
  };
  switch (targets.kind) {
    case PurgeTargets::Kind::kEverything:
      json_add_member(body, "purge_everything", json_new_bool(true));
      break;
    case PurgeTargets::Kind::kFiles: {
      JsonTree list = json_new_array();
      for (const PurgeFile& file : targets.files) {
        if (!file.with_headers) {
          json_add_item(list, json_new_string(file.url));
          continue;
        }
        JsonTree entry = json_new_object();
        json_add_member(entry, "url", json_new_string(file.url));
        JsonTree headers = json_new_object();
        for (const auto& [name, value] : file.headers) {
          json_add_member(headers, name.c_str(), json_new_string(value));
        }
        json_add_member(entry, "headers", std::move(headers));
        json_add_item(list, std::move(entry));
      }
      json_add_member(body, "files", std::move(list));
      break;
    }
    case PurgeTargets::Kind::kTags:
      names("tags");
      break;
    case PurgeTargets::Kind::kHosts:
      names("hosts");
      break;
    case PurgeTargets::Kind::kPrefixes:
      names("prefixes");
      break;
  }
  return json_text(body, JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_PRETTY);
}

namespace {

// A str without NUL (it becomes JSON text, which must not end early in the
// service's parser either). On error, set an exception and return false.
bool read_text(PyObject* value, const char* what, std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(value)->tp_name);
    return false;
  }
  if (!utf8_of_str(value, out)) return false;
  if (out.find('\0') == std::string::npos) return true;
  PyErr_Format(PyExc_ValueError, "%s must not contain NUL characters", what);
  return false;
}

// A list or tuple (a lone str would be read letter by letter). On error,
// set an exception and return nullptr; else a new reference to a list.
PyObject* read_sequence(PyObject* value, const char* keyword) {
  if (!PyList_Check(value) && !PyTuple_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list or tuple, not %.200s", keyword,
                 Py_TYPE(value)->tp_name);
    return nullptr;
  }
  return PySequence_List(value);  // a copy: no item can change under the loop
}

// A file: a URL, or a dict {"url": str, "headers": {str: str}}.
bool read_file(PyObject* item, PurgeFile& file) {
  if (!PyDict_Check(item)) return read_text(item, "a file to purge", file.url);
  PyObject* url = PyDict_GetItemString(item, "url");  // borrowed
  if (url == nullptr) {
    PyErr_SetString(PyExc_TypeError, "a file given as a dict needs a \"url\"");
    return false;
  }
  if (!read_text(url, "a file's url", file.url)) return false;
  PyObject* headers = PyDict_GetItemString(item, "headers");
  if (headers == nullptr) return true;
  if (!PyDict_Check(headers)) {
    PyErr_Format(PyExc_TypeError, "a file's headers must be a dict, not %.200s",
                 Py_TYPE(headers)->tp_name);
    return false;
  }
  file.with_headers = true;
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(headers, &position, &name, &value)) {
    std::pair<std::string, std::string> header;
    if (!read_text(name, "a header name", header.first) ||
        !read_text(value, "a header value", header.second)) {
      return false;
    }
    file.headers.push_back(std::move(header));
  }
  return true;
}

// On error, set an exception and return false.
bool read_targets(PyObject* files, PyObject* tags, PyObject* hosts, PyObject* prefixes,
                  PurgeTargets& targets) {
  using Kind = PurgeTargets::Kind;
  struct Given {
    PyObject* value;
    Kind kind;
    const char* keyword;
  };
  const Given all[] = {{files, Kind::kFiles, "files"},
                       {tags, Kind::kTags, "tags"},
                       {hosts, Kind::kHosts, "hosts"},
                       {prefixes, Kind::kPrefixes, "prefixes"}};
  const Given* chosen = nullptr;
  for (const Given& given : all) {
    if (given.value == nullptr || given.value == Py_None) continue;
    if (chosen != nullptr) {
      PyErr_Format(PyExc_ValueError,
                   "purge_cache takes one of files, tags, hosts and prefixes per call (the "
                   "service purges one kind per request), not both %s and %s",
                   chosen->keyword, given.keyword);
      return false;
    }
    chosen = &given;
  }
  if (chosen == nullptr) return true;
  targets.kind = chosen->kind;
  PyRef items(read_sequence(chosen->value, chosen->keyword));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (chosen->kind == Kind::kFiles) {
      PurgeFile file;
      if (!read_file(item, file)) return false;
      targets.files.push_back(std::move(file));
    } else {
      std::string name;
      if (!read_text(item, chosen->keyword, name)) return false;
      targets.names.push_back(std::move(name));
    }
  }
  return true;
}

}  // namespace

// Positional arguments are accepted and ignored, as they always were;
// keywords name what to purge (an unknown one raises TypeError).
PyObject* Cloudflare_purge_cache(PyObject* self, PyObject* /*args*/, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"files", "tags", "hosts", "prefixes", "zone_id", nullptr};
    PyObject* files = nullptr;
    PyObject* tags = nullptr;
    PyObject* hosts = nullptr;
    PyObject* prefixes = nullptr;
    PyObject* zone_id = nullptr;
    PyRef no_positional(PyTuple_New(0));
    if (!no_positional ||
        !PyArg_ParseTupleAndKeywords(no_positional.get(), kwargs, "|$OOOOO:purge_cache",
                                     const_cast<char**>(keywords), &files, &tags, &hosts, &prefixes,
                                     &zone_id)) {
      return nullptr;
    }
    PurgeTargets targets;
    if (!read_targets(files, tags, hosts, prefixes, targets)) return nullptr;
    return zone_request(self, zone_id, "POST", "/purge_cache", build_purge_body(targets),
                        Permission::kCachePurge);
  });
}

}  // namespace nuv
