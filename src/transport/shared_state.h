// What transfers share so that a request does not pay a TCP and TLS
// handshake and a CA bundle parse every time:
// - per thread, one easy handle, reset between requests, which keeps its
//   connections alive (libcurl does not allow one connection cache to be
//   used by transfers running at the same time);
// - per process, a curl share of DNS results and TLS sessions (with real
//   locks, since transfers run without the interpreter lock) and one X509
//   store loaded from the CA file in force, handed to every TLS context.
// When the CA file in force changes, the store is loaded again and every
// cached connection and TLS session is dropped. A forked child never uses
// its parent's handles, share, store or locks: it starts fresh state and
// leaves the parent's untouched.
#pragma once

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>

namespace nuv {

struct X509StoreDeleter {
  void operator()(X509_STORE* store) const noexcept { X509_STORE_free(store); }
};
using X509StoreRef = std::unique_ptr<X509_STORE, X509StoreDeleter>;

// Everything one transfer takes from the shared state.
struct TransferSetup {
  // The calling thread's handle, reset; nullptr when none could be made.
  CURL* handle = nullptr;
  CURLSH* share = nullptr;
  // The trust store for CURLOPT_SSL_CTX_FUNCTION; when null, libcurl is told
  // the CA file (or directory) itself.
  X509StoreRef store;
  std::string ca_file;
  std::string ca_path;
  // The CA file (or directory) in force, whichever way it is handed over:
  // named when a certificate cannot be verified.
  std::string ca_source;
};

// Must be called with the interpreter lock held (it serialises setups).
TransferSetup prepare_transfer();

// CURLOPT_SSL_CTX_FUNCTION: installs the X509_STORE given as data.
extern "C" CURLcode install_trust_store(CURL* handle, void* ssl_ctx, void* store);

}  // namespace nuv
