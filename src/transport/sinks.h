// Where a query's answers and downloads go, and where its uploads come from. Both transports
// write through the same sinks, so the overflow rule, the resume offset and the split-mode pauses
// are the same whichever transport carries the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_handle.h"
#include "platform/types.h"
#include "transport/query_state.h"

namespace qz {

// The caller's answer buffer. It always keeps room for the terminator: bytes that would fill it
// to the last byte are refused.
class AnswerSink {
 public:
  explicit AnswerSink(std::span<char> buffer) : buffer_(buffer) {}

  bool Empty() const { return buffer_.empty(); }
  // Where the next n bytes go, or null when they do not fit.
  char* Reserve(size_t n);
  void Commit(size_t n) { stored_ += n; }
  // Reserve, copy and commit; false when the bytes do not fit.
  bool Write(const char* data, size_t n);
  // Terminates what was stored; the server's number of an "_err=N" answer, else the length.
  int32_t Result();

 private:
  std::span<char> buffer_;
  size_t stored_ = 0;
};

// A download's temporary file "<final>.tmp": continued where an earlier attempt stopped unless
// restarted, paced in split mode, and moved over the final name once complete.
class DownloadSink {
 public:
  DownloadSink(std::u16string finalName, std::u16string tempName)
      : finalName_(std::move(finalName)), tempName_(std::move(tempName)) {}

  // 0, kWebFileOpenFailed (logged) or kWebFileWriteFailed.
  int32_t Open(bool restart, const QueryState& query);
  // The announced size the file may reach, what it held included: a write that would pass it is
  // refused and marks the body as too long, so a server cannot fill the disk.
  void Bound(int64_t size) { bound_ = size; }
  bool TooLong() const { return tooLong_; }
  // Bytes the file held when opened for resuming.
  int64_t Offset() const { return offset_; }
  // The request header that asks for the rest only; empty when starting from the beginning.
  std::string RangeHeader() const;

  // Split mode: a pause of pauseMs after every chunk bytes written (chunk 0: no pauses).
  void Pace(uint32_t chunk, win::DWORD pauseMs) {
    chunk_ = chunk;
    pauseMs_ = pauseMs;
  }
  uint32_t Chunk() const { return chunk_; }
  // n cut so that a read ends at the next pause at the latest.
  win::DWORD ReadLimit(win::DWORD n) const;
  bool Write(const char* data, size_t n);
  // Bytes written since Open.
  int64_t Written() const { return written_; }

  void Close() { file_.Close(); }
  bool MoveToFinal() const;
  void Remove() const;
  const std::u16string& TempName() const { return tempName_; }

 private:
  std::u16string finalName_;
  std::u16string tempName_;
  win::FileHandle file_;
  int64_t offset_ = 0;
  int64_t written_ = 0;
  int64_t bound_ = -1;  // -1: none
  bool tooLong_ = false;
  uint32_t chunk_ = 0;
  uint32_t paced_ = 0;  // bytes since the last pause
  win::DWORD pauseMs_ = 0;
};

// The file an upload sends, read from the start.
class UploadSource {
 public:
  bool Open(std::u16string_view path);
  int64_t Size() const;
  bool Read(char* buffer, win::DWORD n, win::DWORD* got);
  void Close() { file_.Close(); }

 private:
  win::FileHandle file_;
};

}  // namespace qz
