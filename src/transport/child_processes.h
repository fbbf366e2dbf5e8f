// What a child process gets from ours: no socket of a transfer survives an
// exec (a child started by os.system or subprocess with close_fds=False must
// not hold an API connection).
#pragma once

#include <curl/curl.h>

namespace nuv {

// CURLOPT_OPENSOCKETFUNCTION: opens the socket libcurl asks for, with
// close-on-exec set atomically (SOCK_CLOEXEC), so a fork followed by exec in
// another thread cannot catch it inheritable.
extern "C" curl_socket_t open_socket_closed_on_exec(void* data, curlsocktype purpose,
                                                    struct curl_sockaddr* address);

}  // namespace nuv
