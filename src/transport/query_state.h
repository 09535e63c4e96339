// What a WebQuery and its two transports share: where requests go, how long they may take, what
// the last one ended with, the certificate check, and the one lock every request holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/ilogger.h"
#include "transport/server_certificate.h"

namespace qz {

inline constexpr char16_t kWebLogTag[] = u"WebQuery";

enum class WebForm { Post, Get };

struct QueryState {
  explicit QueryState(uint32_t timeoutMs) : timeout(timeoutMs) {}

  ILogger* logger = nullptr;
  std::u16string host;
  std::string hostA;  // ANSI code page, for URLs
  uint32_t httpPort = 80;
  uint32_t httpsPort = 443;
  uint32_t timeout;
  uint32_t splitThreshold = 0;
  uint32_t splitChunk = 0;
  uint32_t httpStatus = 0;
  int32_t lastResult = 0;
  // The alive thread and the main thread share one query: one request at a time. Recursive so a
  // certificate check may itself use the query.
  std::recursive_mutex requestLock;
  CertificateCheck certificateCheck;  // set under requestLock

  // Split mode applies to downloads of at least the threshold: the chunk after which to pause, or 0.
  uint32_t SplitChunkFor(int64_t size) const { return size < splitThreshold ? 0 : splitChunk; }

  template <class... A>
  void Log(const char16_t* func, int level, std::u16string_view fmt, const A&... a) const {
    if (logger) logger->Log(kWebLogTag, func, level, fmt, a...);
  }
};

// One request's hold on its query: the request lock from the first step to the last, released on
// every way out, and the result the request ends with.
class RequestScope {
 public:
  explicit RequestScope(QueryState& state) : state_(state), lock_(state.requestLock) {}
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

  QueryState& state() const { return state_; }
  int32_t End(int32_t result) {
    state_.lastResult = result;
    return result;
  }
  // A download's byte count as the last result, held at the largest 32-bit count.
  int64_t EndCount(int64_t result) {
    state_.lastResult = static_cast<int32_t>(std::min<int64_t>(result, INT32_MAX));
    return result;
  }

 private:
  QueryState& state_;
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace qz
