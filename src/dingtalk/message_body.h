// The robot's message bodies, one builder per message type: plain C++ of
// plain values, serialised by json-c in its one-line spaced form. Each may
// throw std::bad_alloc (json-c's allocation failures included). Field names
// differ in casing from type to type, as the service wants them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nuv {

// Who a text or markdown message mentions ("at").
struct Mentions {
  std::vector<std::string> mobiles;
  std::vector<std::string> user_ids;
  bool all = false;

  bool empty() const { return mobiles.empty() && user_ids.empty() && !all; }
};

// {"msgtype": "text", "text": {"content": ...}}, then, when anyone is
// mentioned, "at": {"isAtAll", "atMobiles", and "atUserIds" when any}.
std::string build_text_body(std::string_view content, const Mentions& mentions);

// {"msgtype": "markdown", "markdown": {"title", "text"},
//  "at": {"isAtAll", "atMobiles" (always), "atUserIds" (when any)}}
std::string build_markdown_body(std::string_view title, std::string_view text,
                                const Mentions& mentions);

// {"msgtype": "link", "link": {"title", "text", "messageUrl", "picUrl"}}
std::string build_link_body(std::string_view title, std::string_view text,
                            std::string_view message_url, std::string_view pic_url);

struct CardButton {
  std::string title;
  std::string url;
};

// {"msgtype": "actionCard", "actionCard": {"title", "text", "btnOrientation",
//  then "singleTitle" and "singleURL" for one button (exactly one in
//  `buttons` and `single`), or "btns": [{"title", "actionURL"}]}}.
// `orientation` is the service's "0" (stacked) or "1" (side by side).
std::string build_action_card_body(std::string_view title, std::string_view text,
                                   const std::vector<CardButton>& buttons, bool single,
                                   std::string_view orientation);

struct FeedLink {
  std::string title;
  std::string message_url;
  std::string pic_url;
};

// {"msgtype": "feedCard", "feedCard": {"links": [{"title", "messageURL",
//  "picURL"}]}}
std::string build_feed_card_body(const std::vector<FeedLink>& links);

}  // namespace nuv
