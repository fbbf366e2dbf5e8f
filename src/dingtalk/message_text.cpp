#include "dingtalk/message_text.h"

#include <algorithm>

namespace nuv {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_name_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
}

bool starts_with_ascii_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// "@" and `name` somewhere in `text` with no continuing character after it.
template <class Continues>
bool mentions(std::string_view text, std::string_view name, Continues continues) {
  std::string mention(1, '@');
  mention += name;
  for (size_t at = text.find(mention); at != std::string_view::npos;
       at = text.find(mention, at + 1)) {
    const size_t after = at + mention.size();
    if (after == text.size() || !continues(text[after])) return true;
  }
  return false;
}

void add_missing(std::vector<std::string>& missing, const std::string& name, bool mentioned) {
  if (mentioned) return;
  if (std::find(missing.begin(), missing.end(), name) != missing.end()) return;
  missing.push_back(name);
}

}  // namespace

std::string mention_line(const Mentions& mentions) {
  std::string line;
  auto add = [&line](std::string_view name) {
    line += '@';
    line += name;
    line += ' ';
  };
  for (const std::string& mobile : mentions.mobiles) add(mobile);
  for (const std::string& user_id : mentions.user_ids) add(user_id);
  if (mentions.all) add("all");
  return line;
}

bool mentions_mobile(std::string_view text, std::string_view mobile) {
  return mentions(text, mobile, is_digit);
}

bool mentions_name(std::string_view text, std::string_view name) {
  return mentions(text, name, is_name_char);
}

std::string mention_text(std::string_view text, const Mentions& mentions) {
  std::vector<std::string> missing;
  for (const std::string& mobile : mentions.mobiles) {
    add_missing(missing, mobile, mentions_mobile(text, mobile));
  }
  for (const std::string& user_id : mentions.user_ids) {
    add_missing(missing, user_id, mentions_name(text, user_id));
  }
  if (mentions.all) add_missing(missing, "all", mentions_name(text, "all"));
  std::string sent(text);
  if (missing.empty()) return sent;
  sent += "\n\n";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) sent += ' ';
    sent += '@';
    sent += missing[i];
  }
  return sent;
}

bool holds_keyword(const std::vector<std::string_view>& texts, std::string_view keyword) {
  return std::any_of(texts.begin(), texts.end(), [keyword](std::string_view text) {
    return text.find(keyword) != std::string_view::npos;
  });
}

std::string with_keyword(std::string_view text, std::string_view keyword,
                         std::string_view separator) {
  std::string sent(text);
  if (!sent.empty()) sent += separator;
  sent += keyword;
  return sent;
}

bool is_web_url(std::string_view url) {
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (starts_with_ascii_nocase(url, scheme)) return url.size() > scheme.size();
  }
  return false;
}

}  // namespace nuv
