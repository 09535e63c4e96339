#include "logging/logger.h"

#include <algorithm>

#include "platform/file_util.h"
#include "platform/platform.h"

namespace qz {

namespace {

using win::FmtArg;
using win::FmtArgs;

// Every name is seven characters so that the columns line up.
constexpr std::u16string_view kLevelNamesW[] = {u"  DEBUG", u"   INFO", u" SYSTEM", u"WARNING", u"  FATAL"};
constexpr std::string_view kLevelNamesA[] = {"  DEBUG", "   INFO", " SYSTEM", "WARNING", "  FATAL"};

template <class Ch>
struct Lit;

template <>
struct Lit<char16_t> {
  static constexpr std::u16string_view kTab = u"\t";
  static constexpr std::u16string_view kCrLf = u"\r\n";
  static constexpr std::u16string_view kTooLong = u"<<< too long>>>";
  static constexpr std::u16string_view kHeader = u"[%s]%s {{%s::%s}} ";
  static constexpr std::u16string_view kTime = u"%02d:%02d:%02d";
  static std::u16string_view Level(int level) { return kLevelNamesW[std::clamp(level, 0, kLogFatal)]; }
  static std::u16string Format(std::u16string_view fmt, FmtArgs args) { return win::FormatW(fmt, args); }
};

template <>
struct Lit<char> {
  static constexpr std::string_view kTab = "\t";
  static constexpr std::string_view kCrLf = "\r\n";
  static constexpr std::string_view kTooLong = "<<< too long>>>";
  static constexpr std::string_view kHeader = "[%s]%s {{%s::%s}} ";
  static constexpr std::string_view kTime = "%02d:%02d:%02d";
  static std::string_view Level(int level) { return kLevelNamesA[std::clamp(level, 0, kLogFatal)]; }
  static std::string Format(std::string_view fmt, FmtArgs args) { return win::FormatA(fmt, args); }
};

std::u16string DateText(const win::SYSTEMTIME& st) {
  return win::Fmt(u"%04d%02d%02d", st.wYear, st.wMonth, st.wDay);
}

// A name of this prefix is expired when the text after "prefix-" sorts below the cut-off date at
// its first differing character; a name that ends early compares as smaller, as a C string does.
bool IsExpired(std::u16string_view name, std::u16string_view prefix, std::u16string_view cutoff) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix || name[prefix.size()] != u'-') {
    return false;
  }
  const std::u16string_view rest = name.substr(prefix.size() + 1);
  for (size_t k = 0; k < cutoff.size(); ++k) {
    const char16_t c = k < rest.size() ? rest[k] : u'\0';
    if (c != cutoff[k]) return c < cutoff[k];
  }
  return false;
}

struct ErrorText {
  int code;
  std::u16string_view text;
};

constexpr std::u16string_view kLogAlreadyOpenText = u"[LOG] 로그 파일이 이미 열려 있음";

constexpr ErrorText kErrorTexts[] = {
    {0, u"성공"},
    {1, u"잘못된 인자"},
    {2, u"메모리 할당을 실패함"},
    {3, u"파일을 찾을 수 없음"},
    {4, u"파일을 여는 데 실패함"},
    {5, u"파일을 읽는 데 실패함"},
    {6, u"파일을 쓰는 데 실패함"},
    {7, u"파일의 크기가 올바르지 않음"},
    {8, u"파일을 삭제하는 데 실패함"},
    {9, u"파일의 이름을 바꾸는 데 실패함"},
    {10, u"파일을 복사하는 데 실패함"},
    {11, u"경로 이름이 너무 김"},
    {12, u"저장 폴더 생성을 실패함"},
    {13, u"압축 파일을 여는 데 실패함"},
    {14, u"압축 파일의 헤더가 올바르지 않음"},
    {15, u"압축 파일의 항목 헤더가 올바르지 않음"},
    {16, u"압축 파일의 항목을 찾을 수 없음"},
    {17, u"압축 파일의 항목을 읽는 데 실패함"},
    {18, u"압축 파일의 항목을 쓰는 데 실패함"},
    {19, u"압축 파일의 크기가 올바르지 않음"},
    {20, u"압축 파일의 항목 이름이 올바르지 않음"},
    {21, u"압축 해제의 초기화를 실패함"},
    {22, u"압축 해제를 실패함"},
    {23, u"압축된 데이터가 손상됨"},
    {24, u"압축 해제 버퍼가 부족함"},
    {25, u"압축 해제 스트림의 상태가 올바르지 않음"},
    {26, u"압축 해제에 필요한 메모리가 부족함"},
    {27, u"압축 해제된 크기가 올바르지 않음"},
    {28, u"압축 파일의 체크섬이 일치하지 않음"},
    {29, u"[MON] 감시 모듈의 초기화를 실패함"},
    {30, u"[MON] 감시 모듈이 이미 실행 중임"},
    {31, u"[MON] 감시 모듈이 실행 중이 아님"},
    {32, u"[MON] 드라이버를 여는 데 실패함"},
    {33, u"[MON] 드라이버 설치를 실패함"},
    {34, u"[MON] 드라이버 시작을 실패함"},
    {35, u"[MON] 드라이버 중지를 실패함"},
    {36, u"[MON] 드라이버 삭제를 실패함"},
    {37, u"[MON] 드라이버와 통신하는 데 실패함"},
    {38, u"[MON] 서비스 관리자를 여는 데 실패함"},
    {39, u"[MON] 서비스를 여는 데 실패함"},
    {40, u"[MON] 서비스 시작을 실패함"},
    {41, u"[MON] 서비스 중지를 실패함"},
    {42, u"[MON] 프로세스를 찾을 수 없음"},
    {43, u"[MON] 프로세스 종료를 실패함"},
    {44, u"[MON] 정책을 적용하는 데 실패함"},
    {45, u"[MON] 이벤트를 기다리는 데 실패함"},
    {46, u"[AGT] 서버에서 파일을 다운로드 받는 데 실패 함"},
    {47, u"[AGT] 서버에 연결하는 데 실패함"},
    {48, u"[AGT] 서버의 응답이 올바르지 않음"},
    {49, u"[AGT] 서버의 인증서가 올바르지 않음"},
    {50, u"[AGT] 에이전트 정보를 읽는 데 실패함"},
    {51, u"[AGT] 에이전트 정보를 저장하는 데 실패함"},
    {52, u"[AGT] 모듈 정의 파일이 올바르지 않음"},
    {53, u"[AGT] 업데이터의 업그레이드 실패"},
    {54, u"[AGT] 모듈 업데이트 실패"},
    {55, u"디스크 공간이 부족함"},
    {56, u"시간이 초과됨"},
    {57, u"작업이 취소됨"},
    {58, u"지원하지 않는 운영체제임"},
    {1001, kLogAlreadyOpenText},
    {1002, u"[LOG] 로그 파일의 저장 폴더의 패스 이름의 길이는 200보다 작아야 함"},
    {1003, u"[LOG] 로그 파일의 접두어 이름의 길이는 20보다 작아야 함"},
    {1004, u"[LOG] 시간이 경과된 로그 파일의 삭제를 실패함"},
    {1005, u"[LOG] 로그 파일을 여는 데 실패함"},
    {1006, u"[LOG] 로그 파일의 백업 잡업을 실패함"},
    {2001, u"[SIG] 서명 파일을 여는 데 실패함"},
    {2002, u"[SIG] 서명 파일의 형식이 올바르지 않음"},
    {2003, u"[SIG] 서명 데이터의 길이가 올바르지 않음"},
    {2004, u"[SIG] 서명 검증을 실패함"},
    {2005, u"[SIG] 서명된 파일의 해시가 일치하지 않음"},
    {2006, u"[WSL] 키를 생성하는 데 실패함"},
    {2007, u"[WSL] 키가 올바르지 않음"},
    {2008, u"[WSL] 인증서를 여는 데 실패함"},
    {2009, u"[WSL] 인증서의 형식이 올바르지 않음"},
    {2010, u"[WSL] 인증서의 유효 기간이 아님"},
    {2011, u"[WSL] 파일의 전자 서명이 올바르지 않음"},
    {2012, u"[WSL] 인증서의 발급자가 올바르지 않음"},
    {2013, u"[WSL] CA 인증서가 없음"},
    {2014, u"[WSL] 암호화를 실패함"},
    {2015, u"[WSL] 복호화를 실패함"},
    {2016, u"[WSL] 해시 계산을 실패함"},
    {2017, u"[WSL] 공개 키로 복호화하는 데 실패함"},
    {2018, kLogAlreadyOpenText},
};

}  // namespace

Logger::Logger() : file_(win::INVALID_HANDLE_VALUE) {}

Logger::~Logger() { Close(); }

std::u16string Logger::CurrentFileName() const {
  if (date_.empty()) return {};
  return folder_ + u"\\" + prefix_ + u"-" + date_ + u".log";
}

int Logger::Open(std::u16string_view folder, std::u16string_view prefix) {
  std::lock_guard guard(mutex_);
  if (isOpen_) return kLogAlreadyOpen;
  if (folder.empty() || folder.size() > kMaxFolder) return kLogBadFolder;
  folder_ = folder;
  if (folder_.back() == u'\\') folder_.pop_back();
  if (!win::CreateFolderPath(folder_)) return kFolderCreateFailed;
  if (prefix.empty()) {
    // Nothing is written until an Open with a prefix.
    prefix_.clear();
    prefixLength_ = 0;
    return 0;
  }
  if (prefix.size() > kMaxPrefix) return kLogBadPrefix;
  prefix_ = prefix;
  prefixLength_ = static_cast<int>(prefix_.size());
  return Reopen();
}

void Logger::Close() {
  if (isOpen_) {
    CloseFile();
    isOpen_ = false;
  }
}

void Logger::CloseFile() {
  const win::HANDLE file = file_.exchange(win::INVALID_HANDLE_VALUE);
  if (file != win::INVALID_HANDLE_VALUE) win::CloseHandle(file);
}

int Logger::Reopen() {
  CloseFile();
  auto& time = win::Time();
  const uint64_t now = time.GetSystemTimeMs();
  const uint64_t keep = static_cast<uint64_t>(std::max(0, keepDays_.load())) * 86400000ull;
  const std::u16string cutoff = DateText(time.UtcMsToLocal(now > keep ? now - keep : 0));

  for (const auto& found : win::ListFolder(folder_ + u"\\*")) {
    if (found.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) continue;
    // isOpen stays as it was, so a log that was open retries at its next header line.
    if (IsExpired(found.cFileName, prefix_, cutoff) && !win::Files().DeleteFileW(folder_ + u"\\" + found.cFileName))
      return kLogDeleteFailed;
  }

  const win::SYSTEMTIME today = time.GetLocalTime();
  date_ = DateText(today);
  openDay_ = today.wDay;
  return CreateCurrentFile();
}

int Logger::CreateCurrentFile() {
  auto& files = win::Files();
  const win::HANDLE h = files.CreateFileW(CurrentFileName(), win::GENERIC_WRITE,
                                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_ALWAYS,
                                          win::FILE_ATTRIBUTE_NORMAL);
  if (h == win::INVALID_HANDLE_VALUE || h == nullptr) {
    file_ = win::INVALID_HANDLE_VALUE;
    isOpen_ = false;
    return kLogOpenFailed;
  }
  files.SetFilePointer(h, 0, nullptr, win::FILE_END);  // an existing file is continued
  file_ = h;
  isOpen_ = true;
  return 0;
}

int Logger::CheckSize() {
  if (file_ == win::INVALID_HANDLE_VALUE) return 0;
  auto& files = win::Files();
  const win::DWORD pos = files.SetFilePointer(file_, 0, nullptr, win::FILE_CURRENT);
  if (pos == win::INVALID_SET_FILE_POINTER || pos < static_cast<win::DWORD>(maxFileSize_.load())) return 0;

  const std::u16string name = CurrentFileName();
  auto numbered = [&name](int i) { return name + u"." + win::Fmt(u"%d", i); };
  int n = 0;
  while (win::PathExists(numbered(n))) ++n;
  // Older copies move up first so that ".0" is always the newest.
  for (int i = n; i >= 1; --i) {
    if (!files.MoveFileW(numbered(i - 1), numbered(i))) return kLogRenameFailed;
  }
  CloseFile();
  isOpen_ = false;
  if (!files.MoveFileW(name, numbered(0))) return kLogRenameFailed;
  return CreateCurrentFile();
}

template <class Ch>
void Logger::WriteMessage(std::basic_string_view<Ch> fmt, FmtArgs args) {
  const std::basic_string<Ch> message = Lit<Ch>::Format(fmt, args);
  if (message.empty() || message.size() > kMaxMessage) {
    Sink(Lit<Ch>::kTooLong);
  } else {
    Sink(std::basic_string_view<Ch>(message));
  }
}

template <class Ch>
int Logger::HeaderLine(std::basic_string_view<Ch> tag, std::basic_string_view<Ch> func, int level,
                       std::basic_string_view<Ch> fmt, FmtArgs args, bool lock) {
  if (level < level_) return 0;
  std::unique_lock guard(mutex_, std::defer_lock);
  if (lock) guard.lock();

  const win::SYSTEMTIME now = win::Time().GetLocalTime();
  if (isOpen_) {
    // The whole date is compared, not only the day of the month, so a log left quiet for a month
    // still moves to a new file.
    const int r = (now.wDay != openDay_ || DateText(now) != date_) ? Reopen() : CheckSize();
    if (r != 0) return r;
  }

  const FmtArg timeArgs[] = {now.wHour, now.wMinute, now.wSecond};
  const std::basic_string<Ch> time = Lit<Ch>::Format(Lit<Ch>::kTime, timeArgs);
  const FmtArg headerArgs[] = {Lit<Ch>::Level(level), std::basic_string_view<Ch>(time), tag, func};
  std::basic_string<Ch> header = Lit<Ch>::Format(Lit<Ch>::kHeader, headerArgs);
  if (header.size() > kMaxMessage) header.resize(kMaxMessage);
  Sink(std::basic_string_view<Ch>(header));
  WriteMessage(fmt, args);
  Sink(Lit<Ch>::kCrLf);
  return 0;
}

template <class Ch>
int Logger::MoreLine(int level, std::basic_string_view<Ch> fmt, FmtArgs args, bool lock) {
  if (level < level_) return 0;
  std::unique_lock guard(mutex_, std::defer_lock);
  if (lock) guard.lock();
  Sink(Lit<Ch>::kTab);
  WriteMessage(fmt, args);
  Sink(Lit<Ch>::kCrLf);
  return 0;
}

template <class Ch>
int Logger::RawText(int level, std::basic_string_view<Ch> fmt, FmtArgs args) {
  if (level < level_) return 0;
  WriteMessage(fmt, args);
  return 0;
}

template <class Ch>
int Logger::Block(int level, std::basic_string_view<Ch> text) {
  if (level < level_) return 0;
  std::lock_guard guard(mutex_);
  size_t pos = 0;
  while (text.size() - pos > kBlockPiece) {
    const size_t lf = text.find(Ch('\n'), pos);
    const size_t len = (lf != std::basic_string_view<Ch>::npos && lf - pos < kBlockPiece) ? lf - pos + 1 : kBlockPiece;
    const std::basic_string_view<Ch> piece = text.substr(pos, len);
    Sink(piece);
    if (piece.back() != Ch('\n')) Sink(Lit<Ch>::kCrLf);
    pos += len;
  }
  if (pos < text.size()) Sink(text.substr(pos));
  Sink(Lit<Ch>::kCrLf);
  return 0;
}

int Logger::VLogMore(int level, std::u16string_view fmt, FmtArgs args) { return MoreLine(level, fmt, args, true); }
int Logger::VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                 FmtArgs args) {
  return HeaderLine(tag, func, level, fmt, args, true);
}
int Logger::LogBlock(int level, std::u16string_view text) { return Block(level, text); }
int Logger::LogText(int level, std::u16string_view text) { return Block(level, text.substr(0, text.find(u'\0'))); }
void Logger::Lock() { mutex_.lock(); }
int Logger::VLogMoreNoLock(int level, std::u16string_view fmt, FmtArgs args) {
  return MoreLine(level, fmt, args, false);
}
int Logger::VLogNoLock(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                       FmtArgs args) {
  return HeaderLine(tag, func, level, fmt, args, false);
}
int Logger::VAppend(int level, std::u16string_view fmt, FmtArgs args) { return RawText(level, fmt, args); }
void Logger::Unlock() { mutex_.unlock(); }

int Logger::VLogMoreA(int level, std::string_view fmt, FmtArgs args) { return MoreLine(level, fmt, args, true); }
int Logger::VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt, FmtArgs args) {
  return HeaderLine(tag, func, level, fmt, args, true);
}
int Logger::LogBlockA(int level, std::string_view text) { return Block(level, text); }
int Logger::LogTextA(int level, std::string_view text) { return Block(level, text.substr(0, text.find('\0'))); }
int Logger::VLogMoreNoLockA(int level, std::string_view fmt, FmtArgs args) {
  return MoreLine(level, fmt, args, false);
}
int Logger::VLogNoLockA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                        FmtArgs args) {
  return HeaderLine(tag, func, level, fmt, args, false);
}
int Logger::VAppendA(int level, std::string_view fmt, FmtArgs args) { return RawText(level, fmt, args); }

int Logger::SetLogLevel(int level) {
  level = std::clamp(level, kLogDebug, kLogFatal);
  const int old = level_.exchange(level);
  return Log(u"Logger", u"SetLogLevel", kLogSystem, u"Set log level: %s --> %s", Lit<char16_t>::Level(old),
             Lit<char16_t>::Level(level));
}

std::u16string_view Logger::GetLogLevelName() { return Lit<char16_t>::Level(level_); }

void Logger::SetKeepDays(int days) { keepDays_ = std::max(days, 0); }

void Logger::SetMaxFileSize(int bytes) { maxFileSize_ = std::clamp(bytes, kMinFileSize, kMaxFileSize); }

std::u16string_view Logger::GetErrorText(int code) {
  if (code < 0) return u"잘못된 오류 코드";
  for (const auto& e : kErrorTexts) {
    if (e.code == code) return e.text;
  }
  return u"정의되지 않은 오류 코드";
}

void Logger::WriteW(std::u16string_view text) {
  const std::string utf8 = win::WideToUtf8(text);
  WriteToFile(utf8.data(), utf8.size());
}

void Logger::WriteA(std::string_view text) {
  const std::string utf8 = win::WideToUtf8(win::AnsiToWide(text));
  WriteToFile(utf8.data(), utf8.size());
}

void Logger::WriteToFile(const void* data, size_t size) {
  // Write failures are ignored: logging must never stop the work it records.
  const win::HANDLE file = file_;
  if (file == win::INVALID_HANDLE_VALUE || size == 0) return;
  win::DWORD written = 0;
  win::Files().WriteFile(file, data, static_cast<win::DWORD>(size), &written);
}

}  // namespace qz
