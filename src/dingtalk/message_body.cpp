#include "dingtalk/message_body.h"

#include <json-c/json.h>

#include <algorithm>

#include "common/json_build.h"

namespace nuv {

std::string build_text_body(std::string_view content) {
  JsonTree text = json_new_object();
  json_add_member(text, "content", json_new_string(content));
  JsonTree root = json_new_object();
  json_add_member(root, "msgtype", json_new_string("text"));
  json_add_member(root, "text", std::move(text));
  return json_text(root, JSON_C_TO_STRING_SPACED);
}

std::string build_markdown_body(std::string_view title, std::string_view text,
                                const std::vector<std::string>& mobiles) {
  JsonTree markdown = json_new_object();
  json_add_member(markdown, "title", json_new_string(title));
  json_add_member(markdown, "text", json_new_string(text));
  JsonTree numbers = json_new_array();
  for (const std::string& mobile : mobiles) json_add_item(numbers, json_new_string(mobile));
  JsonTree at = json_new_object();
  json_add_member(at, "isAtAll", json_new_bool(false));
  json_add_member(at, "atMobiles", std::move(numbers));
  JsonTree root = json_new_object();
  json_add_member(root, "msgtype", json_new_string("markdown"));
  json_add_member(root, "markdown", std::move(markdown));
  json_add_member(root, "at", std::move(at));
  return json_text(root, JSON_C_TO_STRING_SPACED);
}

std::string mention_line(const std::vector<std::string>& mobiles) {
  std::string line;
  for (const std::string& mobile : mobiles) {
    line += '@';
    line += mobile;
    line += ' ';
  }
  return line;
}

std::string mention_text(std::string_view text, const std::vector<std::string>& mobiles) {
  std::vector<std::string_view> missing;
  for (const std::string& mobile : mobiles) {
    const std::string mention = "@" + mobile;
    if (text.find(mention) != std::string_view::npos) continue;
    if (std::find(missing.begin(), missing.end(), mobile) != missing.end()) continue;
    missing.push_back(mobile);
  }
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

}  // namespace nuv
