#include "surface/redact.h"

#include "common/mask_secret.h"

namespace nuv {

namespace {

constexpr size_t kShortestMaskedToken = 8;

// Characters that API tokens are made of: an occurrence of the token next to
// one of these is part of another word, not the token.
bool is_token_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
}

// Replaces every occurrence of `secret` that stands alone by `masked`.
std::string replace_whole(std::string_view text, std::string_view secret, std::string_view masked) {
  std::string out;
  size_t copied = 0;
  size_t pos = 0;
  while ((pos = text.find(secret, pos)) != std::string_view::npos) {
    const size_t end = pos + secret.size();
    const bool alone =
        (pos == 0 || !is_token_character(text[pos - 1]) || !is_token_character(secret.front())) &&
        (end == text.size() || !is_token_character(text[end]) ||
         !is_token_character(secret.back()));
    if (alone) {
      out.append(text, copied, pos - copied);
      out += masked;
      copied = end;
      pos = end;
    } else {
      ++pos;
    }
  }
  if (copied == 0) return std::string(text);
  out.append(text, copied, std::string_view::npos);
  return out;
}

// "Bearer <value>" ("earer " as given by `tail`: "Bearer" and "BEARER",
// each with either first letter), the value running up to a blank, a
// quote, a comma, a semicolon or a control character: what an error page
// shows of an Authorization header, whatever the token was.
std::string mask_bearer_values(std::string_view text, std::string_view tail) {
  std::string out;
  size_t copied = 0;
  size_t pos = 0;
  // Searching the tail with find keeps a long body a single fast scan.
  while ((pos = text.find(tail, pos + 1)) != std::string_view::npos) {
    if (text[pos - 1] != 'b' && text[pos - 1] != 'B') continue;
    const size_t start = pos + tail.size();
    size_t end = start;
    while (end < text.size()) {
      const auto c = static_cast<unsigned char>(text[end]);
      if (c <= ' ' || c == '"' || c == '\'' || c == ',' || c == ';' || c == '\\' || c == '<' ||
          c == 0x7f) {
        break;
      }
      ++end;
    }
    // Empty, or masked already (the token itself was replaced first).
    if (end == start || text.substr(start, end - start).starts_with("***")) continue;
    out.append(text, copied, start - copied);
    out += mask_secret(text.substr(start, end - start));
    copied = end;
    pos = end - 1;
  }
  if (copied == 0) return std::string(text);
  out.append(text, copied, std::string_view::npos);
  return out;
}

}  // namespace

std::string redact(std::string_view text, const Secrets& secrets) {
  std::string out(text);
  // A token shorter than this is no real credential (Cloudflare tokens have
  // 40 characters), and masking it would mangle words such as "Couldn't".
  if (secrets.token.size() >= kShortestMaskedToken) {
    out = replace_whole(out, secrets.token, mask_secret(secrets.token));
  }
  if (!secrets.proxy.empty()) {
    const std::string masked_proxy = mask_proxy(secrets.proxy);
    if (masked_proxy != secrets.proxy) out = replace_whole(out, secrets.proxy, masked_proxy);
  }
  return mask_bearer_values(mask_bearer_values(out, "earer "), "EARER ");
}

}  // namespace nuv
