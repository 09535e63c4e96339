// The libcurl transport (Vista, Server 2008 and older), over the easy interface's wrapper: form
// requests, secure downloads and uploads. One easy handle, made and set up once and released with
// the transport; what a single request points it at (its sink, its headers) is set for that
// request and taken back after it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/curl_easy.h"
#include "transport/query_state.h"
#include "transport/sinks.h"

namespace qz {

class CurlTransport {
 public:
  static constexpr size_t kMaxUrlPath = 1024;
  static constexpr long kPacedBuffer = 8192;
  static constexpr win::DWORD kSplitPause = 1000;

  explicit CurlTransport(QueryState& state) : state_(state) {}
  ~CurlTransport();
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  bool IsOpen() const { return curl_ != nullptr; }
  // Makes and sets up the handle; without one every operation fails with CURLE_FAILED_INIT.
  void Open();
  bool SetTimeout(uint32_t ms);
  // The URL a request to path uses.
  std::string Url(std::u16string_view path) const;

  // answer null: the answer is read and dropped.
  int32_t Request(WebForm form, std::u16string_view path, std::string_view body, AnswerSink* answer);
  // offset + bytes received; an error status fails with its curl code and renames nothing, and a
  // file that does not come to the expected size fails with kWebSizeMismatch (a longer body at once).
  int64_t Download(std::u16string_view path, int64_t expectedSize, DownloadSink& file, bool restart);
  int32_t Upload(std::u16string_view path, std::string_view fileName, std::string_view folder);

 private:
  int32_t Form(WebForm form, std::u16string_view path, std::string_view body, AnswerSink* answer);
  int64_t Fetch(std::u16string_view path, int64_t expectedSize, DownloadSink& file, bool restart);

  QueryState& state_;
  curl::Handle curl_ = nullptr;
};

}  // namespace qz
