// Cache purge: everything, or only the files, tags, hosts or URL prefixes
// named (one kind per request, as the service takes them).
#pragma once

#include <string>
#include <vector>

namespace nuv {

// A file to purge: its URL and, optionally, the request headers its cached
// variant was stored under (such as CF-Device-Type).
struct PurgeFile {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  bool with_headers = false;
};

struct PurgeTargets {
  // Which kind was given; kEverything when none was.
  enum class Kind { kEverything, kFiles, kTags, kHosts, kPrefixes } kind = Kind::kEverything;
  std::vector<PurgeFile> files;
  std::vector<std::string> names;  // tags, hosts or prefixes
};

// {"purge_everything": true}, {"files": [...]} (a URL, or {"url", "headers"}
// when headers were given), {"tags": [...]}, {"hosts": [...]} or
// {"prefixes": [...]}, pretty-printed like the other bodies.
std::string build_purge_body(const PurgeTargets& targets);

}  // namespace nuv
