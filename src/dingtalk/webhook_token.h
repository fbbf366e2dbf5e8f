// The robot's access token as users hold it: the bare token, or the whole
// webhook URL the group's robot settings show. Plain C++ of plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuv {

// The access token to sign with. A text starting with "http://" or
// "https://" (any letter case) must be the robot's webhook URL,
// http(s)://oapi.dingtalk.com/robot/send?...access_token=T..., and gives T
// percent-decoded (other query parameters, such as a stale timestamp and
// sign, are ignored); nullopt when it is not such a URL. Any other text is the
// token itself.
std::optional<std::string> robot_access_token(std::string_view token);

// The ValueError text for a token robot_access_token refuses; the value
// itself, a credential, is never part of it.
inline constexpr char kNotWebhookUrl[] =
    "token starts like a URL but is not a robot webhook URL "
    "(https://oapi.dingtalk.com/robot/send?access_token=...)";

}  // namespace nuv
