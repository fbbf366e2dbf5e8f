#include "transport/http_request.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "common/curl_owners.h"
#include "common/gil.h"
#include "common/mask_secret.h"
#include "common/version.h"
#include "transport/child_processes.h"
#include "transport/env_proxy.h"
#include "transport/interruption.h"
#include "transport/shared_state.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// libcurl's own default since 8.3; set so every libcurl ends an endless
// redirect loop the same way (code 47).
constexpr long kMaxRedirects = 30;

struct ResponseBuffer {
  std::string data;
  size_t limit = kMaxResponseBytes;
  bool over_limit = false;
  // The body outgrew the memory left: reported as CURLE_OUT_OF_MEMORY, not
  // as the write error libcurl sees.
  bool out_of_memory = false;
};

HttpResult failure(int status, const char* text) { return HttpResult{status, text}; }

HttpResult curl_failure(CURLcode code) {
  return failure(static_cast<int>(code), curl_easy_strerror(code));
}

// Names nuv and libcurl to the service, so its logs can tell our requests
// apart.
const std::string& user_agent() {
  static const std::string text =
      std::string("nuv/") + kNuvVersion + " libcurl/" + curl_version_info(CURLVERSION_NOW)->version;
  return text;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Sets options one after another and keeps the first failure, so a refused
// option is never silently ignored.
class OptionSetter {
 public:
  explicit OptionSetter(CURL* handle) : handle_(handle) {}
  template <class Value>
  void operator()(CURLoption option, Value value) {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(handle_, option, value);
  }
  CURLcode result() const { return result_; }

 private:
  CURL* handle_;
  CURLcode result_ = CURLE_OK;
};

// Whether libcurl had begun to send the request. The request size counts
// what was handed to the connection; the pre-transfer time is set once the
// request is out (libcurl sets it on leaving its DO state). Through a proxy
// tunnel the size also counts the CONNECT, which is not the request: a
// tunnel made by this transfer (its answer is this transfer's, reset for
// every transfer) whose TLS handshake with the service never completed (no
// app-connect time) cannot have carried a byte of it.
bool request_started(CURL* handle) {
  curl_off_t pretransfer_us = 0;
  curl_off_t appconnect_us = 0;
  long request_bytes = 0;
  long connect_code = 0;
  const char* scheme = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer_us) != CURLE_OK ||
      curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &request_bytes) != CURLE_OK) {
    return true;  // unknown counts as sent
  }
  if (pretransfer_us > 0) return true;
  if (request_bytes == 0) return false;
  const bool tunnel_only =
      curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connect_code) == CURLE_OK &&
      connect_code >= 200 && connect_code <= 299 &&
      curl_easy_getinfo(handle, CURLINFO_APPCONNECT_TIME_T, &appconnect_us) == CURLE_OK &&
      appconnect_us == 0 && curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme) == CURLE_OK &&
      scheme != nullptr && strcasecmp(scheme, "https") == 0;
  return !tunnel_only;
}

// The value of the final answer's first `name` header, or "".
std::string header_value(CURL* handle, const char* name) {
  struct curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      header == nullptr || header->value == nullptr) {
    return {};
  }
  return header->value;
}

thread_local bool t_in_transfer = false;

// Marks the calling thread's request as under way for its lifetime.
struct TransferUnderWay {
  TransferUnderWay() noexcept { t_in_transfer = true; }
  ~TransferUnderWay() { t_in_transfer = false; }
  TransferUnderWay(const TransferUnderWay&) = delete;
  TransferUnderWay& operator=(const TransferUnderWay&) = delete;
};

// The proxy for this request, decided and traced before the transfer; ""
// connects directly. The trace names only a proxy that is used, with the
// variable that named it (the caller's own is its "user_proxy:" line).
// Every variable is copied before the first line is traced: a trace line may
// let go of the interpreter lock, and another thread may then change the
// environment.
std::string decide_proxy(const std::string& url, const ProxyChoice& choice) {
  const UrlTarget target = url_target(url);
  EnvironmentProxy named;
  if (choice.source == ProxySource::kEnvironment) named = environment_proxy(target);
  std::string_view no_proxy_name;
  const char* no_proxy = no_proxy_variable(no_proxy_name);
  const bool host_excluded = no_proxy != nullptr && no_proxy_matches(target.host, no_proxy);

  const bool tracing = trace_enabled();
  std::string proxy;
  if (choice.source == ProxySource::kCaller) {
    if (tracing) trace("user_proxy: %s\n", mask_proxy(choice.text).c_str());
    proxy = choice.text;
  } else if (!named.variable.empty()) {
    // A variable set but empty says "no proxy": traced, as it decides.
    if (tracing && (named.proxy.empty() || !host_excluded)) {
      trace("proxy: %s (%.*s)\n", mask_proxy(named.proxy).c_str(),
            static_cast<int>(named.variable.size()), named.variable.data());
    }
    proxy = named.proxy;
  }
  if (!proxy.empty() && host_excluded) {
    if (tracing) {
      trace("proxy: none, %.*s lists the host\n", static_cast<int>(no_proxy_name.size()),
            no_proxy_name.data());
    }
    proxy.clear();
  }
  return proxy;
}

}  // namespace

// libcurl write function: collects the body into the call's ResponseBuffer.
// Returning less than it was given makes libcurl end the transfer with
// CURLE_WRITE_ERROR.
extern "C" size_t write_callback(char* chunk, size_t size, size_t count, void* buffer) {
  auto* response = static_cast<ResponseBuffer*>(buffer);
  const size_t n = size * count;
  if (n > response->limit - response->data.size()) {
    response->over_limit = true;
    return 0;
  }
  try {
    response->data.append(chunk, n);
  } catch (const std::bad_alloc&) {
    response->out_of_memory = true;
    return 0;
  }
  return n;
}

HttpResult http_request(std::string_view method, const std::string& url,
                        const std::vector<std::string>& headers, const std::string* request_body,
                        const ProxyChoice& proxy_choice, const TransferOptions& options) {
  // A signal handler run during a transfer may itself make a request; the
  // thread's handle is busy until the transfer ends.
  if (t_in_transfer) return failure(-1, "a request is already under way in this thread");
  // From here the thread's handle is this request's: a Python trace target
  // (run when the batch is flushed, after the handle is set up) or a signal
  // handler that makes a request of its own must not reset it under us.
  const TransferUnderWay under_way;
  const bool tracing = trace_enabled();
  // The lines before the transfer go out together, at the latest just
  // before it starts.
  TraceBatch trace_batch;
  CurlHeaderList header_list;
  for (const std::string& line : headers) {
    if (tracing) trace("%s\n", mask_header_line(line).c_str());
    if (!header_list.append(line.c_str())) return failure(-1, "curl_slist_append() failed");
  }

  TransferSetup setup = prepare_transfer();
  if (setup.handle == nullptr) return failure(-1, "curl_easy_init() failed");

  ResponseBuffer response;
  response.limit = std::min(options.max_response_bytes, kMaxResponseBytes);
  char error_buffer[CURL_ERROR_SIZE] = {};
  OptionSetter set(setup.handle);
  set(CURLOPT_ERRORBUFFER, error_buffer);
  set(CURLOPT_USERAGENT, user_agent().c_str());
  set(CURLOPT_URL, url.c_str());
  // The path goes out exactly as built (and as traced): libcurl would
  // otherwise resolve "." and ".." segments and so change which resource a
  // request reaches.
  set(CURLOPT_PATH_AS_IS, 1L);
  // A URL without a scheme goes out over TLS, never in clear.
  set(CURLOPT_DEFAULT_PROTOCOL, "https");
  set(CURLOPT_FOLLOWLOCATION, options.follow_redirects ? 1L : 0L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  // A redirect keeps the method and its body (libcurl would otherwise turn a
  // POST into a GET after 301/302/303, and re-send a PUT or PATCH without
  // its body): a write is never silently replaced by a read.
  set(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_VERBOSE, 0L);
  set(CURLOPT_WRITEFUNCTION, write_callback);
  set(CURLOPT_WRITEDATA, &response);
  set(CURLOPT_TIMEOUT_MS, options.timeout_ms);
  set(CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms);
  if (options.fresh_connection) set(CURLOPT_FRESH_CONNECT, 1L);
  // Transfers run on any Python thread; timeouts must not rely on signals.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_OPENSOCKETFUNCTION, open_socket_closed_on_exec);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (setup.store) {
    // The store is loaded once per CA file, not per connection.
    set(CURLOPT_CAINFO, nullptr);
    set(CURLOPT_CAPATH, nullptr);
    set(CURLOPT_SSL_CTX_FUNCTION, install_trust_store);
    set(CURLOPT_SSL_CTX_DATA, setup.store.get());
  } else if (setup.no_trust_store) {
    set(CURLOPT_CAINFO, nullptr);
    set(CURLOPT_CAPATH, nullptr);
    set(CURLOPT_SSL_CTX_FUNCTION, refuse_without_trust_store);
  } else {
    if (!setup.ca_file.empty()) set(CURLOPT_CAINFO, setup.ca_file.c_str());
    if (!setup.ca_path.empty()) set(CURLOPT_CAPATH, setup.ca_path.c_str());
  }
  if (setup.share != nullptr) set(CURLOPT_SHARE, setup.share);
  set(CURLOPT_HTTPHEADER, header_list.get());
  SignalWatch watch;
  watch.main_thread = options.interruptible && in_main_thread();
  if (watch.main_thread) {
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, abort_on_signal);
    set(CURLOPT_XFERINFODATA, &watch);
  }

  // Always set: an empty proxy text makes libcurl connect directly, and an
  // empty no-proxy list keeps it from applying no_proxy a second time.
  const std::string proxy = decide_proxy(url, proxy_choice);
  set(CURLOPT_PROXY, proxy.c_str());
  set(CURLOPT_NOPROXY, "");

  const std::string method_lower = ascii_lower(method);
  if (tracing) {
    const std::string shown =
        options.shown_url.empty() ? mask_url(url) : std::string(options.shown_url);
    trace("http_method: %s url: %s\n", method_lower.c_str(), shown.c_str());
  }

  const std::string method_text(method);
  const char* body = request_body ? request_body->c_str() : "";
  if (method_lower == "get") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (method_lower == "post") {
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, body);
  } else if (method_lower == "put") {
    set(CURLOPT_CUSTOMREQUEST, "PUT");
    set(CURLOPT_POSTFIELDS, body);
  } else if (method_lower == "delete") {
    set(CURLOPT_CUSTOMREQUEST, "DELETE");
  } else {
    set(CURLOPT_CUSTOMREQUEST, method_text.c_str());
    set(CURLOPT_POSTFIELDS, body);
  }
  if (set.result() != CURLE_OK) return curl_failure(set.result());

  trace_batch.flush();
  if (options.interruptible && raise_trace_interrupt()) {
    HttpResult interrupted = failure(-1, "interrupted");
    interrupted.interrupted = true;
    return interrupted;
  }
  CURLcode code;
  {
    GilRelease unlocked;
    code = run_transfer(setup);
  }
  if (code == CURLE_WRITE_ERROR && response.out_of_memory) code = CURLE_OUT_OF_MEMORY;
  if (code != CURLE_OK) {
    HttpResult failed = curl_failure(code);
    failed.interrupted = watch.raised;
    failed.request_started = request_started(setup.handle);
    // libcurl's text for the write error would blame the disk.
    if (!response.out_of_memory) failed.detail = error_buffer;
    if (code == CURLE_SSL_CACERT_BADFILE && setup.no_trust_store) {
      failed.detail = kNoTrustStoreDetail;
    }
    failed.ca_source = std::move(setup.ca_source);
    failed.too_large = response.over_limit;
    return failed;
  }

  long status = 0;
  curl_easy_getinfo(setup.handle, CURLINFO_RESPONSE_CODE, &status);
  std::string& text = response.data;
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  HttpResult result{static_cast<int>(status), std::move(text)};
  result.cut_at_nul = nul != std::string::npos;
  if (!options.follow_redirects && status >= 300 && status < 400) {
    // Resolved by libcurl against the request's URL even when not followed.
    char* location = nullptr;
    if (curl_easy_getinfo(setup.handle, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
        location != nullptr) {
      result.redirect_url = location;
    }
  }
  result.answered = true;
  result.request_started = true;
  if (status == 429 || status == 503)
    result.retry_after = header_value(setup.handle, "Retry-After");
  result.ratelimit = header_value(setup.handle, "Ratelimit");
  if (!result.ratelimit.empty()) {
    result.ratelimit_policy = header_value(setup.handle, "Ratelimit-Policy");
  }
  return result;
}

}  // namespace nuv
