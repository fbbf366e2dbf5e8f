// Reading JSON in one pass without building a tree: the caller walks the
// text as it comes (objects member by member, arrays element by element),
// keeps the few values it needs and skips the rest. Everything is checked
// as it is read, skipped values included, so a text that is not JSON is
// refused like a tree parser would refuse it; the cost is linear in the
// text's length and nothing is allocated beyond the values kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nuv {

class JsonScanner {
 public:
  enum class Kind { kObject, kArray, kString, kNumber, kTrue, kFalse, kNull, kInvalid };

  explicit JsonScanner(std::string_view text) noexcept : text_(text) {}

  // The kind of the next value (whitespace skipped); kInvalid at the end
  // of the text or at a character no value starts with.
  Kind peek() noexcept;

  // Inside an object (after enter_object): reads the next member's key and
  // its ':' and returns true, or consumes the closing '}' and returns
  // false. `first` is the caller's flag for this object, true on entry.
  bool enter_object() noexcept;
  bool next_member(bool& first, std::string& key);
  // The same for arrays: true when an element follows.
  bool enter_array() noexcept;
  bool next_element(bool& first) noexcept;

  // The next value as a string (escapes decoded; a lone surrogate becomes
  // U+FFFD). False when it is not a string.
  bool read_string(std::string& out);
  // The next value as a number: integers exactly within 64 bits (clamped
  // beyond), the rest as a double. False when it is not a number.
  bool read_number(int64_t& integer, double& real, bool& is_integer) noexcept;
  // The next value read the way json-c reads a value as an integer or a
  // truth: numbers (doubles truncated, clamped to 64 bits), booleans as 1
  // or 0, a string by its leading integer (a truth: not empty), anything
  // else 0 (false). False only on a syntax error.
  bool read_integer(int64_t& out);
  bool read_truth(bool& out);
  // Consumes the next value whatever it is, checking it; `raw`, when given,
  // receives its text as written.
  bool skip_value() noexcept;
  bool skip_value(std::string_view& raw) noexcept;

  // No error so far.
  bool ok() const noexcept { return ok_; }
  // Only whitespace is left (and no error).
  bool at_end() noexcept;

  // Containers nest at most this deep; deeper text is refused.
  static constexpr int kMaxDepth = 64;

 private:
  void skip_space() noexcept;
  bool fail() noexcept {
    ok_ = false;
    return false;
  }
  bool expect(char c) noexcept;
  bool scan_string(std::string* out);
  bool scan_number(int64_t* integer, double* real, bool* is_integer) noexcept;
  bool scan_literal(std::string_view word) noexcept;
  bool skip_nested(int depth) noexcept;

  std::string_view text_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace nuv
