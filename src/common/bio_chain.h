// Owner of an OpenSSL BIO chain: BIO_free_all releases every BIO pushed
// behind the head.
#pragma once

#include <openssl/bio.h>

#include <memory>

namespace nuv {

struct BioChainDeleter {
  void operator()(BIO* head) const noexcept { BIO_free_all(head); }
};
using BioChain = std::unique_ptr<BIO, BioChainDeleter>;

}  // namespace nuv
