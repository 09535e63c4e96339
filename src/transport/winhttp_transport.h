// The WinHTTP-shaped transport, through the platform's IHttp: form requests on an asynchronous
// session (completions signal one event), plain and secure downloads, and uploads on a synchronous
// session. Each request is an Exchange of its own that owns its handles.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "platform/http.h"
#include "transport/query_state.h"
#include "transport/sinks.h"

namespace qz {

class WinHttpTransport {
 public:
  static constexpr uint32_t kReadBlock = 65536;
  static constexpr uint32_t kUploadBlock = 4096;
  static constexpr win::DWORD kSplitPause = 100;
  static constexpr win::DWORD kNotifications = 0x7F0000;
  static constexpr char kBoundary[] = "----vhKSM_byW_qorv";

  // Takes the current host's handles.
  explicit WinHttpTransport(QueryState& state);
  ~WinHttpTransport();
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  // Forgets handles of a host that is gone and takes the current one's.
  void AdoptCurrentHost();
  // The two sessions; func names the operation in the log.
  bool OpenSessions(const char16_t* func);
  bool Reopen();
  bool SetTimeout(uint32_t ms);
  void SecureFailure(win::DWORD flags);

  // answer null: status only.
  int32_t Request(const char16_t* func, WebForm form, std::u16string_view path, std::string_view body,
                  AnswerSink* answer, bool check);
  // The plain-HTTP size of path: Content-Length, or a result below 0.
  int32_t QueryContentLength(std::u16string_view path);
  // Bytes received into file, which must come to size with what it held.
  int64_t Download(bool secure, std::u16string_view path, int64_t size, DownloadSink& file, bool restart);
  int32_t Upload(bool secure, std::u16string_view path, std::string_view fileName, std::string_view folder,
                 std::string_view preamble);

 private:
  class Exchange;

  static void StatusCallback(win::HINTERNET handle, win::DWORD_PTR context, win::DWORD status, void* info,
                             win::DWORD infoLength);
  bool OwnsHandlesHere() const;
  void CloseSessions();
  // Waits for the step in progress: 0 when it completed, `failed` when WinHTTP reported it failed
  // (its own time-out: `timedOut`), `timedOut` when nothing came within the time-out.
  int32_t Await(int32_t failed, int32_t timedOut);
  int32_t ReadStatus(win::HINTERNET request);
  int32_t Form(Exchange& x, const char16_t* func, WebForm form, std::u16string_view path, std::string_view body,
               AnswerSink* answer, bool check);
  int32_t ContentLength(Exchange& x, std::u16string_view path);
  int64_t Fetch(bool secure, std::u16string_view path, DownloadSink& file);
  int64_t Receive(Exchange& x, bool secure, std::u16string_view path, DownloadSink& file);
  int64_t Save(Exchange& x, DownloadSink& file);
  int32_t Send(Exchange& x, bool secure, std::u16string_view path, std::string_view fileName,
               std::string_view preamble, UploadSource& source, uint32_t size);

  QueryState& state_;
  win::HINTERNET session_ = nullptr;
  win::HINTERNET syncSession_ = nullptr;
  // Completions of the asynchronous session: the callback stores what they report and signals.
  win::HANDLE event_ = nullptr;
  std::atomic<win::DWORD> bytesAvailable_{0};
  std::atomic<win::DWORD> bytesRead_{0};
  // A failed step (REQUEST_ERROR) ends the wait at once; its WinHTTP error says whether it timed out.
  std::atomic<bool> stepFailed_{false};
  std::atomic<win::DWORD> stepError_{0};
  // The host whose handle table issued event_ and the sessions. One process-wide query outlives
  // the simulated machines a test process runs one after another.
  const void* handleOwner_ = nullptr;
  win::DWORD securityFlags_ = win::SECURITY_FLAG_IGNORE_UNKNOWN_CA | win::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  win::DWORD secureProtocols_ = win::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
};

}  // namespace qz
