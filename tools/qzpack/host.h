// What the agent's crypto code needs from a host program: a clock, code page conversions, a log
// on standard error, and files read through the container stream interface.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "crypto/zip_archive.h"
#include "logging/ilogger.h"
#include "platform/platform.h"

namespace qzpack {

// Makes a host platform (real clock, UTF-8 as the ANSI code page) the current one.
void UseHostPlatform();

// Every line at WARNING and above goes to standard error, prefixed with "log: ".
class StderrLogger : public qz::BasicLogger {
 public:
  int VLogMore(int level, std::u16string_view fmt, win::FmtArgs args) override;
  int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           win::FmtArgs args) override;
  int LogBlock(int level, std::u16string_view text) override;
  int VLogMoreA(int level, std::string_view fmt, win::FmtArgs args) override;
  int VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt, win::FmtArgs args) override;
  int LogBlockA(int level, std::string_view text) override;
  int SetLogLevel(int level) override {
    level_ = level;
    return 0;
  }
  std::u16string_view GetLogLevelName() override { return u""; }

  // The lines written so far, without the prefix.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  void Line(int level, std::string text);
  int level_ = qz::kLogWarning;
  std::vector<std::string> lines_;
};

// A host file as a container stream.
class FileStream : public qz::IContainerStream {
 public:
  explicit FileStream(const std::string& path) : f_(std::fopen(path.c_str(), "rb")) {}
  ~FileStream() override {
    if (f_) std::fclose(f_);
  }
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  bool ok() const { return f_ != nullptr; }
  bool Read(void* buffer, uint32_t size, uint32_t* got) override;
  bool Tell(int64_t* position) override;
  bool Seek(int64_t position) override;

 private:
  std::FILE* f_;
};

// Counts what unpacking would write, writing nothing.
class CountingSink : public qz::IEntrySink {
 public:
  struct Entry {
    std::string path;
    uint64_t size = 0;
  };
  bool Create(std::string_view ansiPath) override {
    entries.push_back({std::string(ansiPath), 0});
    return true;
  }
  bool Write(const uint8_t*, size_t size) override {
    entries.back().size += size;
    return true;
  }
  void Close() override {}
  std::vector<Entry> entries;
};

bool ReadHostFile(const std::string& path, std::string* out);
bool WriteHostFile(const std::string& path, std::string_view data, bool secret = false);

}  // namespace qzpack
