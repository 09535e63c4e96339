// A logger that keeps its lines in memory, for tests that check what the code logged.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "logging/ilogger.h"

namespace qztest {

// Keeps every line as "Tag::Function level message" (UTF-8) and continuation lines as they are.
class CaptureLogger : public qz::BasicLogger {
 public:
  std::vector<std::string> Lines();
  // Lines that hold the text.
  int Count(const std::string& text);
  bool Has(const std::string& text) { return Count(text) > 0; }
  // True when some line ends with the message (and, when given, comes from "Tag::Function level").
  bool HasEnding(const std::string& message, const std::string& where = "");
  std::string Dump();

  int VLogMore(int, std::u16string_view fmt, win::FmtArgs args) override;
  int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           win::FmtArgs args) override;
  int LogBlock(int, std::u16string_view text) override;
  int VLogMoreA(int, std::string_view fmt, win::FmtArgs args) override;
  int VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt, win::FmtArgs args) override;
  int LogBlockA(int, std::string_view text) override { return Add(std::string(text)); }
  int SetLogLevel(int) override { return 0; }
  std::u16string_view GetLogLevelName() override { return u"  DEBUG"; }

 private:
  int Add(std::string line);
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace qztest
