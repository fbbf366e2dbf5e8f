// Signed webhook URLs of a DingTalk custom robot: the access token, a
// millisecond timestamp and Base64(HMAC-SHA256) of that timestamp keyed with
// the robot's secret. Plain C++ of plain values; no Python object is touched.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nuv {

inline constexpr char DINGTALK_WEBHOOK_BASE[] =
    "https://oapi.dingtalk.com/robot/send?access_token=";

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks) through
// an OpenSSL Base64 filter BIO. nullopt when a BIO cannot be created or
// written, or an allocation fails.
std::optional<std::string> base64_encode(const unsigned char* bytes, size_t length);

// Base64(HMAC-SHA256(key = secret, message = timestamp "\n" secret)), the
// signature the service recomputes; not yet percent-encoded. nullopt when
// Base64 encoding fails.
std::optional<std::string> dingtalk_signature(std::string_view secret, long long timestamp_ms);

// base, token, "&timestamp=", timestamp, "&sign=", signature. Token and
// signature are percent-encoded here, so a token holding "&" or a blank
// cannot add or rewrite query parameters.
std::string dingtalk_webhook_url(std::string_view token, long long timestamp_ms,
                                 std::string_view signature_base64);

// A freshly signed URL for now (whole seconds, in milliseconds), tracing
// "Timestamp:", "Output (base64):" and "Encoded:" (the signature masked). nullopt means no URL (a
// BIO or an allocation failed): the send gives up without posting.
std::optional<std::string> dingtalk_sign_url(std::string_view secret,
                                             std::string_view token) noexcept;

}  // namespace nuv
