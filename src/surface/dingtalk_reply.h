// What a DingTalk send answers: nuv.DingTalkReply, a str holding the text a
// send has always returned (the service's answer, or the transport's error
// text) with the answer's parts as attributes, and nuv.DingTalkError, raised
// by DingTalkReply.raise_for_errcode() with a hint on what to do.
#pragma once

#include "common/python_compat.h"

#include <optional>
#include <string>
#include <string_view>

namespace nuv {

// errcode and errmsg of the service's JSON answer {"errcode": int,
// "errmsg": str}; each empty when the text is not such an object or the
// member is missing or of another type. Pure; may throw std::bad_alloc.
struct ServiceAnswer {
  std::optional<long long> errcode;
  std::optional<std::string> errmsg;
};
ServiceAnswer parse_service_answer(std::string_view text);

// What to do about a refusal, or "" when there is nothing to add: the
// security failures of 310000 told apart by their errmsg, wrong tokens, the
// rate limit and the other documented codes. Pure.
std::string dingtalk_hint(std::optional<long long> errcode, std::string_view errmsg);

// How the exchange ended, as the transport reports it: an HTTP status when an
// answer came, a libcurl result code when the transfer failed, neither when
// no transfer could be set up.
struct Exchange {
  std::optional<long> http_status;
  std::optional<long> curl_code;
};

// A new DingTalkReply of `text` (UTF-8, decoded strictly). On error, set an
// exception and return nullptr.
PyObject* new_dingtalk_reply(const std::string& text, Exchange exchange);

// nuv.DingTalkReply and nuv.DingTalkError; ready_dingtalk_reply_types readies
// both (DingTalkError's base, Exception, is only known at run time). On
// error, set an exception and return -1.
extern PyTypeObject DingTalkReplyType;
extern PyTypeObject DingTalkErrorType;
int ready_dingtalk_reply_types();

}  // namespace nuv
