#include "transport/shared_state.h"

#include <dirent.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "transport/child_processes.h"

namespace nuv {

namespace {

// Where trust comes from (see ca_in_force): a bundle read whole, once, or a
// hashed directory from which OpenSSL reads, by subject hash, only the
// issuers a handshake asks for.
struct CaSource {
  std::string file;
  std::string directory;
  bool operator==(const CaSource&) const = default;
};

// Whether `directory` holds certificates under OpenSSL's hashed names
// ("<8 hex digits>.<n>", as c_rehash and update-ca-certificates make them):
// only then can a lookup by subject hash find anything there.
bool is_hashed_directory(const char* directory) {
  DIR* listing = opendir(directory);
  if (listing == nullptr) return false;
  bool hashed = false;
  while (const dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    size_t hex = 0;
    while (hex < 8 && std::isxdigit(static_cast<unsigned char>(name[hex])) != 0) ++hex;
    if (hex == 8 && name[8] == '.' && std::isdigit(static_cast<unsigned char>(name[9])) != 0) {
      hashed = true;
      break;
    }
  }
  closedir(listing);
  return hashed;
}

// Where the systems nuv runs on keep their trust store, in the order looked
// at: hashed directories first, so a first handshake reads a few
// certificates instead of parsing a whole bundle, then bundles. Never a path
// compiled into libcurl or OpenSSL: a build that carries its own copies of
// them (the binary wheel) runs on systems that keep the store elsewhere.
constexpr const char* kSystemCaDirectories[] = {
    "/etc/ssl/certs",                                  // Debian, Ubuntu, Alpine, SUSE
    "/etc/pki/ca-trust/extracted/pem/directory-hash",  // Fedora, RHEL
    "/var/lib/ca-certificates/pem",                    // SUSE
};
constexpr const char* kSystemCaFiles[] = {
    "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Alpine
    "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",                             // SUSE
    "/etc/ssl/cert.pem",                                  // Alpine
};

bool is_readable_file(const std::string& path) {
  struct stat facts;
  return stat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size > 0 &&
         access(path.c_str(), R_OK) == 0;
}

// The places looked at (the usual ones unless a test replaced them) and
// what was found there: both empty when none of them holds a store.
// Guarded by g_state_mutex.
struct SystemStore {
  bool places_replaced = false;
  std::vector<std::string> directories;
  std::vector<std::string> files;
  bool looked = false;
  CaSource found;
};
SystemStore g_system_store;

// The machine's own store when no variable names one: the first hashed
// directory, else the first bundle, of the usual places. Looked for once per
// process. Must be called with g_state_mutex held.
const CaSource& system_store() {
  SystemStore& system = g_system_store;
  if (system.looked) return system.found;
  if (!system.places_replaced) {
    system.directories.assign(std::begin(kSystemCaDirectories), std::end(kSystemCaDirectories));
    system.files.assign(std::begin(kSystemCaFiles), std::end(kSystemCaFiles));
  }
  system.found = {};
  for (const std::string& directory : system.directories) {
    if (is_hashed_directory(directory.c_str())) {
      system.found.directory = directory;
      break;
    }
  }
  for (const std::string& file : system.files) {
    if (!system.found.directory.empty() || !system.found.file.empty()) break;
    if (is_readable_file(file)) system.found.file = file;
  }
  system.looked = true;
  return system.found;
}

// The first of: CURL_CA_BUNDLE, SSL_CERT_FILE (files), SSL_CERT_DIR (a
// hashed directory, or several separated by ":"), the system's store. Read
// for every request, so a change of the environment takes effect at once.
CaSource ca_in_force() {
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return {value, {}};
  }
  const char* directory = std::getenv("SSL_CERT_DIR");
  if (directory != nullptr && *directory != '\0') return {{}, directory};
  return system_store();
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
  // A directory is only registered here: its certificates are read when a
  // verification looks an issuer up, and kept in the store from then on.
  const bool loaded = ca.directory.empty()
                          ? X509_STORE_load_file(store.get(), ca.file.c_str()) == 1
                          : X509_STORE_load_path(store.get(), ca.directory.c_str()) == 1;
  if (!loaded) return {};
  // As libcurl sets up its own stores: a certificate of the bundle is a
  // trust anchor even when it is not self-signed.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
  return store;
}

extern "C" void lock_shared(CURL*, curl_lock_data data, curl_lock_access, void* share);
extern "C" void unlock_shared(CURL*, curl_lock_data data, void* share);

// One curl share of DNS results and TLS sessions, with the locks libcurl
// asks for (transfers run without the interpreter lock). Cleaned up when the
// last handle attached to it lets it go.
class Share {
 public:
  // nullptr if libcurl refuses.
  static std::shared_ptr<Share> make() {
    auto made = std::make_shared<Share>();
    CURLSH* share = curl_share_init();
    if (share == nullptr) return nullptr;
    made->share_ = share;
    if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock_shared) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock_shared) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_USERDATA, made.get()) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
      return nullptr;
    }
    return made;
  }

  Share() = default;
  Share(const Share&) = delete;
  Share& operator=(const Share&) = delete;
  // Every handle attached to it is gone by now (each holds a reference).
  ~Share() {
    if (share_ != nullptr) curl_share_cleanup(share_);
  }

  CURLSH* get() const { return share_; }
  std::mutex& lock_for(curl_lock_data data) { return locks_[data]; }

 private:
  CURLSH* share_ = nullptr;
  std::mutex locks_[CURL_LOCK_DATA_LAST];
};

extern "C" void lock_shared(CURL*, curl_lock_data data, curl_lock_access, void* share) {
  static_cast<Share*>(share)->lock_for(data).lock();
}

extern "C" void unlock_shared(CURL*, curl_lock_data data, void* share) {
  static_cast<Share*>(share)->lock_for(data).unlock();
}

// The longest a transfer sleeps between two steps when libcurl names no
// earlier time.
constexpr int kLongestPollMs = 1000;

struct SharedState {
  pid_t pid = getpid();
  std::shared_ptr<Share> share;
  bool ca_loaded = false;
  CaSource ca;
  X509StoreRef store;
  unsigned long generation = 0;
};

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

// The thread's easy handle, the multi handle that runs its transfers (and
// keeps its connections) and the share it is attached to. Its destructor
// runs when the thread ends.
struct ThreadHandle {
  CURL* handle = nullptr;
  CURLM* multi = nullptr;
  std::shared_ptr<Share> share;
  pid_t pid = 0;
  unsigned long generation = 0;

  // Lets the handles go, then the hold on the share (the last one out
  // cleans the share up). Must be called inside the library gate. What a
  // forked child inherited is abandoned instead: its sockets, sessions and
  // locks are the parent's.
  void release() {
    if (pid == getpid()) {
      if (handle != nullptr) curl_easy_cleanup(handle);
      if (multi != nullptr) curl_multi_cleanup(multi);
      share.reset();
    } else if (share) {
      new std::shared_ptr<Share>(std::move(share));  // deliberately never released
    }
    handle = nullptr;
    multi = nullptr;
  }
  ~ThreadHandle() {
    if (handle == nullptr && multi == nullptr && !share) return;
    LibraryUse use;
    release();
  }
};

thread_local ThreadHandle t_handle;

}  // namespace

extern "C" CURLcode install_trust_store(CURL*, void* ssl_ctx, void* store) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), static_cast<X509_STORE*>(store));
  return CURLE_OK;
}

extern "C" CURLcode refuse_without_trust_store(CURL*, void*, void*) {
  return CURLE_SSL_CACERT_BADFILE;
}

void replace_system_store_places(std::vector<std::string> directories,
                                 std::vector<std::string> files, bool usual) {
  std::lock_guard<std::mutex> guard(g_state_mutex);
  SystemStore& system = g_system_store;
  system.places_replaced = !usual;
  system.directories = std::move(directories);
  system.files = std::move(files);
  system.looked = false;
}

TransferSetup prepare_transfer() {
  TransferSetup setup;
  std::shared_ptr<Share> share;
  unsigned long generation;
  LibraryUse use;
  {
    std::lock_guard<std::mutex> guard(g_state_mutex);
    SharedState& state = current_state();
    const CaSource ca = ca_in_force();
    if (!state.ca_loaded || !(ca == state.ca)) {
      // Nothing verified under the old trust may be reused: a new share
      // (no TLS sessions) and new handles (no connections). The old share
      // lives on while handles of other threads are attached to it.
      state.store = curl_uses_openssl() ? load_store(ca) : X509StoreRef();
      state.ca = ca;
      state.ca_loaded = true;
      state.share = Share::make();
      ++state.generation;
    }
    if (state.store) {
      X509_STORE_up_ref(state.store.get());
      setup.store.reset(state.store.get());
    } else if (ca.file.empty() && ca.directory.empty() && curl_uses_openssl()) {
      setup.no_trust_store = true;
    } else {
      setup.ca_file = ca.file;
      setup.ca_path = ca.directory;
    }
    setup.ca_source = ca.file.empty() ? ca.directory : ca.file;
    share = state.share;
    generation = state.generation;
  }

  ThreadHandle& thread = t_handle;
  const pid_t pid = getpid();
  if (thread.handle != nullptr && thread.multi != nullptr && thread.pid == pid &&
      thread.generation == generation) {
    curl_easy_reset(thread.handle);
  } else {
    thread.release();
    thread.handle = curl_easy_init();
    thread.multi = curl_multi_init();
    thread.share = std::move(share);
    thread.pid = pid;
    thread.generation = generation;
  }
  if (thread.handle != nullptr && thread.multi != nullptr) {
    setup.handle = thread.handle;
    setup.multi = thread.multi;
  }
  setup.share = thread.share ? thread.share->get() : nullptr;
  return setup;
}

CURLcode run_transfer(const TransferSetup& setup) {
  {
    LibraryUse use;
    if (curl_multi_add_handle(setup.multi, setup.handle) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  }
  CURLcode result = CURLE_OK;
  for (;;) {
    {
      LibraryUse use;
      int running = 0;
      if (curl_multi_perform(setup.multi, &running) != CURLM_OK) {
        result = CURLE_RECV_ERROR;  // the multi handle itself failed: nothing more to learn
        break;
      }
      if (running == 0) {
        int left = 0;
        const CURLMsg* message = curl_multi_info_read(setup.multi, &left);
        result = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                    : CURLE_RECV_ERROR;
        break;
      }
    }
    // The wait, outside the gate: a fork does not wait for the server. It
    // ends early on libcurl's own timeouts and on a signal (EINTR), so the
    // next step runs the progress callback at once.
    if (curl_multi_poll(setup.multi, nullptr, 0, kLongestPollMs, nullptr) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
  }
  LibraryUse use;
  curl_multi_remove_handle(setup.multi, setup.handle);
  return result;
}

}  // namespace nuv
