#include "dingtalk/message_body.h"

#include <json-c/json.h>

#include "common/json_build.h"

namespace nuv {

namespace {

JsonTree string_array(const std::vector<std::string>& items) {
  JsonTree array = json_new_array();
  for (const std::string& item : items) json_add_item(array, json_new_string(item));
  return array;
}

// The member order (isAtAll, atMobiles) is the one markdown bodies have
// always had; user ids come last and only when given.
JsonTree at_member(const Mentions& mentions) {
  JsonTree at = json_new_object();
  json_add_member(at, "isAtAll", json_new_bool(mentions.all));
  json_add_member(at, "atMobiles", string_array(mentions.mobiles));
  if (!mentions.user_ids.empty()) json_add_member(at, "atUserIds", string_array(mentions.user_ids));
  return at;
}

std::string message(const char* msgtype, JsonTree part, JsonTree at = JsonTree()) {
  JsonTree root = json_new_object();
  json_add_member(root, "msgtype", json_new_string(msgtype));
  json_add_member(root, msgtype, std::move(part));
  if (at) json_add_member(root, "at", std::move(at));
  return json_text(root, JSON_C_TO_STRING_SPACED);
}

}  // namespace

std::string build_text_body(std::string_view content, const Mentions& mentions) {
  JsonTree text = json_new_object();
  json_add_member(text, "content", json_new_string(content));
  return message("text", std::move(text), mentions.empty() ? JsonTree() : at_member(mentions));
}

std::string build_markdown_body(std::string_view title, std::string_view text,
                                const Mentions& mentions) {
  JsonTree markdown = json_new_object();
  json_add_member(markdown, "title", json_new_string(title));
  json_add_member(markdown, "text", json_new_string(text));
  return message("markdown", std::move(markdown), at_member(mentions));
}

std::string build_link_body(std::string_view title, std::string_view text,
                            std::string_view message_url, std::string_view pic_url) {
  JsonTree link = json_new_object();
  json_add_member(link, "title", json_new_string(title));
  json_add_member(link, "text", json_new_string(text));
  json_add_member(link, "messageUrl", json_new_string(message_url));
  json_add_member(link, "picUrl", json_new_string(pic_url));
  return message("link", std::move(link));
}

std::string build_action_card_body(std::string_view title, std::string_view text,
                                   const std::vector<CardButton>& buttons, bool single,
                                   std::string_view orientation) {
  JsonTree card = json_new_object();
  json_add_member(card, "title", json_new_string(title));
  json_add_member(card, "text", json_new_string(text));
  json_add_member(card, "btnOrientation", json_new_string(orientation));
  if (single && buttons.size() == 1) {
    json_add_member(card, "singleTitle", json_new_string(buttons.front().title));
    json_add_member(card, "singleURL", json_new_string(buttons.front().url));
  } else {
    JsonTree btns = json_new_array();
    for (const CardButton& button : buttons) {
      JsonTree item = json_new_object();
      json_add_member(item, "title", json_new_string(button.title));
      json_add_member(item, "actionURL", json_new_string(button.url));
      json_add_item(btns, std::move(item));
    }
    json_add_member(card, "btns", std::move(btns));
  }
  return message("actionCard", std::move(card));
}

std::string build_feed_card_body(const std::vector<FeedLink>& links) {
  JsonTree items = json_new_array();
  for (const FeedLink& link : links) {
    JsonTree item = json_new_object();
    json_add_member(item, "title", json_new_string(link.title));
    json_add_member(item, "messageURL", json_new_string(link.message_url));
    json_add_member(item, "picURL", json_new_string(link.pic_url));
    json_add_item(items, std::move(item));
  }
  JsonTree feed = json_new_object();
  json_add_member(feed, "links", std::move(items));
  return message("feedCard", std::move(feed));
}

}  // namespace nuv
