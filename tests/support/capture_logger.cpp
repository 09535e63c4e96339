#include "support/capture_logger.h"

namespace qztest {

std::vector<std::string> CaptureLogger::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

int CaptureLogger::Count(const std::string& text) {
  int n = 0;
  for (const auto& l : Lines()) n += l.find(text) != std::string::npos;
  return n;
}

bool CaptureLogger::HasEnding(const std::string& message, const std::string& where) {
  for (const auto& l : Lines()) {
    if (l.size() >= message.size() && l.compare(l.size() - message.size(), message.size(), message) == 0 &&
        (where.empty() || l.rfind(where + " ", 0) == 0))
      return true;
  }
  return false;
}

std::string CaptureLogger::Dump() {
  std::string s;
  for (const auto& l : Lines()) s += l + "\n";
  return s;
}

int CaptureLogger::VLogMore(int, std::u16string_view fmt, win::FmtArgs args) {
  return Add(win::WideToUtf8(win::FormatW(fmt, args)));
}

int CaptureLogger::VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                        win::FmtArgs args) {
  return Add(win::WideToUtf8(win::Fmt(u"%s::%s %d ", tag, func, level) + win::FormatW(fmt, args)));
}

int CaptureLogger::LogBlock(int, std::u16string_view text) { return Add(win::WideToUtf8(text)); }

int CaptureLogger::VLogMoreA(int, std::string_view fmt, win::FmtArgs args) { return Add(win::FormatA(fmt, args)); }

int CaptureLogger::VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                         win::FmtArgs args) {
  return Add(win::FmtA("%s::%s %d ", tag, func, level) + win::FormatA(fmt, args));
}

int CaptureLogger::Add(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
  return 0;
}

}  // namespace qztest
