#include "dingtalk/sign.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>
#include <ctime>
#include <new>

#include "common/bio_chain.h"
#include "common/mask_secret.h"
#include "common/percent_encode.h"
#include "transport/trace.h"

namespace nuv {

std::optional<std::string> base64_encode(const unsigned char* bytes, size_t length) {
  // BIO_write takes an int length.
  if (length > static_cast<size_t>(INT_MAX)) return std::nullopt;
  BioChain chain(BIO_new(BIO_f_base64()));
  if (!chain) return std::nullopt;
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory == nullptr) return std::nullopt;
  BIO_push(chain.get(), memory);  // 'memory' is now owned by 'chain'
  // Without this flag the encoder breaks lines every 64 characters and ends
  // with a line feed.
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  // The filter buffers up to a group; an empty input writes nothing at all.
  if (length > 0 &&
      BIO_write(chain.get(), bytes, static_cast<int>(length)) != static_cast<int>(length)) {
    return std::nullopt;
  }
  // Flushing emits the last group and its padding.
  if (BIO_flush(chain.get()) != 1) return std::nullopt;
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory, &data);
  if (size < 0) return std::nullopt;
  return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> dingtalk_signature(std::string_view secret, long long timestamp_ms) {
  const std::string message = std::to_string(timestamp_ms) + "\n" + std::string(secret);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  // HMAC accepts a null key only with length 0; an empty secret signs with
  // an empty key, as the service does.
  static const char kNoKey = 0;
  const char* key = secret.empty() ? &kNoKey : secret.data();
  if (secret.size() > static_cast<size_t>(INT_MAX) ||
      HMAC(EVP_sha256(), key, static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &digest_length) == nullptr) {
    return std::nullopt;
  }
  return base64_encode(digest, digest_length);
}

std::string dingtalk_webhook_url(std::string_view token, long long timestamp_ms,
                                 std::string_view signature_base64) {
  std::string url = DINGTALK_WEBHOOK_BASE;
  url += percent_encode(token);
  url += "&timestamp=";
  url += std::to_string(timestamp_ms);
  url += "&sign=";
  url += percent_encode(signature_base64);
  return url;
}

std::optional<std::string> dingtalk_sign_url(std::string_view secret,
                                             std::string_view token) noexcept {
  try {
    // Whole seconds: the service accepts an hour either way, and one reading
    // serves both the signed text and the URL.
    const long long timestamp_ms = static_cast<long long>(std::time(nullptr)) * 1000;
    trace("Timestamp: %llu\n", static_cast<unsigned long long>(timestamp_ms));
    std::optional<std::string> signature = dingtalk_signature(secret, timestamp_ms);
    if (!signature) return std::nullopt;
    // With the token, the signature lets anyone post for up to an hour.
    if (trace_enabled()) {  // with the trace off, not even the masks are built
      trace("Output (base64): %s\n", mask_secret(*signature).c_str());
      trace("Encoded: %s\n", mask_secret(percent_encode(*signature)).c_str());
    }
    return dingtalk_webhook_url(token, timestamp_ms, *signature);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace nuv
