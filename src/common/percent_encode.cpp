#include "common/percent_encode.h"

namespace nuv {

namespace {

bool is_unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string encode_except(std::string_view raw, bool (*kept)(unsigned char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size() * 3);
  for (char ch : raw) {
    auto c = static_cast<unsigned char>(ch);
    if (kept(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

bool is_unreserved_but_dot(unsigned char c) { return c != '.' && is_unreserved(c); }

}  // namespace

std::string percent_encode(std::string_view raw) { return encode_except(raw, is_unreserved); }

std::string percent_encode_segment(std::string_view raw) {
  return encode_except(raw, is_unreserved_but_dot);
}

}  // namespace nuv
