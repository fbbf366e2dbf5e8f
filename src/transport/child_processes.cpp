#include "transport/child_processes.h"

#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

namespace nuv {

namespace {

pthread_rwlock_t g_gate;
bool g_gate_taken_for_fork = false;

// Writers first: a fork waiting for the gate is not starved by transfers
// that keep entering.
void init_gate() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&g_gate, &attributes);
  pthread_rwlockattr_destroy(&attributes);
}

// A step inside the gate takes microseconds; one that holds it longer is
// stuck somewhere a fork must not wait for (a signal handler run by a
// progress callback that never let the gate go). After this long the fork
// goes ahead unguarded rather than hang.
constexpr long kForkWaitSeconds = 2;

void before_fork() {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += kForkWaitSeconds;
  g_gate_taken_for_fork = pthread_rwlock_timedwrlock(&g_gate, &deadline) == 0;
}

void after_fork_in_parent() {
  if (g_gate_taken_for_fork) pthread_rwlock_unlock(&g_gate);
  g_gate_taken_for_fork = false;
}

// The child's only thread is the one that forked: nobody else can hold the
// gate. It is made anew (glibc ties a write hold to the thread id, which
// the child's thread does not share with its parent's).
void after_fork_in_child() {
  init_gate();
  g_gate_taken_for_fork = false;
}

// Set up when the module is loaded, before any transfer or fork of ours.
const bool g_gate_ready = [] {
  init_gate();
  return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
}();

}  // namespace

extern "C" curl_socket_t open_socket_closed_on_exec(void* /*data*/, curlsocktype /*purpose*/,
                                                    struct curl_sockaddr* address) {
  // socket() answers -1 on failure, which is CURL_SOCKET_BAD.
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

LibraryUse::LibraryUse() noexcept {
  (void)g_gate_ready;
  pthread_rwlock_rdlock(&g_gate);
}

LibraryUse::~LibraryUse() { pthread_rwlock_unlock(&g_gate); }

LibraryGateReleased::LibraryGateReleased() noexcept { pthread_rwlock_unlock(&g_gate); }

LibraryGateReleased::~LibraryGateReleased() { pthread_rwlock_rdlock(&g_gate); }

}  // namespace nuv
