// Daily plain-text log files with a level threshold, size-based rotation and removal of old days.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/ilogger.h"
#include "platform/types.h"

namespace qz {

// Results of Open and of the header-line operations.
inline constexpr int kLogAlreadyOpen = 1001;
inline constexpr int kLogBadFolder = 1002;
inline constexpr int kLogBadPrefix = 1004;
inline constexpr int kLogDeleteFailed = 1005;
inline constexpr int kLogOpenFailed = 1006;
inline constexpr int kLogRenameFailed = 1007;
inline constexpr int kFolderCreateFailed = 12;

class Logger : public ILogger {
 public:
  static constexpr size_t kMaxFolder = 200;
  static constexpr size_t kMaxPrefix = 20;
  static constexpr size_t kMaxMessage = 1023;  // characters a formatted message may have
  static constexpr size_t kBlockPiece = 110;
  static constexpr int kMinFileSize = 1024;
  static constexpr int kMaxFileSize = 4193280;

  Logger();
  ~Logger() override;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  int Open(std::u16string_view folder, std::u16string_view prefix) override;
  void Close() override;
  int VLogMore(int level, std::u16string_view fmt, win::FmtArgs args) override;
  int VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
           win::FmtArgs args) override;
  int LogBlock(int level, std::u16string_view text) override;
  int LogText(int level, std::u16string_view text) override;
  void Lock() override;
  int VLogMoreNoLock(int level, std::u16string_view fmt, win::FmtArgs args) override;
  int VLogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                 win::FmtArgs args) override;
  int VAppend(int level, std::u16string_view fmt, win::FmtArgs args) override;
  void Unlock() override;

  int VLogMoreA(int level, std::string_view fmt, win::FmtArgs args) override;
  int VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
            win::FmtArgs args) override;
  int LogBlockA(int level, std::string_view text) override;
  int LogTextA(int level, std::string_view text) override;
  int VLogMoreNoLockA(int level, std::string_view fmt, win::FmtArgs args) override;
  int VLogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                  win::FmtArgs args) override;
  int VAppendA(int level, std::string_view fmt, win::FmtArgs args) override;

  int SetLogLevel(int level) override;
  std::u16string_view GetLogLevelName() override;
  void SetKeepDays(int days) override;
  void SetMaxFileSize(int bytes) override;
  std::u16string_view GetErrorText(int code) override;

  int GetLogLevel() const { return level_; }
  int GetKeepDays() const { return keepDays_; }
  int GetMaxFileSize() const { return maxFileSize_; }
  bool IsOpen() const { return isOpen_; }
  // Full name of today's file (empty before the first successful open).
  std::u16string CurrentFileName() const;

  // The two sinks every byte of the file passes through; a derived logger changes the file format
  // by replacing them. WriteA takes ANSI code page text.
  virtual void WriteW(std::u16string_view text);
  virtual void WriteA(std::string_view text);

 protected:
  // Writes bytes to the open file; a closed log swallows them.
  void WriteToFile(const void* data, size_t size);

 private:
  template <class Ch>
  int HeaderLine(std::basic_string_view<Ch> tag, std::basic_string_view<Ch> func, int level,
                 std::basic_string_view<Ch> fmt, win::FmtArgs args, bool lock);
  template <class Ch>
  int MoreLine(int level, std::basic_string_view<Ch> fmt, win::FmtArgs args, bool lock);
  template <class Ch>
  int RawText(int level, std::basic_string_view<Ch> fmt, win::FmtArgs args);
  template <class Ch>
  int Block(int level, std::basic_string_view<Ch> text);
  template <class Ch>
  void WriteMessage(std::basic_string_view<Ch> fmt, win::FmtArgs args);
  void Sink(std::u16string_view text) { WriteW(text); }
  void Sink(std::string_view text) { WriteA(text); }

  int Reopen();
  int CheckSize();
  int CreateCurrentFile();
  void CloseFile();

  std::atomic<win::HANDLE> file_;
  std::u16string date_;
  std::u16string folder_;
  std::u16string prefix_;
  std::atomic<int> level_{kLogSystem};
  std::atomic<int> maxFileSize_{0x7FC00};
  int prefixLength_ = 0;
  std::atomic<int> keepDays_{10};
  int openDay_ = 0;
  std::atomic<bool> isOpen_{false};
  // Owned by a thread and re-entrant, as a Windows mutex is: a caller holding Lock() may still
  // use the locking operations.
  std::recursive_mutex mutex_;
};

}  // namespace qz
