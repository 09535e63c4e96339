#include "transport/web_query.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "logging/logger.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

using namespace win;

namespace {

std::atomic<ResponseHook> gHook{nullptr};

constexpr char16_t kTag[] = u"WebQuery";
constexpr char16_t kFormContentType[] = u"Content-Type: application/x-www-form-urlencoded";

}  // namespace

void SetResponseHook(ResponseHook hook) { gHook.store(hook); }
ResponseHook GetResponseHook() { return gHook.load(); }

WebQuery::WebQuery(uint32_t timeoutMs) : timeout_(timeoutMs) { AdoptCurrentHost(); }

bool WebQuery::OwnsHandlesHere() const { return Platform::HasCurrent() && handleOwner_ == &Platform::Current(); }

void WebQuery::AdoptCurrentHost() {
  if (OwnsHandlesHere()) return;
  // Handles of a host that is gone are not ours to close; start afresh on this one.
  session_ = syncSession_ = connection_ = request_ = nullptr;
  file_ = INVALID_HANDLE_VALUE;
  handleOwner_ = &Platform::Current();
  event_ = Time().CreateEventW(FALSE, FALSE);
}

WebQuery::~WebQuery() {
  CloseSessions();
  if (event_ && OwnsHandlesHere()) CloseHandle(event_);
  CloseCurl();
}

void WebQuery::Log(const char16_t* func, int level, std::u16string_view fmt, const FmtArg& a, const FmtArg& b) {
  if (!logger_) return;
  const FmtArg args[] = {a, b, FmtArg()};
  size_t n = a.kind() == FmtArg::Kind::None ? 0 : (b.kind() == FmtArg::Kind::None ? 1 : 2);
  logger_->VLog(kTag, func, level, fmt, FmtArgs(args, n));
}

bool WebQuery::OpenSessions(const char16_t* func) {
  IHttp& http = Http();
  session_ = http.WinHttpOpen(kWebUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, u"", u"", WINHTTP_FLAG_ASYNC);
  if (!session_) {
    Log(func, kLogFatal, u"Cannot open HTTP Session (%ld)", GetLastError());
    return false;
  }
  if (!http.WinHttpSetOption(session_, WINHTTP_OPTION_SECURE_PROTOCOLS, &secureProtocols_, sizeof secureProtocols_))
    Log(func, kLogInfo, u"Fail to bind protocol: %ld", GetLastError());
  syncSession_ = http.WinHttpOpen(kWebUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, u"", u"", 0);
  if (!syncSession_) {
    Log(func, kLogFatal, u"Cannot open sync HTTP Session (%ld)", GetLastError());
    return false;
  }
  http.WinHttpSetOption(syncSession_, WINHTTP_OPTION_SECURE_PROTOCOLS, &secureProtocols_, sizeof secureProtocols_);
  const int t = static_cast<int>(timeout_);
  http.WinHttpSetTimeouts(session_, t, t, t, t);
  http.WinHttpSetTimeouts(syncSession_, t, t, t, t);
  return true;
}

void WebQuery::CloseSessions() {
  if (!OwnsHandlesHere()) return;
  if (session_) Http().WinHttpCloseHandle(session_);
  if (syncSession_) Http().WinHttpCloseHandle(syncSession_);
  session_ = syncSession_ = nullptr;
}

bool WebQuery::Initialize(ILogger* logger) {
  logger_ = logger;
  AdoptCurrentHost();
  if (!OpenSessions(u"Initialize")) return false;

  OSVERSIONINFOEXW v;
  Os().GetVersionExW(&v);
  useCurl_ = v.dwMajorVersion < 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion == 0);
  if (useCurl_ && !curl_) OpenCurl();
  if (!requestLock_) requestLock_ = std::make_unique<std::recursive_mutex>();
  return requestLock_ != nullptr;
}

bool WebQuery::Reinitialize_WinHttp() {
  CloseSessions();
  OpenSessions(u"Reinitialize_WinHttp");
  return session_ && syncSession_;
}

bool WebQuery::SetHost(std::u16string_view host) {
  host_ = std::u16string(host.substr(0, kMaxHost));
  hostA_ = WideToAnsi(host_);
  if (hostA_.size() > kMaxHostA) hostA_.resize(kMaxHostA);
  return true;
}

bool WebQuery::SetTimeout(uint32_t ms) {
  timeout_ = ms;
  const int t = static_cast<int>(ms);
  bool ok = session_ && Http().WinHttpSetTimeouts(session_, t, t, t, t);
  return SetCurlTimeout(ms) && ok;
}

std::string WebQuery::CurlUrl(std::u16string_view path) const {
  std::string p = path.empty() ? std::string("/") : WideToAnsi(path);
  if (p.size() > kMaxUrlPath) p.resize(kMaxUrlPath);
  if (httpsPort_ == 443) return FmtA("https://%s%s", hostA_, p);
  return FmtA("https://%s:%d%s", hostA_, httpsPort_, p);
}

void WebQuery::Lock() {
  requestLock_->lock();
  locked_ = true;
}

bool WebQuery::Wait() { return Time().WaitForSingleObject(event_, timeout_, WaitKind::Limit) == WAIT_OBJECT_0; }

int32_t WebQuery::CleanUp(int32_t result) {
  if (result == kWebConnectFailed && GetLastError() == ERROR_INVALID_HANDLE) {
    if (Reinitialize_WinHttp()) {
      Log(u"CleanUp", kLogWarning, u"WinHttp 세션 재초기화 성공");
    } else {
      Log(u"CleanUp", kLogWarning, u"WinHttp 세션 재초기화 실패");
    }
  }
  if (request_) {
    Http().WinHttpSetStatusCallback(request_, nullptr, 0);
    Http().WinHttpCloseHandle(request_);
    request_ = nullptr;
  }
  if (connection_) {
    Http().WinHttpCloseHandle(connection_);
    connection_ = nullptr;
  }
  lastResult_ = result;
  if (locked_) {
    locked_ = false;
    requestLock_->unlock();
  }
  return result;
}

void WebQuery::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD infoLength) {
  if (!context) return;
  auto* self = reinterpret_cast<WebQuery*>(context);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
      DWORD flags = 0;
      if (info && infoLength >= sizeof flags) std::memcpy(&flags, info, sizeof flags);
      self->SecureFailure(flags);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
      DWORD n = 0;
      if (info && infoLength >= sizeof n) std::memcpy(&n, info, sizeof n);
      self->bytesAvailable_ = n;
      Time().SetEvent(self->event_);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      self->bytesRead_ = infoLength;
      Time().SetEvent(self->event_);
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      Time().SetEvent(self->event_);
      break;
    default:
      // Request errors are not signalled: the waiting step runs into its time-out.
      break;
  }
}

void WebQuery::SecureFailure(DWORD flags) {
  struct Text {
    DWORD flags;
    const char16_t* text;
    int level;
  };
  static const Text texts[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, u"인증서 수신을 실패함", kLogWarning},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, u"유효하지 않은 인증서임", kLogDebug},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, u"폐기된 인증서임", kLogDebug},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, u"유효하지 않은 CA 정보", kLogDebug},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, u"인증서의 이름(common name)이 유효하지 않음", kLogWarning},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, u"인증서 날짜가 유효하지 않음", kLogDebug},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, u"인증서 채널 오류", kLogDebug},
  };
  for (const auto& t : texts) {
    if (t.flags == flags) {
      Log(u"SecureFailure", t.level, t.text);
      return;
    }
  }
  Log(u"SecureFailure", kLogDebug, u"알 수 없는 오류 발생");
}

int32_t WebQuery::AnswerResult(std::span<char> answer, uint32_t stored) const {
  answer[stored] = '\0';
  if (stored >= 5 && std::memcmp(answer.data(), "_err=", 5) == 0) {
    int n = 0;
    if (std::sscanf(answer.data() + 5, "%d", &n) == 1) return n;
  }
  return static_cast<int32_t>(stored);
}

int32_t WebQuery::RequestSecure(std::u16string_view path, std::string_view body, std::span<char> answer,
                                bool check) {
  return Request(u"RequestSecure #2", Form::Post, path, body, &answer, check);
}

int32_t WebQuery::RequestSecure(std::u16string_view path, std::span<char> answer, bool check) {
  return Request(u"RequestSecure", Form::Get, path, {}, &answer, check);
}

int32_t WebQuery::SimpleRequestSecure(std::u16string_view path, std::string_view body, bool check) {
  return Request(u"SimpleRequestSecure #2", Form::Post, path, body, nullptr, check);
}

int32_t WebQuery::SimpleRequestSecure(std::u16string_view path, bool check) {
  return Request(u"SimpleRequestSecure", Form::Get, path, {}, nullptr, check);
}

int32_t WebQuery::Request(const char16_t* func, Form form, std::u16string_view path, std::string_view body,
                          std::span<char>* answer, bool check) {
  if (!requestLock_) return kWebException;
  try {
    return useCurl_ ? RequestCurl(form, path, body, answer) : RequestWinHttp(func, form, path, body, answer, check);
  } catch (const std::exception&) {
    return CleanUp(kWebException);
  }
}

int32_t WebQuery::ReadStatus() {
  DWORD status = 0, len = sizeof status;
  if (!Http().WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, u"", &status,
                                  &len))
    return kWebStatusUnreadable;
  httpStatus_ = status;
  return 0;
}

int32_t WebQuery::RequestWinHttp(const char16_t* func, Form form, std::u16string_view path, std::string_view body,
                                 std::span<char>* answer, bool check) {
  Lock();
  IHttp& http = Http();
  httpStatus_ = 0;
  // A completion left over from an abandoned request must not satisfy this one's first wait.
  Time().ResetEvent(event_);
  // The status-only GET runs its own codes for a late send and a refused response.
  const bool simpleGet = !answer && form == Form::Get;

  connection_ = http.WinHttpConnect(session_, host_, static_cast<INTERNET_PORT>(httpsPort_));
  if (!connection_) return CleanUp(kWebConnectFailed);
  request_ = http.WinHttpOpenRequest(connection_, form == Form::Post ? u"POST" : u"GET", path, WINHTTP_FLAG_SECURE);
  if (!request_) return CleanUp(kWebOpenRequestFailed);
  if (http.WinHttpSetStatusCallback(request_, &WebQuery::StatusCallback, kNotifications) ==
      WINHTTP_INVALID_STATUS_CALLBACK)
    return CleanUp(kWebCallbackFailed);
  http.WinHttpSetOption(request_, WINHTTP_OPTION_SECURITY_FLAGS, &securityFlags_, sizeof securityFlags_);
  const auto context = reinterpret_cast<DWORD_PTR>(this);
  BOOL sent = form == Form::Post
                  ? http.WinHttpSendRequest(request_, kFormContentType, body.data(), static_cast<DWORD>(body.size()),
                                            static_cast<DWORD>(body.size()), context)
                  : http.WinHttpSendRequest(request_, u"", nullptr, 0, 0, context);
  if (!sent) return CleanUp(kWebSendFailed);
  if (!Wait()) return CleanUp(simpleGet ? kWebSendFailed : kWebSendTimeout);
  if (!http.WinHttpReceiveResponse(request_)) return CleanUp(kWebReceiveFailed);
  if (check) {
    if (ResponseHook hook = GetResponseHook(); hook && !hook(*this))
      return CleanUp(simpleGet ? kWebResponseTimeout : kWebReceiveFailed);
  }
  if (!Wait()) return CleanUp(kWebResponseTimeout);
  if (ReadStatus() != 0) return CleanUp(kWebStatusUnreadable);
  if (httpStatus_ >= 400) {
    Log(func, kLogWarning, u"HTTP status error: %d", httpStatus_);
    return CleanUp(kWebHttpError);
  }
  if (!answer) return CleanUp(0);

  std::span<char> buf = *answer;
  if (buf.empty()) return CleanUp(kWebBufferTooSmall);
  uint32_t stored = 0;
  for (;;) {
    bytesAvailable_ = 0;
    if (!http.WinHttpQueryDataAvailable(request_, nullptr)) return CleanUp(kWebDataFailed);
    if (!Wait()) return CleanUp(kWebReceiveTimeout);
    const DWORD avail = bytesAvailable_;
    if (avail == 0) break;
    if (uint64_t{stored} + avail >= buf.size()) return CleanUp(kWebBufferTooSmall);
    bytesRead_ = 0;
    if (!http.WinHttpReadData(request_, buf.data() + stored, avail, nullptr)) return CleanUp(kWebDataFailed);
    if (!Wait()) return CleanUp(kWebReceiveTimeout);
    stored += bytesRead_;
  }
  return CleanUp(AnswerResult(buf, stored));
}


// ---- Downloads ----

int32_t WebQuery::OpenFileStream(const std::u16string& tempName, bool restart, int64_t* offset) {
  file_ = Files().CreateFileW(tempName, GENERIC_WRITE, 0, restart ? CREATE_ALWAYS : OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL);
  if (file_ == INVALID_HANDLE_VALUE) {
    Log(u"OpenFileStream", kLogWarning, u"Fail to open file: %s (%d)", tempName, GetLastError());
    return kWebFileOpenFailed;
  }
  *offset = 0;
  if (!restart && !Files().SetFilePointerEx(file_, 0, offset, FILE_END)) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return kWebFileWriteFailed;
  }
  return 0;
}

int32_t WebQuery::QueryContentLength(std::u16string_view path) {
  Lock();
  IHttp& http = Http();
  httpStatus_ = 0;
  Time().ResetEvent(event_);
  connection_ = http.WinHttpConnect(session_, host_, static_cast<INTERNET_PORT>(httpPort_));
  if (!connection_) return CleanUp(kWebConnectFailed);
  request_ = http.WinHttpOpenRequest(connection_, u"GET", path, 0);
  if (!request_) return CleanUp(kWebOpenRequestFailed);
  if (http.WinHttpSetStatusCallback(request_, &WebQuery::StatusCallback, kNotifications) ==
      WINHTTP_INVALID_STATUS_CALLBACK)
    return CleanUp(kWebCallbackFailed);
  if (!http.WinHttpSendRequest(request_, u"", nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(this)))
    return CleanUp(kWebSendFailed);
  if (!Wait()) return CleanUp(kWebSendTimeout);
  if (!http.WinHttpReceiveResponse(request_)) return CleanUp(kWebReceiveFailed);
  if (!Wait()) return CleanUp(kWebResponseTimeout);
  DWORD length = 0, len = sizeof length;
  if (!http.WinHttpQueryHeaders(request_, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, u"", &length,
                                &len))
    return CleanUp(kWebStatusUnreadable);
  return CleanUp(static_cast<int32_t>(length));
}

int32_t WebQuery::DownloadPlain(std::u16string_view path, std::u16string_view name, std::u16string_view folder,
                                bool restart) {
  if (!requestLock_) return kWebException;
  CreateFolderPath(folder);
  const int32_t size = QueryContentLength(path);
  if (size <= 0) return size;
  return Download(false, path, size, name, folder, restart);
}

int32_t WebQuery::DownloadHttps(std::u16string_view path, uint32_t expectedSize, std::u16string_view name,
                                std::u16string_view folder, bool restart) {
  if (!requestLock_) return kWebException;
  const std::u16string finalName = Fmt(u"%s\\%s", folder, name);
  const std::u16string tempName = Fmt(u"%s\\%s.tmp", folder, name);
  if (useCurl_) return Download_cURL(path, expectedSize, finalName, tempName, restart);
  CreateFolderPath(folder);
  return Download(true, path, expectedSize, name, folder, restart);
}

int32_t WebQuery::Download(bool secure, std::u16string_view path, int64_t size, std::u16string_view name,
                           std::u16string_view folder, bool restart) {
  const std::u16string finalName = Fmt(u"%s\\%s", folder, name);
  const std::u16string tempName = Fmt(u"%s\\%s.tmp", folder, name);
  int64_t offset = 0;
  if (int32_t r = OpenFileStream(tempName, restart, &offset)) return r;
  activeChunk_ = size < splitThreshold_ ? 0 : splitChunk_;

  // DownloadFile needs the path; kept here so it reads like the other steps.
  pendingPath_ = std::u16string(path);
  int32_t received = DownloadFile(secure, offset);
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  if (received < 0) {
    Files().DeleteFileW(tempName);
    return received;
  }
  if (offset + received != size) {
    Files().DeleteFileW(tempName);
    lastResult_ = kWebSizeMismatch;
    return kWebSizeMismatch;
  }
  if (!Files().MoveFileExW(tempName, finalName, MOVEFILE_REPLACE_EXISTING)) {
    lastResult_ = kWebRenameFailed;
    return kWebRenameFailed;
  }
  return received;
}

int32_t WebQuery::DownloadFile(bool secure, int64_t offset) {
  Lock();
  IHttp& http = Http();
  httpStatus_ = 0;
  Time().ResetEvent(event_);
  try {
    connection_ =
        http.WinHttpConnect(session_, host_, static_cast<INTERNET_PORT>(secure ? httpsPort_ : httpPort_));
    if (!connection_) return CleanUp(kWebConnectFailed);
    request_ = http.WinHttpOpenRequest(connection_, u"GET", pendingPath_, secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request_) return CleanUp(kWebOpenRequestFailed);
    if (http.WinHttpSetStatusCallback(request_, &WebQuery::StatusCallback, kNotifications) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
      return CleanUp(kWebCallbackFailed);
    if (secure) http.WinHttpSetOption(request_, WINHTTP_OPTION_SECURITY_FLAGS, &securityFlags_, sizeof securityFlags_);
    if (offset > 0) {
      const std::u16string range = Fmt(u"Range:bytes=%lld-", offset);
      if (!http.WinHttpAddRequestHeaders(request_, range, WINHTTP_ADDREQ_FLAG_ADD)) return CleanUp(kWebRangeFailed);
    }
    if (!http.WinHttpSendRequest(request_, u"", nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(this)))
      return CleanUp(kWebSendFailed);
    if (!Wait()) return CleanUp(kWebSendTimeout);
    if (!http.WinHttpReceiveResponse(request_)) return CleanUp(kWebReceiveFailed);
    if (!Wait()) return CleanUp(kWebResponseTimeout);
    if (ReadStatus() != 0) return CleanUp(kWebStatusUnreadable);
    if (httpStatus_ == 416) return CleanUp(0);
    if (httpStatus_ >= 400) {
      Log(u"DownloadFile", kLogWarning, u"HTTP status error: %d", httpStatus_);
      return CleanUp(kWebHttpError);
    }
    return CleanUp(SaveWebFile());
  } catch (const std::exception&) {
    return CleanUp(kWebException);
  }
}

int32_t WebQuery::SaveWebFile() {
  IHttp& http = Http();
  if (activeChunk_) Log(u"SaveWebFile", kLogInfo, u"Split mode: %d", activeChunk_);
  std::vector<char> buffer(kReadBlock);
  uint32_t total = 0;
  uint32_t chunkLeft = activeChunk_;
  for (;;) {
    bytesAvailable_ = 0;
    if (!http.WinHttpQueryDataAvailable(request_, nullptr)) return kWebDataFailed;
    if (!Wait()) return kWebReceiveTimeout;
    DWORD toRead = bytesAvailable_;
    if (toRead == 0) break;
    toRead = std::min<DWORD>(toRead, kReadBlock);
    // A read never crosses a chunk boundary, so every pause falls after exactly one chunk.
    if (activeChunk_) toRead = std::min<DWORD>(toRead, chunkLeft);
    bytesRead_ = 0;
    if (!http.WinHttpReadData(request_, buffer.data(), toRead, nullptr)) return kWebDataFailed;
    if (!Wait()) return kWebReceiveTimeout;
    const DWORD got = bytesRead_;
    DWORD written = 0;
    if (!Files().WriteFile(file_, buffer.data(), got, &written) || written != got) return kWebFileWriteFailed;
    total += got;
    if (activeChunk_) {
      chunkLeft -= got;
      if (chunkLeft == 0) {
        Time().Sleep(kWinHttpPause);
        chunkLeft = activeChunk_;
      }
    }
  }
  return static_cast<int32_t>(total);
}


// ---- Uploads ----

int32_t WebQuery::UploadPlain(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) {
  return Upload(false, path, fileName, folder, preamble);
}

int32_t WebQuery::UploadHttps(std::u16string_view path, std::string_view fileName, std::string_view folder,
                              std::string_view preamble) {
  if (useCurl_) return UploadCurl(path, fileName, folder);
  return Upload(true, path, fileName, folder, preamble);
}

int32_t WebQuery::Upload(bool secure, std::u16string_view path, std::string_view fileName, std::string_view folder,
                         std::string_view preamble) {
  if (!requestLock_) return kWebException;
  const std::u16string source = AnsiToWide(FmtA("%s\\%s", folder, fileName));
  if (!PathExists(source)) return 0;
  file_ = Files().CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL);
  if (file_ == INVALID_HANDLE_VALUE) return kWebFileOpenFailed;
  int64_t size64 = 0;
  Files().GetFileSizeEx(file_, &size64);
  const uint32_t size = static_cast<uint32_t>(size64);
  auto closeFile = [&](int32_t r) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return r;
  };

  Lock();
  IHttp& http = Http();
  httpStatus_ = 0;
  int32_t result = 0;
  try {
    connection_ = http.WinHttpConnect(syncSession_, host_, static_cast<INTERNET_PORT>(secure ? httpsPort_ : httpPort_));
    if (!connection_) return closeFile(CleanUp(kWebConnectFailed));
    request_ = http.WinHttpOpenRequest(connection_, u"POST", path,
                                       WINHTTP_FLAG_BYPASS_PROXY_CACHE | (secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) return closeFile(CleanUp(kWebOpenRequestFailed));
    if (secure) http.WinHttpSetOption(request_, WINHTTP_OPTION_SECURITY_FLAGS, &securityFlags_, sizeof securityFlags_);
    http.WinHttpAddRequestHeaders(request_, Fmt(u"Content-Type: multipart/form-data; boundary=%s", kBoundary),
                                  WINHTTP_ADDREQ_FLAG_ADD);
    const std::string partHeader = FmtA(
        "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"%s\"\r\nContent-Type: text/plain\r\n\r\n",
        kBoundary, fileName);
    const std::string closing = FmtA("\r\n--%s--\r\n", kBoundary);
    // A cut part header would send a broken request: refuse names that do not fit.
    if (partHeader.size() > 1023 || closing.size() > 255) return closeFile(CleanUp(kWebRangeFailed));
    const uint64_t total = preamble.size() + partHeader.size() + uint64_t{size} + closing.size();
    if (!http.WinHttpSendRequest(request_, u"", nullptr, 0, static_cast<DWORD>(total), 0))
      return closeFile(CleanUp(kWebSendFailed));
    auto write = [&](const char* data, size_t len) {
      DWORD written = 0;
      return len == 0 || (http.WinHttpWriteData(request_, data, static_cast<DWORD>(len), &written) && written == len);
    };
    bool ok = write(preamble.data(), preamble.size()) && write(partHeader.data(), partHeader.size());
    std::vector<char> block(kUploadBlock);
    for (uint32_t sent = 0; ok && sent < size;) {
      DWORD got = 0;
      if (!Files().ReadFile(file_, block.data(), kUploadBlock, &got) || got == 0) {
        ok = false;
        break;
      }
      ok = write(block.data(), got);
      sent += got;
    }
    if (!ok) return closeFile(CleanUp(kWebUploadWriteFailed));
    if (!write(closing.data(), closing.size())) return closeFile(CleanUp(kWebUploadWriteFailed));
    if (!http.WinHttpReceiveResponse(request_)) return closeFile(CleanUp(kWebReceiveFailed));
    if (ReadStatus() != 0) return closeFile(CleanUp(kWebStatusUnreadable));
    if (httpStatus_ >= 400) {
      Log(secure ? u"UploadHttps" : u"UploadPlain", kLogWarning, u"HTTP status error: %d", httpStatus_);
      return closeFile(CleanUp(kWebHttpError));
    }
    result = CleanUp(0);
  } catch (const std::exception&) {
    result = CleanUp(kWebException);
  }
  closeFile(0);
  return result == 0 ? static_cast<int32_t>(size) : result;
}


}  // namespace qz
