// The addresses the kernel holds for one network interface, read over
// rtnetlink (getifaddrs does not tell temporary or tentative addresses
// apart).
#pragma once

#include <string>
#include <vector>

namespace nuv {

struct InterfaceAddresses {
  // Set when the interface could not be read (no such interface, netlink
  // failed): why, in one line.
  std::string error;
  // Addresses of the family in the kernel's order: of global scope, and
  // neither temporary (privacy addresses change by the hour), deprecated,
  // tentative nor failed duplicate detection.
  std::vector<std::string> addresses;
};

// `family` is 4 or 6. Blocks for at most a few seconds: call without the
// interpreter lock.
InterfaceAddresses interface_addresses(const std::string& name, int family);

}  // namespace nuv
