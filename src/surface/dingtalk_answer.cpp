// Reading the robot's answers: its JSON shape and the hints for its refusals.
#include <json-c/json.h>

#include <initializer_list>

#include "common/json_tree.h"
#include "surface/dingtalk_reply.h"

namespace nuv {

namespace {

constexpr long long kSecurityRefused = 310000;

// The errmsg texts of a 310000 seen from the service, old wording and new.
bool mentions_any(std::string_view errmsg, std::initializer_list<std::string_view> needles) {
  for (std::string_view needle : needles) {
    if (errmsg.find(needle) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

ServiceAnswer parse_service_answer(std::string_view text) {
  ServiceAnswer answer;
  // json-c reads up to the first zero byte; the robot's answers hold none.
  const std::string terminated(text);
  JsonTree root(json_tokener_parse(terminated.c_str()));
  if (!root || !json_object_is_type(root.get(), json_type_object)) return answer;
  json_object* member = nullptr;
  if (json_object_object_get_ex(root.get(), "errcode", &member) &&
      json_object_is_type(member, json_type_int)) {
    answer.errcode = json_object_get_int64(member);
  }
  if (json_object_object_get_ex(root.get(), "errmsg", &member) &&
      json_object_is_type(member, json_type_string)) {
    answer.errmsg.emplace(json_object_get_string(member),
                          static_cast<size_t>(json_object_get_string_len(member)));
  }
  return answer;
}

std::string dingtalk_hint(std::optional<long long> errcode, std::string_view errmsg) {
  if (!errcode) return {};
  switch (*errcode) {
    case kSecurityRefused:
      if (mentions_any(errmsg, {"sign not match", "签名不匹配"})) {
        return "the signature does not match: give the robot's whole secret (the \"SEC...\" "
               "value of its signing setting) with no stray whitespace, and check this machine's "
               "clock";
      }
      if (mentions_any(errmsg, {"invalid timestamp", "时间戳"})) {
        return "this machine's clock is more than an hour off: set it right (NTP)";
      }
      if (mentions_any(errmsg, {"keywords not in content", "关键词"})) {
        return "the robot wants one of its keywords in every message: give it as "
               "DingTalk(..., keyword=\"...\") and it is added to messages that lack it";
      }
      return "the robot's security settings (keywords, signature, IP allow-list) refused the "
             "message";
    case 300001:
    case 300005:
    case 400101:
      return "the access token is wrong: give the value after \"access_token=\" in the robot's "
             "webhook URL, or that whole URL";
    case 410100:
    case 130101:
      return "rate limit: a robot takes at most 20 messages a minute, and after a breach it is "
             "blocked for 10 minutes";
    case 400102:
      return "the robot is disabled: ask the group's administrator to enable it";
    case 400106:
    case 400013:
      return "the robot or its group is gone: create a robot in a group that exists";
    case 400105:
      return "the service does not know this message type";
    case 430101:
    case 430102:
    case 430103:
    case 430104:
      return "the service refused the message's content (links, text or images)";
    default:
      return {};
  }
}

}  // namespace nuv
