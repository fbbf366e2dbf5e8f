#include "transport/interface_addresses.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nuv {

namespace {

constexpr int kReplyWaitMs = 5000;
constexpr unsigned kUnwantedFlags =
    IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_DADFAILED;

// The netlink socket, closed on every path.
class NetlinkSocket {
 public:
  NetlinkSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
  ~NetlinkSocket() {
    if (fd_ >= 0) close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string errno_text(const char* what, int code) {
  return std::string(what) + ": " + std::strerror(code);
}

// The address of one RTM_NEWADDR message when it is a wanted one of
// interface `index`, else "".
std::string wanted_address(const nlmsghdr* header, unsigned char af, unsigned index) {
  const auto* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
  if (message->ifa_family != af || message->ifa_index != index ||
      message->ifa_scope != RT_SCOPE_UNIVERSE) {
    return {};
  }
  unsigned flags = message->ifa_flags;
  const void* local = nullptr;
  const void* address = nullptr;
  int length = static_cast<int>(IFA_PAYLOAD(header));
  for (const rtattr* attribute = IFA_RTA(message); RTA_OK(attribute, length);
       attribute = RTA_NEXT(attribute, length)) {
    if (attribute->rta_type == IFA_FLAGS && RTA_PAYLOAD(attribute) >= sizeof(uint32_t)) {
      uint32_t wide = 0;
      std::memcpy(&wide, RTA_DATA(attribute), sizeof wide);
      flags = wide;
    } else if (attribute->rta_type == IFA_LOCAL) {
      local = RTA_DATA(attribute);
    } else if (attribute->rta_type == IFA_ADDRESS) {
      address = RTA_DATA(attribute);
    }
  }
  if ((flags & kUnwantedFlags) != 0) return {};
  // On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL is ours.
  const void* ours = local != nullptr ? local : address;
  if (ours == nullptr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(af, ours, text, sizeof text) == nullptr) return {};
  return text;
}

}  // namespace

InterfaceAddresses interface_addresses(const std::string& name, int family) {
  InterfaceAddresses result;
  const unsigned index = if_nametoindex(name.c_str());
  if (index == 0) {
    result.error = "no such network interface";
    return result;
  }
  const unsigned char af = family == 4 ? AF_INET : AF_INET6;
  NetlinkSocket sock;
  if (sock.fd() < 0) {
    result.error = errno_text("cannot open a netlink socket", errno);
    return result;
  }
  struct {
    nlmsghdr header;
    ifaddrmsg body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ifa_family = af;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(sock.fd(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    result.error = errno_text("cannot ask the kernel for its addresses", errno);
    return result;
  }
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    pollfd waiting{sock.fd(), POLLIN, 0};
    const int ready = poll(&waiting, 1, kReplyWaitMs);
    if (ready <= 0) {
      if (ready < 0 && errno == EINTR) continue;
      result.error = ready == 0 ? "the kernel did not answer" : errno_text("poll", errno);
      return result;
    }
    const ssize_t received = recv(sock.fd(), buffer, sizeof buffer, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      result.error = errno_text("cannot read the kernel's answer", errno);
      return result;
    }
    int left = static_cast<int>(received);
    for (const auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return result;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        if (failure->error != 0) {
          result.error = errno_text("the kernel refused", -failure->error);
          return result;
        }
        continue;
      }
      if (header->nlmsg_type != RTM_NEWADDR) continue;
      std::string found = wanted_address(header, af, index);
      if (!found.empty()) result.addresses.push_back(std::move(found));
    }
    if (received == 0) {
      result.error = "the kernel closed the netlink socket";
      return result;
    }
  }
}

}  // namespace nuv
