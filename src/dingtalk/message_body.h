// The robot's message bodies and mention texts: plain C++ of plain values,
// serialised by json-c in its one-line spaced form. Each may throw
// std::bad_alloc (json-c's allocation failures included).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nuv {

// {"msgtype": "text", "text": {"content": ...}}
std::string build_text_body(std::string_view content);

// {"msgtype": "markdown", "markdown": {"title", "text"},
//  "at": {"isAtAll": false, "atMobiles": [mobiles in list order]}}
std::string build_markdown_body(std::string_view title, std::string_view text,
                                const std::vector<std::string>& mobiles);

// The "At:" trace text: "@" number " " for each number, in list order.
std::string mention_line(const std::vector<std::string>& mobiles);

// The markdown text to send. The service notifies a listed number only when
// the text itself holds "@" and that number, so every number not mentioned
// anywhere in `text` is appended after a blank line, "@number" separated by
// blanks, in list order, each once. A text mentioning them all is unchanged.
std::string mention_text(std::string_view text, const std::vector<std::string>& mobiles);

}  // namespace nuv
