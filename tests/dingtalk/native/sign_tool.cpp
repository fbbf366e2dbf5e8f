// Reads one request per line from stdin, tab-separated, every argument in
// hex so any byte can pass, and writes one answer line per request:
//   base64 <bytes>                     -> the Base64 text, or "(none)"
//   signature <secret> <timestamp>     -> the Base64 signature, or "(none)"
//   url <token> <timestamp> <signature> -> the webhook URL
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dingtalk/sign.h"

namespace {

std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '\t')) out.push_back(field);
  return out;
}

std::string or_none(const std::optional<std::string>& text) { return text ? *text : "(none)"; }

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> f = fields(line);
    if (f.empty()) continue;
    // An empty hex argument is a trailing tab that getline drops.
    f.resize(4);
    if (f[0] == "base64") {
      const std::string bytes = from_hex(f[1]);
      std::cout << or_none(
          nuv::base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    } else if (f[0] == "signature") {
      std::cout << or_none(nuv::dingtalk_signature(from_hex(f[1]), std::stoll(from_hex(f[2]))));
    } else if (f[0] == "url") {
      std::cout << nuv::dingtalk_webhook_url(from_hex(f[1]), std::stoll(from_hex(f[2])),
                                             from_hex(f[3]));
    } else {
      std::cerr << "unknown request: " << f[0] << "\n";
      return 2;
    }
    std::cout << "\n" << std::flush;
  }
  return 0;
}
