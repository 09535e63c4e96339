// The logging interface every module writes through. Header-only so that modules below the logger
// implementation (crypto's archive reader, for one) can log without depending on it.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace qz {

// Levels: a call logs when its level is at or above the logger's threshold.
inline constexpr int kLogDebug = 0;
inline constexpr int kLogInfo = 1;
inline constexpr int kLogSystem = 2;
inline constexpr int kLogWarning = 3;
inline constexpr int kLogFatal = 4;

// Formatting operations are virtual over typed argument arrays (the V... names); the variadic
// wrappers below build those arrays, so a format can never read an argument of the wrong type.
// Wide texts are UTF-16; the narrow (...A) operations take text in the ANSI code page.
class ILogger {
 public:
  virtual ~ILogger() = default;

  virtual int Open(std::u16string_view folder, std::u16string_view prefix) = 0;
  virtual void Close() = 0;
  // Continuation line (TAB, message, line end) under the lock.
  virtual int VLogMore(int level, std::u16string_view fmt, win::FmtArgs args) = 0;
  // Header line; a non-zero result (day change or rotation failed) means nothing was written.
  virtual int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                   win::FmtArgs args) = 0;
  // Text cut into lines of at most 110 characters.
  virtual int LogBlock(int level, std::u16string_view text) = 0;
  // As LogBlock, up to the first NUL.
  virtual int LogText(int level, std::u16string_view text) = 0;
  // Lock/Unlock bracket the NoLock operations so a header line and its continuations stay together.
  virtual void Lock() = 0;
  virtual int VLogMoreNoLock(int level, std::u16string_view fmt, win::FmtArgs args) = 0;
  virtual int VLogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                         win::FmtArgs args) = 0;
  // The message alone: no TAB, no line end, no lock.
  virtual int VAppend(int level, std::u16string_view fmt, win::FmtArgs args) = 0;
  virtual void Unlock() = 0;

  virtual int VLogMoreA(int level, std::string_view fmt, win::FmtArgs args) = 0;
  virtual int VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                    win::FmtArgs args) = 0;
  virtual int LogBlockA(int level, std::string_view text) = 0;
  virtual int LogTextA(int level, std::string_view text) = 0;
  virtual int VLogMoreNoLockA(int level, std::string_view fmt, win::FmtArgs args) = 0;
  virtual int VLogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                          win::FmtArgs args) = 0;
  virtual int VAppendA(int level, std::string_view fmt, win::FmtArgs args) = 0;

  // Clamps to kLogDebug..kLogFatal and logs the change; returns that log call's result.
  virtual int SetLogLevel(int level) = 0;
  virtual std::u16string_view GetLogLevelName() = 0;
  virtual void SetKeepDays(int days) = 0;
  virtual void SetMaxFileSize(int bytes) = 0;
  virtual std::u16string_view GetErrorText(int code) = 0;

  template <class... A>
  int Log(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLog(tag, func, level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogNoLock(tag, func, level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogMore(int level, std::u16string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogMore(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogMoreNoLock(int level, std::u16string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogMoreNoLock(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int Append(int level, std::u16string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VAppend(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }

  template <class... A>
  int LogA(std::string_view tag, std::string_view func, int level, std::string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogA(tag, func, level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogNoLockA(tag, func, level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogMoreA(int level, std::string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogMoreA(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int LogMoreNoLockA(int level, std::string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VLogMoreNoLockA(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
  template <class... A>
  int AppendA(int level, std::string_view fmt, const A&... a) {
    const win::FmtArg args[] = {win::FmtArg(a)..., win::FmtArg()};
    return VAppendA(level, fmt, win::FmtArgs(args, sizeof...(A)));
  }
};

// A logger without files or locks for tools and tests: the unlocked, appending and plain-text forms
// go to the locked ones, and opening, closing and the file settings do nothing. What is left to
// write is where lines go: VLog, VLogMore, LogBlock and their narrow forms, and the level.
class BasicLogger : public ILogger {
 public:
  int Open(std::u16string_view, std::u16string_view) override { return 0; }
  void Close() override {}
  int LogText(int level, std::u16string_view text) override { return LogBlock(level, text); }
  void Lock() override {}
  void Unlock() override {}
  int VLogMoreNoLock(int level, std::u16string_view fmt, win::FmtArgs args) override {
    return VLogMore(level, fmt, args);
  }
  int VLogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                 win::FmtArgs args) override {
    return VLog(tag, func, level, fmt, args);
  }
  int VAppend(int level, std::u16string_view fmt, win::FmtArgs args) override { return VLogMore(level, fmt, args); }
  int LogTextA(int level, std::string_view text) override { return LogBlockA(level, text); }
  int VLogMoreNoLockA(int level, std::string_view fmt, win::FmtArgs args) override {
    return VLogMoreA(level, fmt, args);
  }
  int VLogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                  win::FmtArgs args) override {
    return VLogA(tag, func, level, fmt, args);
  }
  int VAppendA(int level, std::string_view fmt, win::FmtArgs args) override { return VLogMoreA(level, fmt, args); }
  void SetKeepDays(int) override {}
  void SetMaxFileSize(int) override {}
  std::u16string_view GetErrorText(int) override { return u""; }
};

}  // namespace qz
