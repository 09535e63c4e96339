#include "transport/sinks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"
#include "transport/web_results.h"

namespace qz {

using namespace win;

char* AnswerSink::Reserve(size_t n) {
  if (uint64_t{stored_} + n >= buffer_.size()) return nullptr;
  return buffer_.data() + stored_;
}

bool AnswerSink::Write(const char* data, size_t n) {
  char* at = Reserve(n);
  if (!at) return false;
  if (n) std::memcpy(at, data, n);
  Commit(n);
  return true;
}

int32_t AnswerSink::Result() {
  buffer_[stored_] = '\0';
  if (stored_ >= 5 && std::memcmp(buffer_.data(), "_err=", 5) == 0) {
    int n = 0;
    if (std::sscanf(buffer_.data() + 5, "%d", &n) == 1) return n;
  }
  return static_cast<int32_t>(stored_);
}

int32_t DownloadSink::Open(bool restart, const QueryState& query) {
  file_.Close();
  file_.Reset(Files().CreateFileW(tempName_, GENERIC_WRITE, 0, restart ? CREATE_ALWAYS : OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL));
  if (!file_.IsOpen()) {
    query.Log(u"OpenFileStream", kLogWarning, u"Fail to open file: %s (%d)", tempName_, GetLastError());
    return kWebFileOpenFailed;
  }
  offset_ = 0;
  written_ = 0;
  paced_ = 0;
  tooLong_ = false;
  if (!restart && !Files().SetFilePointerEx(file_.get(), 0, &offset_, FILE_END)) {
    file_.Close();
    return kWebFileWriteFailed;
  }
  return 0;
}

std::string DownloadSink::RangeHeader() const {
  if (offset_ <= 0) return {};
  return FmtA("Range:bytes=%lld-", offset_);
}

DWORD DownloadSink::ReadLimit(DWORD n) const { return chunk_ ? std::min<DWORD>(n, chunk_ - paced_) : n; }

bool DownloadSink::Write(const char* data, size_t n) {
  if (bound_ >= 0 && static_cast<uint64_t>(offset_ + written_) + n > static_cast<uint64_t>(bound_)) {
    tooLong_ = true;
    return false;
  }
  DWORD written = 0;
  if (!Files().WriteFile(file_.get(), data, static_cast<DWORD>(n), &written) || written != n) return false;
  written_ += written;
  if (chunk_) {
    paced_ += written;
    if (paced_ >= chunk_) {
      paced_ = 0;
      Time().Sleep(pauseMs_);
    }
  }
  return true;
}

bool DownloadSink::MoveToFinal() const { return Files().MoveFileExW(tempName_, finalName_, MOVEFILE_REPLACE_EXISTING); }

void DownloadSink::Remove() const { Files().DeleteFileW(tempName_); }

bool UploadSource::Open(std::u16string_view path) {
  file_.Close();
  file_.Reset(Files().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL));
  return file_.IsOpen();
}

int64_t UploadSource::Size() const {
  int64_t size = 0;
  Files().GetFileSizeEx(file_.get(), &size);
  return size;
}

bool UploadSource::Read(char* buffer, DWORD n, DWORD* got) { return Files().ReadFile(file_.get(), buffer, n, got); }

}  // namespace qz
