// The libcurl path of WebQuery (Vista, Server 2008 and older), over the easy interface's wrapper.
#include <cstring>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/curl_easy.h"
#include "transport/web_query.h"

namespace qz {

using namespace win;

void WebQuery::OpenCurl() {
  curl_ = curl::Open();
  if (!curl_) return;
  using curl::Option;
  curl::Set(curl_, Option::ConnectTimeoutMs, static_cast<long>(timeout_));
  curl::Set(curl_, Option::UserAgent, WideToUtf8(kWebUserAgent).c_str());
  curl::SetWriter(curl_, &WebQuery::CurlWrite, this);
  curl::Set(curl_, Option::SslVerifyPeer, 0L);
  curl::Set(curl_, Option::SslVerifyHost, 0L);
  curl::Set(curl_, Option::NoSignal, 1L);
  curl::Set(curl_, Option::Proxy, "");
  // Without this a silent server would hold a request for ever: give up after the time-out
  // without a single byte.
  curl::Set(curl_, Option::LowSpeedLimit, 1L);
  curl::Set(curl_, Option::LowSpeedTime, static_cast<long>((timeout_ + 999) / 1000));
}

void WebQuery::CloseCurl() {
  curl::Close(curl_);
  curl_ = nullptr;
}

bool WebQuery::SetCurlTimeout(uint32_t ms) {
  const bool connect = curl::Set(curl_, curl::Option::ConnectTimeoutMs, static_cast<long>(ms));
  const bool whole = curl::Set(curl_, curl::Option::TimeoutMs, static_cast<long>(ms));
  return connect && whole;
}

int32_t WebQuery::RequestCurl(Form form, std::u16string_view path, std::string_view body,
                              std::span<char>* answer) {
  Lock();
  if (!curl_) return CleanUp(kWebCurlBase - curl::kFailedInit);
  const std::string url = CurlUrl(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  httpStatus_ = 0;
  if (answer) {
    if (answer->empty()) return CleanUp(kWebBufferTooSmall);
    curlSink_ = 1;
    sinkBuffer_ = answer->data();
    sinkLength_ = 0;
    sinkRoom_ = static_cast<uint32_t>(answer->size());
  } else {
    curlSink_ = 0;
  }
  if (form == Form::Post) {
    curl::Set(curl_, curl::Option::PostFieldSize, static_cast<long>(body.size()));
    curl::Set(curl_, curl::Option::PostFields, body.data());
  } else {
    curl::Set(curl_, curl::Option::PostFieldSize, 0L);
    curl::Set(curl_, curl::Option::PostFields, static_cast<const char*>(nullptr));
  }
  const int rc = curl::Perform(curl_);
  if (rc != curl::kOk) return CleanUp(kWebCurlBase - rc);
  if (!answer) return CleanUp(0);
  return CleanUp(AnswerResult(*answer, sinkLength_));
}

size_t WebQuery::CurlWrite(char* data, size_t size, size_t count, void* user) {
  auto* self = static_cast<WebQuery*>(user);
  const size_t block = size * count;
  switch (self->curlSink_) {
    case 1:
      if (block >= self->sinkRoom_) return 0;
      std::memcpy(self->sinkBuffer_ + self->sinkLength_, data, block);
      self->sinkLength_ += static_cast<uint32_t>(block);
      self->sinkRoom_ -= static_cast<uint32_t>(block);
      return block;
    case 2: {
      DWORD written = 0;
      if (!Files().WriteFile(self->file_, data, static_cast<DWORD>(block), &written) || written != block) {
        self->fileWriteFailed_ = true;
        return 0;
      }
      self->fileBytes_ += written;
      if (self->activeChunk_) {
        self->chunkBytes_ += static_cast<uint32_t>(block);
        if (self->chunkBytes_ >= self->activeChunk_) {
          self->chunkBytes_ = 0;
          Time().Sleep(kCurlPause);
        }
      }
      return written;
    }
    default:
      return block;
  }
}

int32_t WebQuery::Download_cURL(std::u16string_view path, uint32_t expectedSize, const std::u16string& finalName,
                                const std::u16string& tempName, bool restart) {
  Lock();
  if (!curl_) return CleanUp(kWebCurlTransferBase - curl::kFailedInit);
  const std::string url = CurlUrl(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  int64_t offset = 0;
  if (int32_t r = OpenFileStream(tempName, restart, &offset)) return CleanUp(r);
  activeChunk_ = expectedSize < splitThreshold_ ? 0 : splitChunk_;
  if (activeChunk_) Log(u"Download_cURL", kLogInfo, u"[S] Split mode: %d", activeChunk_);
  fileBytes_ = 0;
  chunkBytes_ = 0;
  fileWriteFailed_ = false;
  if (activeChunk_) {
    // libcurl takes its buffer size when a transfer starts, so it is set once, here.
    long size = activeChunk_ < static_cast<uint32_t>(kCurlPacedBuffer) ? static_cast<long>(activeChunk_)
                                                                        : kCurlPacedBuffer;
    curl::Set(curl_, curl::Option::BufferSize, size);
  }
  curlSink_ = 2;

  // A download is a plain GET whatever the previous request was, and an error page is never saved.
  curl::Set(curl_, curl::Option::HttpGet, 1L);
  curl::Set(curl_, curl::Option::FailOnError, 1L);
  std::vector<std::string> headers;
  if (offset > 0) headers.push_back(FmtA("Range:bytes=%lld-", offset));
  int rc = curl::Perform(curl_, headers);
  const long status = curl::ResponseCode(curl_);
  curl::Set(curl_, curl::Option::FailOnError, 0L);
  curl::Set(curl_, curl::Option::BufferSize, curl::kMaxWriteSize);
  curlSink_ = 0;
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  httpStatus_ = static_cast<uint32_t>(status);
  // 416: the temporary file already holds everything.
  if (rc == curl::kHttpReturnedError && status == 416) rc = curl::kOk;
  if (rc != curl::kOk) return CleanUp(kWebCurlTransferBase - rc);
  const int32_t total = static_cast<int32_t>(offset + fileBytes_);
  if (!Files().MoveFileExW(tempName, finalName, MOVEFILE_REPLACE_EXISTING)) {
    Log(u"Download_cURL", kLogWarning, u"[S] Fail to rename file: %s (%d)", tempName, GetLastError());
    Files().DeleteFileW(tempName);
    return CleanUp(kWebRenameFailed);
  }
  return CleanUp(total);
}

namespace {
size_t ReadUploadFile(char* buffer, size_t size, size_t count, void* user) {
  DWORD got = 0;
  if (!Files().ReadFile(static_cast<HANDLE>(user), buffer, static_cast<DWORD>(size * count), &got))
    return curl::kReadAbort;
  return got;
}
}  // namespace

int32_t WebQuery::UploadCurl(std::u16string_view path, std::string_view fileName, std::string_view folder) {
  if (!requestLock_) return kWebException;
  const std::u16string source = AnsiToWide(FmtA("%s\\%s", folder, fileName));
  HANDLE file = Files().CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return kWebFileOpenFailed;
  int64_t size = 0;
  Files().GetFileSizeEx(file, &size);

  Lock();
  if (!curl_) {
    CloseHandle(file);
    return CleanUp(kWebCurlTransferBase - curl::kFailedInit);
  }
  const std::string url = CurlUrl(path);
  curl::Set(curl_, curl::Option::Url, url.c_str());
  // Three parts: the file itself (read through the platform's files), its name, and "submit".
  curlSink_ = 3;
  const int rc = curl::PostFileForm(curl_, std::string(fileName), size, ReadUploadFile, file);
  curlSink_ = 0;
  CloseHandle(file);
  if (rc != curl::kOk && rc != curl::kWriteError) return CleanUp(kWebCurlTransferBase - rc);
  return CleanUp(static_cast<int32_t>(size));
}

}  // namespace qz
