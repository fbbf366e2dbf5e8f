// What a child process gets from ours.
// - No socket of a transfer survives an exec: a child started by os.system
//   or subprocess (close_fds=False included) holds no API connection.
// - No fork happens while a thread is inside libcurl or OpenSSL: a child
//   would inherit OpenSSL's internal locks held by a thread that does not
//   exist there, and its first TLS handshake would wait for them forever.
//   Every stretch of code that may enter either library holds the library
//   gate (shared); a fork takes it whole, waiting for those stretches to
//   end. Waits on sockets happen outside the gate, so a fork never waits
//   for a slow server, only for the short steps in between.
#pragma once

#include <curl/curl.h>

namespace nuv {

// CURLOPT_OPENSOCKETFUNCTION: opens the socket libcurl asks for, with
// close-on-exec set atomically (SOCK_CLOEXEC), so a fork followed by exec in
// another thread cannot catch it inheritable.
extern "C" curl_socket_t open_socket_closed_on_exec(void* data, curlsocktype purpose,
                                                    struct curl_sockaddr* address);

// A shared hold on the library gate for its lifetime. Not re-entrant: a
// thread holding one must not make another. Code that takes the
// interpreter lock while holding one (a callback run by libcurl) must let
// it go first with LibraryGateReleased: the thread forking holds the
// interpreter lock while it waits for the gate.
class LibraryUse {
 public:
  LibraryUse() noexcept;
  ~LibraryUse();
  LibraryUse(const LibraryUse&) = delete;
  LibraryUse& operator=(const LibraryUse&) = delete;
};

// Lets the calling thread's LibraryUse go for its lifetime, taking it back
// at the end. Only for a callback run by libcurl outside any OpenSSL call
// (progress, write, socket callbacks).
class LibraryGateReleased {
 public:
  LibraryGateReleased() noexcept;
  ~LibraryGateReleased();
  LibraryGateReleased(const LibraryGateReleased&) = delete;
  LibraryGateReleased& operator=(const LibraryGateReleased&) = delete;
};

}  // namespace nuv
