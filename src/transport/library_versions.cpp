#include "transport/library_versions.h"

#include <curl/curl.h>
#include <json-c/json_c_version.h>

#include <cstring>

namespace nuv {

std::vector<std::pair<std::string, std::string>> linked_library_versions() {
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  std::vector<std::pair<std::string, std::string>> versions;
  versions.emplace_back("libcurl", curl->version);
  // libcurl names its TLS library as "OpenSSL/3.0.17".
  if (curl->ssl_version != nullptr) {
    const char* slash = std::strchr(curl->ssl_version, '/');
    if (slash != nullptr) {
      versions.emplace_back(std::string(curl->ssl_version, slash), slash + 1);
    }
  }
  versions.emplace_back("json-c", json_c_version());
  return versions;
}

}  // namespace nuv
