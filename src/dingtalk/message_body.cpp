#include "dingtalk/message_body.h"

#include <json-c/json.h>

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>

#include "common/json_tree.h"

namespace nuv {

namespace {

JsonTree new_object() {
  JsonTree tree(json_object_new_object());
  if (!tree) throw std::bad_alloc();
  return tree;
}

JsonTree new_string(std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long for JSON");
  JsonTree tree(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
  if (!tree) throw std::bad_alloc();
  return tree;
}

// json-c takes over the reference it is given only when the insertion
// succeeds. The container gets a reference of its own, and 'value' drops
// the caller's when it goes, so the value lives exactly as long as the
// container on success and is released on failure.
void add_member(const JsonTree& object, const char* key, const JsonTree& value) {
  json_object* shared = json_object_get(value.get());
  if (json_object_object_add(object.get(), key, shared) != 0) {
    json_object_put(shared);
    throw std::bad_alloc();
  }
}

void add_item(const JsonTree& array, const JsonTree& value) {
  json_object* shared = json_object_get(value.get());
  if (json_object_array_add(array.get(), shared) != 0) {
    json_object_put(shared);
    throw std::bad_alloc();
  }
}

std::string serialise(const JsonTree& root) {
  const char* text = json_object_to_json_string(root.get());
  if (text == nullptr) throw std::bad_alloc();
  return text;
}

}  // namespace

std::string build_text_body(std::string_view content) {
  JsonTree text = new_object();
  add_member(text, "content", new_string(content));
  JsonTree root = new_object();
  add_member(root, "msgtype", new_string("text"));
  add_member(root, "text", text);
  return serialise(root);
}

std::string build_markdown_body(std::string_view title, std::string_view text,
                                const std::vector<std::string>& mobiles) {
  JsonTree markdown = new_object();
  add_member(markdown, "title", new_string(title));
  add_member(markdown, "text", new_string(text));
  JsonTree numbers(json_object_new_array());
  if (!numbers) throw std::bad_alloc();
  for (const std::string& mobile : mobiles) add_item(numbers, new_string(mobile));
  JsonTree boolean(json_object_new_boolean(0));
  if (!boolean) throw std::bad_alloc();
  JsonTree at = new_object();
  add_member(at, "isAtAll", boolean);
  add_member(at, "atMobiles", numbers);
  JsonTree root = new_object();
  add_member(root, "msgtype", new_string("markdown"));
  add_member(root, "markdown", markdown);
  add_member(root, "at", at);
  return serialise(root);
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
