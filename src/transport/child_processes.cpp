#include "transport/child_processes.h"

#include <sys/socket.h>

namespace nuv {

extern "C" curl_socket_t open_socket_closed_on_exec(void* /*data*/, curlsocktype /*purpose*/,
                                                    struct curl_sockaddr* address) {
  // socket() answers -1 on failure, which is CURL_SOCKET_BAD.
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace nuv
