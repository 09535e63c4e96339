// The updater's HTTPS client: form requests into a caller's buffer, status-only requests,
// resumable downloads into a temporary file, multipart uploads. A front over two transports:
// WinHTTP-shaped requests through the platform on current Windows, libcurl on Vista, Server 2008
// and older (plain downloads and uploads take the WinHTTP-shaped one everywhere).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "logging/ilogger.h"
#include "platform/platform.h"
#include "platform/types.h"
#include "transport/query_state.h"
#include "transport/server_certificate.h"
#include "transport/web_results.h"

namespace qz {

class IWebQuery {
 public:
  virtual ~IWebQuery() = default;
  virtual bool Initialize(ILogger* logger) = 0;
  virtual bool SetHost(std::u16string_view host) = 0;
  virtual void SetHttpPort(uint32_t port) = 0;
  virtual void SetHttpsPort(uint32_t port) = 0;
  virtual int32_t GetLastResult() = 0;
  virtual bool SetTimeout(uint32_t ms) = 0;
  // POST form: the body is sent as given; the answer is stored in the buffer, terminated.
  virtual int32_t RequestSecure(std::u16string_view path, std::string_view body, std::span<char> answer,
                                bool check) = 0;
  // GET form.
  virtual int32_t RequestSecure(std::u16string_view path, std::span<char> answer, bool check) = 0;
  virtual void SetSplitMode(uint32_t threshold, uint32_t chunk) = 0;
  // Downloads count in 64 bits: bytes received in this call, or a code below 0. A body longer
  // than the size (announced, or expected) fails at once with kWebSizeMismatch.
  virtual int64_t DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                                bool restart) = 0;
  virtual int64_t DownloadHttps(std::u16string_view path, int64_t expectedSize, std::u16string_view name,
                                std::u16string_view folder, bool restart) = 0;
  // File name, folder and preamble are in the ANSI code page.
  virtual int32_t UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) = 0;
  virtual int32_t UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) = 0;
  virtual int32_t SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) = 0;
  virtual int32_t SimpleRequestSecure(std::u16string_view path, bool check) = 0;
};

class WinHttpTransport;
class CurlTransport;

class WebQuery : public IWebQuery {
 public:
  static constexpr size_t kMaxHost = 79;
  static constexpr size_t kMaxHostA = 255;

  explicit WebQuery(uint32_t timeoutMs);
  ~WebQuery() override;
  WebQuery(const WebQuery&) = delete;
  WebQuery& operator=(const WebQuery&) = delete;

  bool Initialize(ILogger* logger) override;
  bool SetHost(std::u16string_view host) override;
  void SetHttpPort(uint32_t port) override { state_.httpPort = port; }
  void SetHttpsPort(uint32_t port) override { state_.httpsPort = port; }
  int32_t GetLastResult() override { return state_.lastResult; }
  bool SetTimeout(uint32_t ms) override;
  int32_t RequestSecure(std::u16string_view path, std::string_view body, std::span<char> answer,
                        bool check) override;
  int32_t RequestSecure(std::u16string_view path, std::span<char> answer, bool check) override;
  void SetSplitMode(uint32_t threshold, uint32_t chunk) override {
    state_.splitThreshold = threshold;
    state_.splitChunk = chunk;
  }
  int64_t DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                        bool restart) override;
  int64_t DownloadHttps(std::u16string_view path, int64_t expectedSize, std::u16string_view name,
                        std::u16string_view folder, bool restart) override;
  int32_t UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                      std::string_view preamble) override;
  int32_t UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                      std::string_view preamble) override;
  int32_t SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) override;
  int32_t SimpleRequestSecure(std::u16string_view path, bool check) override;

  // The check this query runs on responses of requests made with check = true (none: accepted).
  void SetCertificateCheck(CertificateCheck check);

  bool Reinitialize_WinHttp();
  void SecureFailure(win::DWORD flags);

  bool UsesCurl() const { return useCurl_; }
  ILogger* Logger() const { return state_.logger; }
  uint32_t HttpStatus() const { return state_.httpStatus; }
  // The URL a libcurl request to path would use.
  std::string CurlUrl(std::u16string_view path) const;

 private:
  int32_t Request(const char16_t* func, WebForm form, std::u16string_view path, std::string_view body,
                  std::span<char>* answer, bool check);

  QueryState state_;
  std::unique_ptr<WinHttpTransport> winhttp_;
  std::unique_ptr<CurlTransport> curl_;
  bool useCurl_ = false;  // chosen by Initialize from the Windows version
  bool ready_ = false;    // Initialize has succeeded: requests may be made
};

}  // namespace qz
