// Helpers of the certificate and container tests: host scratch folders, shell commands (the
// openssl command line, python, qzpack), a logger that keeps its lines, and files of a machine.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "logging/ilogger.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace qztest {

// A host folder removed with the object.
class HostDir {
 public:
  HostDir() {
    static std::atomic<int> counter{0};
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qzsign-" + std::to_string(getpid()) + "-" +
            std::to_string(counter++);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~HostDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  HostDir(const HostDir&) = delete;
  HostDir& operator=(const HostDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command in dir; returns its exit status and fills *output with stdout and stderr.
inline int Shell(const std::string& dir, const std::string& command, std::string* output = nullptr) {
  std::string cmd = "cd " + Quote(dir) + " && (" + command + ") 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string Qzpack() { return Quote(BuiltProgram("qzpack")); }

// Keeps every line as "Tag::Function level message" (UTF-8) and continuation lines as they are.
class CaptureLogger : public qz::ILogger {
 public:
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // True when some line ends with the message (and, when given, comes from tag::func).
  bool Has(const std::string& message, const std::string& where = "") {
    for (const auto& l : Lines()) {
      if (l.size() >= message.size() && l.compare(l.size() - message.size(), message.size(), message) == 0 &&
          (where.empty() || l.rfind(where + " ", 0) == 0))
        return true;
    }
    return false;
  }
  std::string Dump() {
    std::string s;
    for (const auto& l : Lines()) s += l + "\n";
    return s;
  }

  int Open(std::u16string_view, std::u16string_view) override { return 0; }
  void Close() override {}
  int VLogMore(int, std::u16string_view fmt, win::FmtArgs args) override {
    return Add(win::WideToUtf8(win::FormatW(fmt, args)));
  }
  int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           win::FmtArgs args) override {
    return Add(win::WideToUtf8(win::Fmt(u"%s::%s %d ", tag, func, level) + win::FormatW(fmt, args)));
  }
  int LogBlock(int, std::u16string_view text) override { return Add(win::WideToUtf8(text)); }
  int LogText(int level, std::u16string_view text) override { return LogBlock(level, text); }
  void Lock() override {}
  int VLogMoreNoLock(int level, std::u16string_view fmt, win::FmtArgs args) override {
    return VLogMore(level, fmt, args);
  }
  int VLogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                 win::FmtArgs args) override {
    return VLog(tag, func, level, fmt, args);
  }
  int VAppend(int level, std::u16string_view fmt, win::FmtArgs args) override { return VLogMore(level, fmt, args); }
  void Unlock() override {}
  int VLogMoreA(int, std::string_view fmt, win::FmtArgs args) override { return Add(win::FormatA(fmt, args)); }
  int VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt, win::FmtArgs args) override {
    return Add(win::FmtA("%s::%s %d ", tag, func, level) + win::FormatA(fmt, args));
  }
  int LogBlockA(int, std::string_view text) override { return Add(std::string(text)); }
  int LogTextA(int level, std::string_view text) override { return LogBlockA(level, text); }
  int VLogMoreNoLockA(int level, std::string_view fmt, win::FmtArgs args) override {
    return VLogMoreA(level, fmt, args);
  }
  int VLogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                  win::FmtArgs args) override {
    return VLogA(tag, func, level, fmt, args);
  }
  int VAppendA(int level, std::string_view fmt, win::FmtArgs args) override { return VLogMoreA(level, fmt, args); }
  int SetLogLevel(int) override { return 0; }
  std::u16string_view GetLogLevelName() override { return u"  DEBUG"; }
  void SetKeepDays(int) override {}
  void SetMaxFileSize(int) override {}
  std::u16string_view GetErrorText(int) override { return u""; }

 private:
  int Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    return 0;
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace qztest
