// The visible texts of a message, as the service reads them: mentions that
// notify only when the text itself names them, the keyword a robot's security
// setting wants, and the URLs it accepts. Plain C++ of plain values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dingtalk/message_body.h"

namespace nuv {

// The "At:" trace text: "@" and each mobile, user id, then "all", each
// followed by a blank, in list order.
std::string mention_line(const Mentions& mentions);

// True when `text` names `name` as a mention: "@" and the name, not followed
// by a character that would make it a longer name (for a mobile another
// digit, so "@12345" does not mention "1234"; for a user id or "all" a
// letter, digit, "_" or "-").
bool mentions_mobile(std::string_view text, std::string_view mobile);
bool mentions_name(std::string_view text, std::string_view name);

// The markdown text to send. The service notifies a listed person only when
// the text itself mentions them, so every mobile, then user id, not yet
// mentioned, then "all" when `mentions.all` and absent, is appended after a
// blank line as "@name", separated by blanks, each once. A text mentioning
// them all is unchanged.
std::string mention_text(std::string_view text, const Mentions& mentions);

// True when any of `texts` holds `keyword` (an empty keyword is in every
// text).
bool holds_keyword(const std::vector<std::string_view>& texts, std::string_view keyword);

// `text` with `keyword` appended after `separator` (" " for plain text, a
// blank line for markdown); an empty text becomes the keyword alone.
std::string with_keyword(std::string_view text, std::string_view keyword,
                         std::string_view separator);

// An absolute http or https URL ("http://" or "https://", any letter case,
// and something after it): the only links the service opens.
bool is_web_url(std::string_view url);

}  // namespace nuv
