#include "transport/winhttp_transport.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/web_results.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kFormContentType[] = u"Content-Type: application/x-www-form-urlencoded";

}  // namespace

// The certificate comes from the WinHTTP-shaped request, so the view is read here.
bool ServerCertificateView::Read(std::vector<uint8_t>* der) const {
  PCCERT_CONTEXT context = nullptr;
  DWORD length = sizeof context;
  if (!request_ || !Http().WinHttpQueryOption(request_, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &length) ||
      !context)
    return false;
  der->assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
  CertFreeCertificateContext(context);
  return true;
}

// One request: the query's request lock for its whole life, and its connection and request
// handles, closed (notifications first) on every way out.
class WinHttpTransport::Exchange {
 public:
  explicit Exchange(WinHttpTransport& t) : t_(t), scope_(t.state_) { t_.state_.httpStatus = 0; }
  ~Exchange() { CloseHandles(); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  bool Connect(HINTERNET session, uint32_t port) {
    connection_ = Http().WinHttpConnect(session, t_.state_.host, static_cast<INTERNET_PORT>(port));
    return connection_ != nullptr;
  }
  bool Open(std::u16string_view verb, std::u16string_view path, DWORD flags) {
    request_ = Http().WinHttpOpenRequest(connection_, verb, path, flags);
    return request_ != nullptr;
  }
  bool Listen() {
    return Http().WinHttpSetStatusCallback(request_, &WinHttpTransport::StatusCallback, kNotifications) !=
           WINHTTP_INVALID_STATUS_CALLBACK;
  }
  void WaiveCertificateFaults() {
    Http().WinHttpSetOption(request_, WINHTTP_OPTION_SECURITY_FLAGS, &t_.securityFlags_, sizeof t_.securityFlags_);
  }
  HINTERNET request() const { return request_; }
  // Notifications go to the transport, which outlives every request: one that comes late finds
  // nothing freed.
  DWORD_PTR Context() const { return reinterpret_cast<DWORD_PTR>(&t_); }

  int64_t EndCount(int64_t result) {
    if (result < 0) return End(static_cast<int32_t>(result));
    CloseHandles();
    return scope_.EndCount(result);
  }
  int32_t End(int32_t result) {
    // A connect refused for a stale session handle: the next request gets fresh sessions.
    if (result == kWebConnectFailed && GetLastError() == ERROR_INVALID_HANDLE) {
      if (t_.Reopen()) {
        t_.state_.Log(u"CleanUp", kLogWarning, u"WinHttp 세션 재초기화 성공");
      } else {
        t_.state_.Log(u"CleanUp", kLogWarning, u"WinHttp 세션 재초기화 실패");
      }
    }
    CloseHandles();
    return scope_.End(result);
  }

 private:
  void CloseHandles() {
    if (request_) {
      Http().WinHttpSetStatusCallback(request_, nullptr, 0);
      Http().WinHttpCloseHandle(request_);
      request_ = nullptr;
    }
    if (connection_) {
      Http().WinHttpCloseHandle(connection_);
      connection_ = nullptr;
    }
  }

  WinHttpTransport& t_;
  RequestScope scope_;  // first in, last out: the handles close before the lock is let go
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
};

WinHttpTransport::WinHttpTransport(QueryState& state) : state_(state) { AdoptCurrentHost(); }

WinHttpTransport::~WinHttpTransport() {
  CloseSessions();
  if (event_ && OwnsHandlesHere()) CloseHandle(event_);
}

bool WinHttpTransport::OwnsHandlesHere() const {
  return Platform::HasCurrent() && handleOwner_ == &Platform::Current();
}

void WinHttpTransport::AdoptCurrentHost() {
  if (OwnsHandlesHere()) return;
  // Handles of a host that is gone are not ours to close; start afresh on this one.
  session_ = syncSession_ = nullptr;
  handleOwner_ = &Platform::Current();
  event_ = Time().CreateEventW(FALSE, FALSE);
}

bool WinHttpTransport::OpenSessions(const char16_t* func) {
  IHttp& http = Http();
  session_ = http.WinHttpOpen(kWebUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, u"", u"", WINHTTP_FLAG_ASYNC);
  if (!session_) {
    state_.Log(func, kLogFatal, u"Cannot open HTTP Session (%ld)", GetLastError());
    return false;
  }
  if (!http.WinHttpSetOption(session_, WINHTTP_OPTION_SECURE_PROTOCOLS, &secureProtocols_, sizeof secureProtocols_))
    state_.Log(func, kLogInfo, u"Fail to bind protocol: %ld", GetLastError());
  syncSession_ = http.WinHttpOpen(kWebUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, u"", u"", 0);
  if (!syncSession_) {
    state_.Log(func, kLogFatal, u"Cannot open sync HTTP Session (%ld)", GetLastError());
    return false;
  }
  http.WinHttpSetOption(syncSession_, WINHTTP_OPTION_SECURE_PROTOCOLS, &secureProtocols_, sizeof secureProtocols_);
  const int t = static_cast<int>(state_.timeout);
  http.WinHttpSetTimeouts(session_, t, t, t, t);
  http.WinHttpSetTimeouts(syncSession_, t, t, t, t);
  return true;
}

void WinHttpTransport::CloseSessions() {
  if (!OwnsHandlesHere()) return;
  if (session_) Http().WinHttpCloseHandle(session_);
  if (syncSession_) Http().WinHttpCloseHandle(syncSession_);
  session_ = syncSession_ = nullptr;
}

bool WinHttpTransport::Reopen() {
  CloseSessions();
  OpenSessions(u"Reinitialize_WinHttp");
  return session_ && syncSession_;
}

bool WinHttpTransport::SetTimeout(uint32_t ms) {
  const int t = static_cast<int>(ms);
  return session_ && Http().WinHttpSetTimeouts(session_, t, t, t, t);
}

int32_t WinHttpTransport::Await(int32_t failed, int32_t timedOut) {
  if (Time().WaitForSingleObject(event_, state_.timeout, WaitKind::Limit) != WAIT_OBJECT_0) return timedOut;
  if (!stepFailed_.exchange(false)) return 0;
  return stepError_ == ERROR_WINHTTP_TIMEOUT ? timedOut : failed;
}

void WinHttpTransport::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD infoLength) {
  if (!context) return;
  auto* self = reinterpret_cast<WinHttpTransport*>(context);
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
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      // A server that breaks off must not cost the whole time-out: the waiting step fails now.
      WINHTTP_ASYNC_RESULT result{};
      if (info && infoLength >= sizeof result) std::memcpy(&result, info, sizeof result);
      self->stepError_ = result.dwError;
      self->stepFailed_ = true;
      Time().SetEvent(self->event_);
      break;
    }
    default:
      break;
  }
}

void WinHttpTransport::SecureFailure(DWORD flags) {
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
      state_.Log(u"SecureFailure", t.level, t.text);
      return;
    }
  }
  state_.Log(u"SecureFailure", kLogDebug, u"알 수 없는 오류 발생");
}

int32_t WinHttpTransport::ReadStatus(HINTERNET request) {
  DWORD status = 0, len = sizeof status;
  if (!Http().WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, u"", &status,
                                  &len))
    return kWebStatusUnreadable;
  state_.httpStatus = status;
  return 0;
}


// ---- Form requests ----

int32_t WinHttpTransport::Request(const char16_t* func, WebForm form, std::u16string_view path,
                                  std::string_view body, AnswerSink* answer, bool check) {
  Exchange x(*this);
  return x.End(Form(x, func, form, path, body, answer, check));
}

int32_t WinHttpTransport::Form(Exchange& x, const char16_t* func, WebForm form, std::u16string_view path,
                               std::string_view body, AnswerSink* answer, bool check) {
  IHttp& http = Http();
  // A completion left over from an abandoned request must not satisfy this one's first wait.
  Time().ResetEvent(event_);
  stepFailed_ = false;
  // The status-only GET runs its own codes for a late send and a refused response.
  const bool simpleGet = !answer && form == WebForm::Get;

  if (!x.Connect(session_, state_.httpsPort)) return kWebConnectFailed;
  if (!x.Open(form == WebForm::Post ? u"POST" : u"GET", path, WINHTTP_FLAG_SECURE)) return kWebOpenRequestFailed;
  if (!x.Listen()) return kWebCallbackFailed;
  x.WaiveCertificateFaults();
  BOOL sent = form == WebForm::Post
                  ? http.WinHttpSendRequest(x.request(), kFormContentType, body.data(),
                                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()),
                                            x.Context())
                  : http.WinHttpSendRequest(x.request(), u"", nullptr, 0, 0, x.Context());
  if (!sent) return kWebSendFailed;
  if (int32_t r = Await(kWebSendFailed, simpleGet ? kWebSendFailed : kWebSendTimeout)) return r;
  if (!http.WinHttpReceiveResponse(x.request())) return kWebReceiveFailed;
  if (check && state_.certificateCheck && !state_.certificateCheck(ServerCertificateView(x.request())))
    return simpleGet ? kWebResponseTimeout : kWebReceiveFailed;
  if (int32_t r = Await(kWebReceiveFailed, kWebResponseTimeout)) return r;
  if (ReadStatus(x.request()) != 0) return kWebStatusUnreadable;
  if (state_.httpStatus >= 400) {
    state_.Log(func, kLogWarning, u"HTTP status error: %d", state_.httpStatus);
    return kWebHttpError;
  }
  if (!answer) return 0;

  if (answer->Empty()) return kWebBufferTooSmall;
  for (;;) {
    bytesAvailable_ = 0;
    if (!http.WinHttpQueryDataAvailable(x.request(), nullptr)) return kWebDataFailed;
    if (int32_t r = Await(kWebDataFailed, kWebReceiveTimeout)) return r;
    const DWORD avail = bytesAvailable_;
    if (avail == 0) break;
    char* at = answer->Reserve(avail);
    if (!at) return kWebBufferTooSmall;
    bytesRead_ = 0;
    if (!http.WinHttpReadData(x.request(), at, avail, nullptr)) return kWebDataFailed;
    if (int32_t r = Await(kWebDataFailed, kWebReceiveTimeout)) return r;
    answer->Commit(bytesRead_);
  }
  return answer->Result();
}


// ---- Downloads ----

int32_t WinHttpTransport::QueryContentLength(std::u16string_view path) {
  Exchange x(*this);
  return x.End(ContentLength(x, path));
}

int32_t WinHttpTransport::ContentLength(Exchange& x, std::u16string_view path) {
  IHttp& http = Http();
  Time().ResetEvent(event_);
  stepFailed_ = false;
  if (!x.Connect(session_, state_.httpPort)) return kWebConnectFailed;
  if (!x.Open(u"GET", path, 0)) return kWebOpenRequestFailed;
  if (!x.Listen()) return kWebCallbackFailed;
  if (!http.WinHttpSendRequest(x.request(), u"", nullptr, 0, 0, x.Context())) return kWebSendFailed;
  if (int32_t r = Await(kWebSendFailed, kWebSendTimeout)) return r;
  if (!http.WinHttpReceiveResponse(x.request())) return kWebReceiveFailed;
  if (int32_t r = Await(kWebReceiveFailed, kWebResponseTimeout)) return r;
  DWORD length = 0, len = sizeof length;
  if (!http.WinHttpQueryHeaders(x.request(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, u"", &length,
                                &len))
    return kWebStatusUnreadable;
  return static_cast<int32_t>(length);
}

int64_t WinHttpTransport::Download(bool secure, std::u16string_view path, int64_t size, DownloadSink& file,
                                   bool restart) {
  if (int32_t r = file.Open(restart, state_)) return r;
  file.Pace(state_.SplitChunkFor(size), kSplitPause);
  file.Bound(size);
  const int64_t received = Fetch(secure, path, file);
  file.Close();
  if (received < 0) {
    file.Remove();
    return received;
  }
  if (file.Offset() + received != size) {
    file.Remove();
    state_.lastResult = kWebSizeMismatch;
    return kWebSizeMismatch;
  }
  if (!file.MoveToFinal()) {
    state_.lastResult = kWebRenameFailed;
    return kWebRenameFailed;
  }
  return received;
}

int64_t WinHttpTransport::Fetch(bool secure, std::u16string_view path, DownloadSink& file) {
  try {
    Exchange x(*this);
    return x.EndCount(Receive(x, secure, path, file));
  } catch (const std::exception&) {
    state_.lastResult = kWebException;
    return kWebException;
  }
}

int64_t WinHttpTransport::Receive(Exchange& x, bool secure, std::u16string_view path, DownloadSink& file) {
  IHttp& http = Http();
  Time().ResetEvent(event_);
  stepFailed_ = false;
  if (!x.Connect(session_, secure ? state_.httpsPort : state_.httpPort)) return kWebConnectFailed;
  if (!x.Open(u"GET", path, secure ? WINHTTP_FLAG_SECURE : 0)) return kWebOpenRequestFailed;
  if (!x.Listen()) return kWebCallbackFailed;
  if (secure) x.WaiveCertificateFaults();
  if (const std::string range = file.RangeHeader(); !range.empty()) {
    if (!http.WinHttpAddRequestHeaders(x.request(), Utf8ToWide(range), WINHTTP_ADDREQ_FLAG_ADD))
      return kWebRangeFailed;
  }
  if (!http.WinHttpSendRequest(x.request(), u"", nullptr, 0, 0, x.Context())) return kWebSendFailed;
  if (int32_t r = Await(kWebSendFailed, kWebSendTimeout)) return r;
  if (!http.WinHttpReceiveResponse(x.request())) return kWebReceiveFailed;
  if (int32_t r = Await(kWebReceiveFailed, kWebResponseTimeout)) return r;
  if (ReadStatus(x.request()) != 0) return kWebStatusUnreadable;
  if (state_.httpStatus == 416) return 0;
  if (state_.httpStatus >= 400) {
    state_.Log(u"DownloadFile", kLogWarning, u"HTTP status error: %d", state_.httpStatus);
    return kWebHttpError;
  }
  return Save(x, file);
}

int64_t WinHttpTransport::Save(Exchange& x, DownloadSink& file) {
  IHttp& http = Http();
  if (file.Chunk()) state_.Log(u"SaveWebFile", kLogInfo, u"Split mode: %d", file.Chunk());
  std::vector<char> buffer(kReadBlock);
  for (;;) {
    bytesAvailable_ = 0;
    if (!http.WinHttpQueryDataAvailable(x.request(), nullptr)) return kWebDataFailed;
    if (int32_t r = Await(kWebDataFailed, kWebReceiveTimeout)) return r;
    DWORD toRead = bytesAvailable_;
    if (toRead == 0) break;
    // A read never crosses a chunk boundary, so every pause falls after exactly one chunk.
    toRead = file.ReadLimit(std::min<DWORD>(toRead, kReadBlock));
    bytesRead_ = 0;
    if (!http.WinHttpReadData(x.request(), buffer.data(), toRead, nullptr)) return kWebDataFailed;
    if (int32_t r = Await(kWebDataFailed, kWebReceiveTimeout)) return r;
    // Past the announced size: refused before it is written, whatever the server still sends.
    if (!file.Write(buffer.data(), bytesRead_)) return file.TooLong() ? kWebSizeMismatch : kWebFileWriteFailed;
  }
  return file.Written();
}


// ---- Uploads ----

int32_t WinHttpTransport::Upload(bool secure, std::u16string_view path, std::string_view fileName,
                                 std::string_view folder, std::string_view preamble) {
  const std::u16string source = AnsiToWide(FmtA("%s\\%s", folder, fileName));
  if (!PathExists(source)) return 0;
  UploadSource file;
  if (!file.Open(source)) return kWebFileOpenFailed;
  const uint32_t size = static_cast<uint32_t>(file.Size());
  int32_t result = 0;
  try {
    Exchange x(*this);
    result = x.End(Send(x, secure, path, fileName, preamble, file, size));
  } catch (const std::exception&) {
    state_.lastResult = kWebException;
    result = kWebException;
  }
  return result == 0 ? static_cast<int32_t>(size) : result;
}

int32_t WinHttpTransport::Send(Exchange& x, bool secure, std::u16string_view path, std::string_view fileName,
                               std::string_view preamble, UploadSource& source, uint32_t size) {
  IHttp& http = Http();
  if (!x.Connect(syncSession_, secure ? state_.httpsPort : state_.httpPort)) return kWebConnectFailed;
  if (!x.Open(u"POST", path, WINHTTP_FLAG_BYPASS_PROXY_CACHE | (secure ? WINHTTP_FLAG_SECURE : 0)))
    return kWebOpenRequestFailed;
  if (secure) x.WaiveCertificateFaults();
  http.WinHttpAddRequestHeaders(x.request(), Fmt(u"Content-Type: multipart/form-data; boundary=%s", kBoundary),
                                WINHTTP_ADDREQ_FLAG_ADD);
  const std::string partHeader = FmtA(
      "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"%s\"\r\nContent-Type: text/plain\r\n\r\n",
      kBoundary, fileName);
  const std::string closing = FmtA("\r\n--%s--\r\n", kBoundary);
  // A cut part header would send a broken request: refuse names that do not fit.
  if (partHeader.size() > 1023 || closing.size() > 255) return kWebRangeFailed;
  const uint64_t total = preamble.size() + partHeader.size() + uint64_t{size} + closing.size();
  if (!http.WinHttpSendRequest(x.request(), u"", nullptr, 0, static_cast<DWORD>(total), 0)) return kWebSendFailed;
  auto write = [&](const char* data, size_t len) {
    DWORD written = 0;
    return len == 0 ||
           (http.WinHttpWriteData(x.request(), data, static_cast<DWORD>(len), &written) && written == len);
  };
  bool ok = write(preamble.data(), preamble.size()) && write(partHeader.data(), partHeader.size());
  std::vector<char> block(kUploadBlock);
  for (uint32_t sent = 0; ok && sent < size;) {
    DWORD got = 0;
    if (!source.Read(block.data(), kUploadBlock, &got) || got == 0) {
      ok = false;
      break;
    }
    ok = write(block.data(), got);
    sent += got;
  }
  if (!ok) return kWebUploadWriteFailed;
  if (!write(closing.data(), closing.size())) return kWebUploadWriteFailed;
  if (!http.WinHttpReceiveResponse(x.request())) return kWebReceiveFailed;
  if (ReadStatus(x.request()) != 0) return kWebStatusUnreadable;
  if (state_.httpStatus >= 400) {
    state_.Log(secure ? u"UploadHttps" : u"UploadPlain", kLogWarning, u"HTTP status error: %d", state_.httpStatus);
    return kWebHttpError;
  }
  return 0;
}

}  // namespace qz
