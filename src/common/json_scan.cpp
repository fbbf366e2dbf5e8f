#include "common/json_scan.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace nuv {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

void JsonScanner::skip_space() noexcept {
  while (at_ < text_.size()) {
    const char c = text_[at_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++at_;
  }
}

bool JsonScanner::at_end() noexcept {
  skip_space();
  return ok_ && at_ == text_.size();
}

JsonScanner::Kind JsonScanner::peek() noexcept {
  skip_space();
  if (!ok_ || at_ >= text_.size()) return Kind::kInvalid;
  switch (text_[at_]) {
    case '{':
      return Kind::kObject;
    case '[':
      return Kind::kArray;
    case '"':
      return Kind::kString;
    case 't':
      return Kind::kTrue;
    case 'f':
      return Kind::kFalse;
    case 'n':
      return Kind::kNull;
    default: {
      // NaN and the infinities are not JSON, but the service's peers
      // (json-c, Python's json) take them: so do we.
      const char c = text_[at_];
      return c == '-' || is_digit(c) || c == 'N' || c == 'I' ? Kind::kNumber : Kind::kInvalid;
    }
  }
}

bool JsonScanner::expect(char c) noexcept {
  skip_space();
  if (at_ < text_.size() && text_[at_] == c) {
    ++at_;
    return true;
  }
  return fail();
}

bool JsonScanner::enter_object() noexcept { return ok_ && expect('{'); }
bool JsonScanner::enter_array() noexcept { return ok_ && expect('['); }

bool JsonScanner::next_member(bool& first, std::string& key) {
  if (!ok_) return false;
  skip_space();
  if (at_ < text_.size() && text_[at_] == '}' && first) {
    ++at_;
    return false;
  }
  if (!first) {
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return false;
    }
    if (!expect(',')) return false;
    skip_space();
  }
  first = false;
  if (at_ >= text_.size() || text_[at_] != '"') return fail();
  key.clear();
  return scan_string(&key) && expect(':');
}

bool JsonScanner::next_element(bool& first) noexcept {
  if (!ok_) return false;
  skip_space();
  if (at_ < text_.size() && text_[at_] == ']') {
    ++at_;
    return false;
  }
  if (!first && !expect(',')) return false;
  first = false;
  return true;
}

bool JsonScanner::read_string(std::string& out) {
  if (peek() != Kind::kString) return false;
  out.clear();
  return scan_string(&out);
}

bool JsonScanner::read_number(int64_t& integer, double& real, bool& is_integer) noexcept {
  if (peek() != Kind::kNumber) return false;
  return scan_number(&integer, &real, &is_integer);
}

bool JsonScanner::skip_value() noexcept { return skip_nested(0); }

bool JsonScanner::skip_value(std::string_view& raw) noexcept {
  skip_space();
  const size_t start = at_;
  if (!skip_nested(0)) return false;
  raw = text_.substr(start, at_ - start);
  return true;
}

bool JsonScanner::read_integer(int64_t& out) {
  out = 0;
  switch (peek()) {
    case Kind::kNumber: {
      double real = 0;
      bool is_integer = false;
      if (!read_number(out, real, is_integer)) return false;
      if (is_integer) return true;
      if (std::isnan(real)) {
        out = 0;
      } else if (real >= 9.2e18) {
        out = INT64_MAX;
      } else if (real <= -9.2e18) {
        out = INT64_MIN;
      } else {
        out = static_cast<int64_t>(real);
      }
      return true;
    }
    case Kind::kTrue:
      out = 1;
      return skip_value();
    case Kind::kString: {
      std::string text;
      if (!read_string(text)) return false;
      out = std::strtoll(text.c_str(), nullptr, 10);
      return true;
    }
    default:
      return skip_value();
  }
}

bool JsonScanner::read_truth(bool& out) {
  out = false;
  switch (peek()) {
    case Kind::kTrue:
      out = true;
      return skip_value();
    case Kind::kNumber: {
      int64_t integer = 0;
      double real = 0;
      bool is_integer = false;
      if (!read_number(integer, real, is_integer)) return false;
      out = is_integer ? integer != 0 : real != 0;
      return true;
    }
    case Kind::kString: {
      std::string text;
      if (!read_string(text)) return false;
      out = !text.empty();
      return true;
    }
    default:
      return skip_value();
  }
}

// Reads a string starting at its opening quote; `out` (when given) receives
// the decoded text. Control characters must be escaped, as JSON says.
bool JsonScanner::scan_string(std::string* out) {
  ++at_;  // the opening quote
  size_t run = at_;
  auto flush = [&](size_t end) {
    if (out != nullptr) out->append(text_.data() + run, end - run);
  };
  while (at_ < text_.size()) {
    const char c = text_[at_];
    if (c == '"') {
      flush(at_);
      ++at_;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return fail();
    if (c != '\\') {
      ++at_;
      continue;
    }
    flush(at_);
    if (++at_ >= text_.size()) return fail();
    const char escape = text_[at_++];
    char plain = 0;
    switch (escape) {
      case '"':
      case '\\':
      case '/':
        plain = escape;
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        auto read_hex4 = [&](uint32_t& value) {
          if (at_ + 4 > text_.size()) return false;
          value = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(text_[at_ + i]);
            if (digit < 0) return false;
            value = value * 16 + static_cast<uint32_t>(digit);
          }
          at_ += 4;
          return true;
        };
        uint32_t code = 0;
        if (!read_hex4(code)) return fail();
        if (code >= 0xD800 && code <= 0xDBFF) {
          // A high surrogate: a low one must follow to make a character.
          uint32_t low = 0;
          const size_t saved = at_;
          if (at_ + 1 < text_.size() && text_[at_] == '\\' && text_[at_ + 1] == 'u' &&
              (at_ += 2, read_hex4(low)) && low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else {
            at_ = saved;
            code = kReplacement;
          }
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          code = kReplacement;
        }
        if (out != nullptr) append_utf8(*out, code);
        run = at_;
        continue;
      }
      default:
        return fail();
    }
    if (out != nullptr) *out += plain;
    run = at_;
  }
  return fail();
}

bool JsonScanner::scan_number(int64_t* integer, double* real, bool* is_integer) noexcept {
  const size_t start = at_;
  const bool negative = text_[at_] == '-';
  if (negative) ++at_;
  for (const std::string_view word : {std::string_view("NaN"), std::string_view("Infinity")}) {
    if (text_.substr(at_, word.size()) != word || (negative && word == "NaN")) continue;
    at_ += word.size();
    if (integer != nullptr) {
      *is_integer = false;
      *integer = 0;
      *real = word == "NaN" ? std::nan("") : negative ? -HUGE_VAL : HUGE_VAL;
    }
    return true;
  }
  if (at_ >= text_.size() || !is_digit(text_[at_])) return fail();
  if (text_[at_] == '0') {
    ++at_;
  } else {
    while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
  }
  bool whole = true;
  if (at_ < text_.size() && text_[at_] == '.') {
    whole = false;
    ++at_;
    if (at_ >= text_.size() || !is_digit(text_[at_])) return fail();
    while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
  }
  if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
    whole = false;
    ++at_;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
    if (at_ >= text_.size() || !is_digit(text_[at_])) return fail();
    while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
  }
  if (integer == nullptr) return true;
  // strtoll/strtod need a terminated copy; numbers are short.
  const std::string copy(text_.substr(start, at_ - start));
  *is_integer = whole;
  errno = 0;
  if (whole) {
    *integer = std::strtoll(copy.c_str(), nullptr, 10);  // clamps on overflow
    *real = static_cast<double>(*integer);
  } else {
    *real = std::strtod(copy.c_str(), nullptr);
    *integer = 0;
  }
  return true;
}

bool JsonScanner::scan_literal(std::string_view word) noexcept {
  if (text_.substr(at_, word.size()) != word) return fail();
  at_ += word.size();
  return true;
}

bool JsonScanner::skip_nested(int depth) noexcept {
  switch (peek()) {
    case Kind::kString:
      return scan_string(nullptr);
    case Kind::kNumber:
      return scan_number(nullptr, nullptr, nullptr);
    case Kind::kTrue:
      return scan_literal("true");
    case Kind::kFalse:
      return scan_literal("false");
    case Kind::kNull:
      return scan_literal("null");
    case Kind::kInvalid:
      return fail();
    case Kind::kObject:
    case Kind::kArray:
      break;
  }
  if (depth >= kMaxDepth) return fail();
  const bool object = text_[at_] == '{';
  ++at_;
  bool first = true;
  for (;;) {
    skip_space();
    if (at_ >= text_.size()) return fail();
    if (text_[at_] == (object ? '}' : ']')) {
      ++at_;
      return true;
    }
    if (!first && !expect(',')) return false;
    first = false;
    if (object) {
      skip_space();
      if (at_ >= text_.size() || text_[at_] != '"' || !scan_string(nullptr) || !expect(':')) {
        return fail();
      }
    }
    if (!skip_nested(depth + 1)) return false;
  }
}

}  // namespace nuv
