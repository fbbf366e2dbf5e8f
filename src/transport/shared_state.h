// What transfers share so that a request does not pay a TCP and TLS
// handshake and a CA bundle parse every time:
// - per thread, one easy handle, reset between requests, which keeps its
//   connections alive (libcurl does not allow one connection cache to be
//   used by transfers running at the same time);
// - per process, a curl share of DNS results and TLS sessions (with real
//   locks, since transfers run without the interpreter lock) and one X509
//   store for the trust in force, handed to every TLS context: a CA file is
//   loaded once; a hashed directory (SSL_CERT_DIR, or the system's when no
//   variable names a store) is read by subject hash, one issuer at a time.
// When the trust in force changes, a new store is made and every cached
// connection and TLS session is dropped; the old share is cleaned up when
// the last handle attached to it goes. A forked child never uses its
// parent's handles, share, store or locks: it starts fresh state and leaves
// the parent's untouched.
#pragma once

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>
#include <vector>

namespace nuv {

struct X509StoreDeleter {
  void operator()(X509_STORE* store) const noexcept { X509_STORE_free(store); }
};
using X509StoreRef = std::unique_ptr<X509_STORE, X509StoreDeleter>;

// Everything one transfer takes from the shared state.
struct TransferSetup {
  // The calling thread's handle, reset, and the multi handle that runs it;
  // both nullptr when either could not be made.
  CURL* handle = nullptr;
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  // The trust store for CURLOPT_SSL_CTX_FUNCTION; when null, libcurl is told
  // the CA file or directory itself.
  X509StoreRef store;
  std::string ca_file;
  std::string ca_path;
  // No variable names a store and none was found at the usual places: a TLS
  // handshake is refused (CURLOPT_SSL_CTX_FUNCTION) rather than left to a
  // path compiled into libcurl. Requests without TLS go on.
  bool no_trust_store = false;
  // The CA file (or directory) in force, whichever way it is handed over:
  // named when a certificate cannot be verified.
  std::string ca_source;
};

// Must be called with the interpreter lock held (it serialises setups).
TransferSetup prepare_transfer();

// Carries out the transfer set up on `setup.handle` (not null) and returns
// its result. Must be called without the interpreter lock. The library gate
// is held only while libcurl works, never while it waits on a socket.
CURLcode run_transfer(const TransferSetup& setup);

// CURLOPT_SSL_CTX_FUNCTION: installs the X509_STORE given as data.
extern "C" CURLcode install_trust_store(CURL* handle, void* ssl_ctx, void* store);

// CURLOPT_SSL_CTX_FUNCTION when there is no trust store: fails the handshake
// with CURLE_SSL_CACERT_BADFILE.
extern "C" CURLcode refuse_without_trust_store(CURL* handle, void* ssl_ctx, void* data);

// libcurl's detail of a transfer refused for want of a trust store.
inline constexpr char kNoTrustStoreDetail[] =
    "no trust store: CURL_CA_BUNDLE, SSL_CERT_FILE and SSL_CERT_DIR are not set, and no CA "
    "directory or bundle was found where the system keeps them";

// For tests: the system's store is looked for in these places instead of the
// usual ones (`usual`: the usual ones again), at the next request. Never
// fails.
void replace_system_store_places(std::vector<std::string> directories,
                                 std::vector<std::string> files, bool usual);

}  // namespace nuv
