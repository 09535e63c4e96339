#include "transport/curl_transport.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "transport/web_results.h"

namespace qz {

using namespace win;

namespace {

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

template <class Sink>
size_t WriteTo(char* data, size_t size, size_t count, void* user) {
  const size_t block = size * count;
  return static_cast<Sink*>(user)->Write(data, block) ? block : 0;
}

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  DWORD got = 0;
  if (!static_cast<UploadSource*>(user)->Read(buffer, static_cast<DWORD>(size * count), &got))
    return curl::kReadAbort;
  return got;
}

// Points the handle's writer at one request's sink, and back at nothing when the request ends, so
// the handle never holds a sink that is gone.
class ScopedWriter {
 public:
  template <class Sink>
  ScopedWriter(curl::Handle curl, Sink* sink) : curl_(curl) {
    curl::SetWriter(curl_, &WriteTo<Sink>, sink);
  }
  ~ScopedWriter() { curl::SetWriter(curl_, &Discard, nullptr); }
  ScopedWriter(const ScopedWriter&) = delete;
  ScopedWriter& operator=(const ScopedWriter&) = delete;

 private:
  curl::Handle curl_;
};

}  // namespace

CurlTransport::~CurlTransport() { curl::Close(curl_); }

void CurlTransport::Open() {
  curl_ = curl::Open();
  if (!curl_) return;
  using curl::Option;
  curl::Set(curl_, Option::ConnectTimeoutMs, static_cast<long>(state_.timeout));
  curl::Set(curl_, Option::UserAgent, WideToUtf8(kWebUserAgent).c_str());
  curl::SetWriter(curl_, &Discard, nullptr);
  curl::Set(curl_, Option::SslVerifyPeer, 0L);
  curl::Set(curl_, Option::SslVerifyHost, 0L);
  curl::Set(curl_, Option::NoSignal, 1L);
  curl::Set(curl_, Option::Proxy, "");
  // Without this a silent server would hold a request for ever: give up after the time-out
  // without a single byte.
  curl::Set(curl_, Option::LowSpeedLimit, 1L);
  curl::Set(curl_, Option::LowSpeedTime, static_cast<long>((state_.timeout + 999) / 1000));
}

bool CurlTransport::SetTimeout(uint32_t ms) {
  const bool connect = curl::Set(curl_, curl::Option::ConnectTimeoutMs, static_cast<long>(ms));
  const bool whole = curl::Set(curl_, curl::Option::TimeoutMs, static_cast<long>(ms));
  return connect && whole;
}

std::string CurlTransport::Url(std::u16string_view path) const {
  std::string p = path.empty() ? std::string("/") : WideToAnsi(path);
  if (p.size() > kMaxUrlPath) p.resize(kMaxUrlPath);
  if (state_.httpsPort == 443) return FmtA("https://%s%s", state_.hostA, p);
  return FmtA("https://%s:%d%s", state_.hostA, state_.httpsPort, p);
}

int32_t CurlTransport::Request(WebForm form, std::u16string_view path, std::string_view body, AnswerSink* answer) {
  RequestScope scope(state_);
  return scope.End(Form(form, path, body, answer));
}

int32_t CurlTransport::Form(WebForm form, std::u16string_view path, std::string_view body, AnswerSink* answer) {
  if (!curl_) return kWebCurlBase - curl::kFailedInit;
  const std::string url = Url(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  state_.httpStatus = 0;
  if (answer && answer->Empty()) return kWebBufferTooSmall;
  // Without an answer buffer the answer is dropped by the handle's standing writer.
  std::optional<ScopedWriter> writer;
  if (answer) writer.emplace(curl_, answer);
  if (form == WebForm::Post) {
    curl::Set(curl_, curl::Option::PostFieldSize, static_cast<long>(body.size()));
    curl::Set(curl_, curl::Option::PostFields, body.data());
  } else {
    curl::Set(curl_, curl::Option::PostFieldSize, 0L);
    curl::Set(curl_, curl::Option::PostFields, static_cast<const char*>(nullptr));
  }
  const int rc = curl::Perform(curl_);
  if (rc != curl::kOk) return kWebCurlBase - rc;
  if (!answer) return 0;
  return answer->Result();
}

int64_t CurlTransport::Download(std::u16string_view path, int64_t expectedSize, DownloadSink& file, bool restart) {
  RequestScope scope(state_);
  const int64_t result = Fetch(path, expectedSize, file, restart);
  return result < 0 ? scope.End(static_cast<int32_t>(result)) : scope.EndCount(result);
}

int64_t CurlTransport::Fetch(std::u16string_view path, int64_t expectedSize, DownloadSink& file, bool restart) {
  if (!curl_) return kWebCurlTransferBase - curl::kFailedInit;
  const std::string url = Url(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  if (int32_t r = file.Open(restart, state_)) return r;
  file.Bound(expectedSize);
  const uint32_t chunk = state_.SplitChunkFor(expectedSize);
  if (chunk) state_.Log(u"Download_cURL", kLogInfo, u"[S] Split mode: %d", chunk);
  file.Pace(chunk, kSplitPause);
  if (chunk) {
    // libcurl takes its buffer size when a transfer starts, so it is set once, here.
    long size = chunk < static_cast<uint32_t>(kPacedBuffer) ? static_cast<long>(chunk) : kPacedBuffer;
    curl::Set(curl_, curl::Option::BufferSize, size);
  }
  int rc = curl::kOk;
  long status = 0;
  {
    ScopedWriter writer(curl_, &file);
    // A download is a plain GET whatever the previous request was, and an error page is never saved.
    curl::Set(curl_, curl::Option::HttpGet, 1L);
    curl::Set(curl_, curl::Option::FailOnError, 1L);
    std::vector<std::string> headers;
    if (std::string range = file.RangeHeader(); !range.empty()) headers.push_back(std::move(range));
    rc = curl::Perform(curl_, headers);
    status = curl::ResponseCode(curl_);
    curl::Set(curl_, curl::Option::FailOnError, 0L);
    curl::Set(curl_, curl::Option::BufferSize, curl::kMaxWriteSize);
  }
  file.Close();
  state_.httpStatus = static_cast<uint32_t>(status);
  // 416: the temporary file already holds everything.
  if (rc == curl::kHttpReturnedError && status == 416) rc = curl::kOk;
  // Too long (refused by the writer) or too short: the file is not what was announced.
  if ((rc == curl::kWriteError && file.TooLong()) || (rc == curl::kOk && file.Offset() + file.Written() != expectedSize)) {
    file.Remove();
    return kWebSizeMismatch;
  }
  if (rc != curl::kOk) return kWebCurlTransferBase - rc;
  const int64_t total = file.Offset() + file.Written();
  if (!file.MoveToFinal()) {
    state_.Log(u"Download_cURL", kLogWarning, u"[S] Fail to rename file: %s (%d)", file.TempName(), GetLastError());
    file.Remove();
    return kWebRenameFailed;
  }
  return total;
}

int32_t CurlTransport::Upload(std::u16string_view path, std::string_view fileName, std::string_view folder) {
  const std::u16string source = AnsiToWide(FmtA("%s\\%s", folder, fileName));
  UploadSource file;
  if (!file.Open(source)) return kWebFileOpenFailed;
  const int64_t size = file.Size();

  RequestScope scope(state_);
  if (!curl_) {
    file.Close();
    return scope.End(kWebCurlTransferBase - curl::kFailedInit);
  }
  const std::string url = Url(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  // Three parts: the file itself (read through the platform's files), its name, and "submit".
  const int rc = curl::PostFileForm(curl_, std::string(fileName), size, &ReadUpload, &file);
  file.Close();
  if (rc != curl::kOk && rc != curl::kWriteError) return scope.End(kWebCurlTransferBase - rc);
  return scope.End(static_cast<int32_t>(size));
}

}  // namespace qz
