#include "transport/shared_state.h"

#include <openssl/ssl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace nuv {

namespace {

// Where trust comes from: CURL_CA_BUNDLE, else SSL_CERT_FILE, else the
// bundle libcurl was built with.
struct CaSource {
  std::string file;
  std::string path;
  bool operator==(const CaSource&) const = default;
};

CaSource ca_in_force() {
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return {value, {}};
  }
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return {info->cainfo ? info->cainfo : "", info->capath ? info->capath : ""};
}

bool curl_uses_openssl() {
  const char* ssl = curl_version_info(CURLVERSION_NOW)->ssl_version;
  return ssl != nullptr && std::strncmp(ssl, "OpenSSL/", 8) == 0;
}

// nullptr when the source cannot be loaded: libcurl is then given the file
// itself and reports the problem in its own words.
X509StoreRef load_store(const CaSource& ca) {
  X509StoreRef store(X509_STORE_new());
  if (!store) return {};
  bool loaded = false;
  if (!ca.file.empty()) loaded = X509_STORE_load_file(store.get(), ca.file.c_str()) == 1;
  if (!ca.path.empty()) loaded = X509_STORE_load_path(store.get(), ca.path.c_str()) == 1 || loaded;
  if (!loaded) return {};
  // As libcurl sets up its own stores: a certificate of the bundle is a
  // trust anchor even when it is not self-signed.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
  return store;
}

struct SharedState {
  pid_t pid = getpid();
  CURLSH* share = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  bool ca_loaded = false;
  CaSource ca;
  X509StoreRef store;
  unsigned long generation = 0;
};

extern "C" void lock_shared(CURL*, curl_lock_data data, curl_lock_access, void* state) {
  static_cast<SharedState*>(state)->locks[data].lock();
}

extern "C" void unlock_shared(CURL*, curl_lock_data data, void* state) {
  static_cast<SharedState*>(state)->locks[data].unlock();
}

// A share of DNS results and TLS sessions; nullptr if libcurl refuses.
CURLSH* new_share(SharedState* state) {
  CURLSH* share = curl_share_init();
  if (share == nullptr) return nullptr;
  if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock_shared) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock_shared) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_USERDATA, state) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
    curl_share_cleanup(share);
    return nullptr;
  }
  return share;
}

// Guards `g_state`. A fork takes it first, so the child never inherits it
// locked (see the atfork handlers below).
std::mutex g_state_mutex;
SharedState* g_state = nullptr;

void before_fork() { g_state_mutex.lock(); }
void after_fork() { g_state_mutex.unlock(); }

SharedState& current_state() {
  static const bool registered = pthread_atfork(before_fork, after_fork, after_fork) == 0;
  (void)registered;
  if (g_state == nullptr || g_state->pid != getpid()) {
    // In a child the parent's state is abandoned, not released: its locks
    // may be held by threads that do not exist here, and releasing its
    // sessions must not touch the parent's connections.
    g_state = new SharedState();
  }
  return *g_state;
}

// The thread's easy handle. Its destructor runs when the thread ends.
struct ThreadHandle {
  CURL* handle = nullptr;
  pid_t pid = 0;
  unsigned long generation = 0;
  ~ThreadHandle() {
    if (handle != nullptr && pid == getpid()) curl_easy_cleanup(handle);
  }
};

thread_local ThreadHandle t_handle;

}  // namespace

extern "C" CURLcode install_trust_store(CURL*, void* ssl_ctx, void* store) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), static_cast<X509_STORE*>(store));
  return CURLE_OK;
}

TransferSetup prepare_transfer() {
  TransferSetup setup;
  unsigned long generation;
  {
    std::lock_guard<std::mutex> guard(g_state_mutex);
    SharedState& state = current_state();
    const CaSource ca = ca_in_force();
    if (!state.ca_loaded || !(ca == state.ca)) {
      // Nothing verified under the old trust may be reused: a new share
      // (no TLS sessions) and new handles (no connections). The old share
      // stays alive, other threads may still be attached to it.
      state.store = curl_uses_openssl() ? load_store(ca) : X509StoreRef();
      state.ca = ca;
      state.ca_loaded = true;
      state.share = new_share(&state);
      ++state.generation;
    }
    if (state.store) {
      X509_STORE_up_ref(state.store.get());
      setup.store.reset(state.store.get());
    } else {
      setup.ca_file = ca.file;
      setup.ca_path = ca.path;
    }
    setup.ca_source = ca.file.empty() ? ca.path : ca.file;
    setup.share = state.share;
    generation = state.generation;
  }

  ThreadHandle& thread = t_handle;
  const pid_t pid = getpid();
  if (thread.handle != nullptr && thread.pid == pid && thread.generation == generation) {
    curl_easy_reset(thread.handle);
  } else {
    if (thread.handle != nullptr && thread.pid == pid) curl_easy_cleanup(thread.handle);
    // A handle inherited through fork is dropped without cleanup: its
    // sockets are the parent's.
    thread.handle = curl_easy_init();
    thread.pid = pid;
    thread.generation = generation;
  }
  setup.handle = thread.handle;
  return setup;
}

}  // namespace nuv
