// Entry point of the _nuv extension: readies the types and publishes them
// with the trace setters, and reads NUV_TRACE. Nothing else runs at import.
#include "common/python_compat.h"

#include "common/py_ref.h"
#include "dingtalk/dingtalk_type.h"
#include "module/address_function.h"
#include "module/cloudflare_type.h"
#include "module/ping_function.h"
#include "module/testing_hooks.h"
#include "module/trace_setting.h"
#include "module/version_info.h"
#include "surface/address_errors.h"
#include "surface/api_response.h"
#include "surface/dingtalk_reply.h"
#include "surface/errors.h"
#include "surface/keep.h"
#include "surface/ping_error.h"

namespace {

PyModuleDef nuv_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_nuv",
    .m_doc =
        "The native half of nuv: the Cloudflare and DingTalk clients, ApiResponse and the\n"
        "CloudflareError family (import them from nuv, which re-exports them).",
    .m_size = -1,
    .m_methods = nuv::kTraceSettingMethods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__nuv() {
  if (PyType_Ready(&nuv::CloudflareType) < 0) return nullptr;
  if (PyType_Ready(&nuv::DingTalkType) < 0) return nullptr;
  if (PyType_Ready(&nuv::ApiResponseType) < 0) return nullptr;
  if (nuv::ready_dingtalk_reply_types() < 0) return nullptr;
  nuv::PyRef module(PyModule_Create(&nuv_module));
  if (!module) return nullptr;
  if (!nuv::apply_trace_environment()) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Cloudflare",
                            reinterpret_cast<PyObject*>(&nuv::CloudflareType)) < 0 ||
      PyModule_AddObjectRef(module.get(), "DingTalk",
                            reinterpret_cast<PyObject*>(&nuv::DingTalkType)) < 0 ||
      PyModule_AddObjectRef(module.get(), "ApiResponse",
                            reinterpret_cast<PyObject*>(&nuv::ApiResponseType)) < 0 ||
      PyModule_AddObjectRef(module.get(), "DingTalkReply",
                            reinterpret_cast<PyObject*>(&nuv::DingTalkReplyType)) < 0 ||
      PyModule_AddObjectRef(module.get(), "DingTalkError",
                            reinterpret_cast<PyObject*>(&nuv::DingTalkErrorType)) < 0 ||
      !nuv::add_error_types(module.get()) || !nuv::add_keep(module.get()) ||
      !nuv::add_address_error_types(module.get()) ||
      PyModule_AddFunctions(module.get(), nuv::kAddressLookupMethods) < 0 ||
      !nuv::add_ping_error_type(module.get()) ||
      PyModule_AddFunctions(module.get(), nuv::kPingMethods) < 0 ||
      PyModule_AddFunctions(module.get(), nuv::kTestingHooks) < 0 ||
      PyModule_AddFunctions(module.get(), nuv::kVersionMethods) < 0 ||
      !nuv::add_version(module.get())) {
    return nullptr;
  }
  return module.release();
}
