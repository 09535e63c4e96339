// The updater's HTTPS client: form requests into a caller's buffer, status-only requests,
// resumable downloads into a temporary file, multipart uploads. WinHTTP-shaped requests through the
// platform on current Windows; libcurl on Vista, Server 2008 and older.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "logging/ilogger.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "platform/types.h"
#include "transport/curl_easy.h"

namespace qz {

// Results beyond byte counts and server numbers.
inline constexpr int32_t kWebException = -1;
inline constexpr int32_t kWebConnectFailed = -2;
inline constexpr int32_t kWebOpenRequestFailed = -3;
inline constexpr int32_t kWebCallbackFailed = -4;
inline constexpr int32_t kWebSendFailed = -5;
inline constexpr int32_t kWebReceiveFailed = -6;
inline constexpr int32_t kWebStatusUnreadable = -7;
inline constexpr int32_t kWebHttpError = -8;
inline constexpr int32_t kWebSizeMismatch = -9;
inline constexpr int32_t kWebDataFailed = -10;
inline constexpr int32_t kWebBufferTooSmall = -11;
inline constexpr int32_t kWebRangeFailed = -12;
inline constexpr int32_t kWebFileOpenFailed = -13;
inline constexpr int32_t kWebFileWriteFailed = -14;
inline constexpr int32_t kWebRenameFailed = -15;
inline constexpr int32_t kWebSendTimeout = -17;
inline constexpr int32_t kWebResponseTimeout = -18;
inline constexpr int32_t kWebReceiveTimeout = -19;
inline constexpr int32_t kWebUploadWriteFailed = -20;
inline constexpr int32_t kWebCurlBase = -10000;          // request: -10000 - curl code
inline constexpr int32_t kWebCurlTransferBase = -2000;   // download/upload: -2000 - curl code

inline constexpr char16_t kWebUserAgent[] = u"VH-KSM Agent/1.0";

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
  virtual int32_t DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                                bool restart) = 0;
  virtual int32_t DownloadHttps(std::u16string_view path, uint32_t expectedSize, std::u16string_view name,
                                std::u16string_view folder, bool restart) = 0;
  // File name, folder and preamble are in the ANSI code page.
  virtual int32_t UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) = 0;
  virtual int32_t UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) = 0;
  virtual int32_t SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) = 0;
  virtual int32_t SimpleRequestSecure(std::u16string_view path, bool check) = 0;
};

class WebQuery;
// Process-wide: runs on responses of requests made with check = true; false refuses the response.
using ResponseHook = bool (*)(WebQuery& query);
void SetResponseHook(ResponseHook hook);
ResponseHook GetResponseHook();

class WebQuery : public IWebQuery {
 public:
  static constexpr size_t kMaxHost = 79;
  static constexpr size_t kMaxHostA = 255;
  static constexpr size_t kMaxUrlPath = 1024;
  static constexpr uint32_t kReadBlock = 65536;
  static constexpr uint32_t kUploadBlock = 4096;
  static constexpr long kCurlPacedBuffer = 8192;
  static constexpr win::DWORD kWinHttpPause = 100;
  static constexpr win::DWORD kCurlPause = 1000;
  static constexpr win::DWORD kNotifications = 0x7F0000;
  static constexpr char kBoundary[] = "----vhKSM_byW_qorv";

  explicit WebQuery(uint32_t timeoutMs);
  ~WebQuery() override;
  WebQuery(const WebQuery&) = delete;
  WebQuery& operator=(const WebQuery&) = delete;

  bool Initialize(ILogger* logger) override;
  bool SetHost(std::u16string_view host) override;
  void SetHttpPort(uint32_t port) override { httpPort_ = port; }
  void SetHttpsPort(uint32_t port) override { httpsPort_ = port; }
  int32_t GetLastResult() override { return lastResult_; }
  bool SetTimeout(uint32_t ms) override;
  int32_t RequestSecure(std::u16string_view path, std::string_view body, std::span<char> answer,
                        bool check) override;
  int32_t RequestSecure(std::u16string_view path, std::span<char> answer, bool check) override;
  void SetSplitMode(uint32_t threshold, uint32_t chunk) override {
    splitThreshold_ = threshold;
    splitChunk_ = chunk;
  }
  int32_t DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                        bool restart) override;
  int32_t DownloadHttps(std::u16string_view path, uint32_t expectedSize, std::u16string_view name,
                        std::u16string_view folder, bool restart) override;
  int32_t UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                      std::string_view preamble) override;
  int32_t UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                      std::string_view preamble) override;
  int32_t SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) override;
  int32_t SimpleRequestSecure(std::u16string_view path, bool check) override;

  bool Reinitialize_WinHttp();
  void SecureFailure(win::DWORD flags);

  // For the response hook: the request in progress and facts of this object.
  win::HINTERNET CurrentRequest() const { return request_; }
  bool UsesCurl() const { return useCurl_; }
  ILogger* Logger() const { return logger_; }
  uint32_t HttpStatus() const { return httpStatus_; }
  // The URL a libcurl request to path would use.
  std::string CurlUrl(std::u16string_view path) const;

 private:
  enum class Form { Post, Get };
  int32_t Request(const char16_t* func, Form form, std::u16string_view path, std::string_view body,
                  std::span<char>* answer, bool check);
  int32_t RequestWinHttp(const char16_t* func, Form form, std::u16string_view path, std::string_view body,
                         std::span<char>* answer, bool check);
  int32_t RequestCurl(Form form, std::u16string_view path, std::string_view body, std::span<char>* answer);
  int32_t CleanUp(int32_t result);
  bool OpenSessions(const char16_t* func);
  void CloseSessions();
  bool OwnsHandlesHere() const;
  void AdoptCurrentHost();
  void Lock();
  bool Wait();
  int32_t AnswerResult(std::span<char> answer, uint32_t stored) const;

  int32_t QueryContentLength(std::u16string_view path);
  int32_t OpenFileStream(const std::u16string& tempName, bool restart, int64_t* offset);
  int32_t DownloadFile(bool secure, int64_t offset);
  int32_t SaveWebFile();
  int32_t Download_cURL(std::u16string_view path, uint32_t expectedSize, const std::u16string& finalName,
                        const std::u16string& tempName, bool restart);
  int32_t Download(bool secure, std::u16string_view path, int64_t size, std::u16string_view name,
                   std::u16string_view folder, bool restart);
  int32_t Upload(bool secure, std::u16string_view path, std::string_view fileName, std::string_view folder,
                 std::string_view preamble);
  int32_t UploadCurl(std::u16string_view path, std::string_view fileName, std::string_view folder);
  int32_t ReadStatus();

  static void StatusCallback(win::HINTERNET handle, win::DWORD_PTR context, win::DWORD status, void* info,
                             win::DWORD infoLength);
  static size_t CurlWrite(char* data, size_t size, size_t count, void* user);
  // The libcurl path's handle: made and set up once, released with the object.
  void OpenCurl();
  void CloseCurl();
  bool SetCurlTimeout(uint32_t ms);
  void Log(const char16_t* func, int level, std::u16string_view fmt, const win::FmtArg& a = win::FmtArg(),
           const win::FmtArg& b = win::FmtArg());

  ILogger* logger_ = nullptr;
  win::HANDLE file_ = win::INVALID_HANDLE_VALUE;
  win::HINTERNET session_ = nullptr;
  win::HINTERNET syncSession_ = nullptr;
  win::HINTERNET connection_ = nullptr;
  win::HINTERNET request_ = nullptr;
  std::atomic<win::DWORD> bytesAvailable_{0};
  std::atomic<win::DWORD> bytesRead_{0};
  win::HANDLE event_ = nullptr;
  // The host whose handle table issued event_ and the sessions. One process-wide query outlives
  // the simulated machines a test process runs one after another.
  const void* handleOwner_ = nullptr;
  win::DWORD securityFlags_ = win::SECURITY_FLAG_IGNORE_UNKNOWN_CA | win::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  win::DWORD secureProtocols_ = win::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  bool useCurl_ = false;
  curl::Handle curl_ = nullptr;  // held by the libcurl path only
  std::string hostA_;
  int curlSink_ = 0;
  char* sinkBuffer_ = nullptr;
  uint32_t sinkLength_ = 0, sinkRoom_ = 0;
  uint32_t fileBytes_ = 0, chunkBytes_ = 0;
  bool fileWriteFailed_ = false;
  std::unique_ptr<std::recursive_mutex> requestLock_;
  bool locked_ = false;
  std::u16string host_;
  uint32_t httpStatus_ = 0;
  int32_t lastResult_ = 0;
  uint32_t httpPort_ = 80;
  uint32_t httpsPort_ = 443;
  uint32_t timeout_;
  uint32_t splitThreshold_ = 0, splitChunk_ = 0, activeChunk_ = 0;
  std::u16string pendingPath_;  // path of the download in progress
};

}  // namespace qz
