#include "host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/text.h"

namespace qzpack {

namespace {

class HostTime : public win::ITime {
 public:
  uint64_t GetSystemTimeMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  }
  win::SYSTEMTIME GetSystemTime() override { return win::SystemTimeFromUnixMs(GetSystemTimeMs()); }
  win::SYSTEMTIME GetLocalTime() override { return GetSystemTime(); }
  win::SYSTEMTIME UtcMsToLocal(uint64_t utcMs) override { return win::SystemTimeFromUnixMs(utcMs); }
  uint64_t GetTickCount64() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  void Sleep(win::DWORD ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  win::HANDLE CreateEventW(win::BOOL, win::BOOL) override { return nullptr; }
  win::BOOL SetEvent(win::HANDLE) override { return win::FALSE; }
  win::BOOL ResetEvent(win::HANDLE) override { return win::FALSE; }
  win::DWORD WaitForSingleObject(win::HANDLE, win::DWORD, win::WaitKind) override { return 0xFFFFFFFFu; }
};

// Host names and texts are UTF-8, so that is the code page here.
class HostOs : public win::IOsInfo {
 public:
  win::BOOL GetVersionExW(win::OSVERSIONINFOEXW*) override { return win::FALSE; }
  win::BOOL VerifyVersionInfoW(const win::OSVERSIONINFOEXW&, win::DWORD, win::ULONGLONG) override {
    return win::FALSE;
  }
  win::BOOL GetNativeSystemInfo(win::SYSTEM_INFO*) override { return win::FALSE; }
  void GetSystemInfo(win::SYSTEM_INFO* info) override { *info = {}; }
  win::BOOL IsWow64Process(win::BOOL* wow64) override {
    *wow64 = win::FALSE;
    return win::TRUE;
  }
  win::LANGID GetUserDefaultUILanguage() override { return 0x409; }
  win::UINT GetACP() override { return win::CP_UTF8; }
  std::u16string MultiByteToWide(win::UINT, std::string_view bytes) override { return win::Utf8ToWide(bytes); }
  std::string WideToMultiByte(win::UINT, std::u16string_view text) override { return win::WideToUtf8(text); }
  std::u16string GetComputerNameW() override { return u"HOST"; }
};

}  // namespace

void UseHostPlatform() {
  static win::Platform platform;
  platform.SetTime(std::make_unique<HostTime>());
  platform.SetOs(std::make_unique<HostOs>());
  win::Platform::SetCurrent(&platform);
}

void StderrLogger::Line(int level, std::string text) {
  if (level < level_) return;
  std::fprintf(stderr, "log: %s\n", text.c_str());
  lines_.push_back(std::move(text));
}

int StderrLogger::VLogMore(int level, std::u16string_view fmt, win::FmtArgs args) {
  Line(level, win::WideToUtf8(win::FormatW(fmt, args)));
  return 0;
}

int StderrLogger::VLog(std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
                       win::FmtArgs args) {
  Line(level, win::WideToUtf8(win::Fmt(u"{{%s::%s}} ", tag, func) + win::FormatW(fmt, args)));
  return 0;
}

int StderrLogger::LogBlock(int level, std::u16string_view text) {
  Line(level, win::WideToUtf8(text));
  return 0;
}

int StderrLogger::VLogMoreA(int level, std::string_view fmt, win::FmtArgs args) {
  Line(level, win::FormatA(fmt, args));
  return 0;
}

int StderrLogger::VLogA(std::string_view tag, std::string_view func, int level, std::string_view fmt,
                        win::FmtArgs args) {
  Line(level, win::FmtA("{{%s::%s}} ", tag, func) + win::FormatA(fmt, args));
  return 0;
}

int StderrLogger::LogBlockA(int level, std::string_view text) {
  Line(level, std::string(text));
  return 0;
}

bool FileStream::Read(void* buffer, uint32_t size, uint32_t* got) {
  *got = static_cast<uint32_t>(std::fread(buffer, 1, size, f_));
  return !std::ferror(f_);
}

bool FileStream::Tell(int64_t* position) {
  const long p = std::ftell(f_);
  *position = p;
  return p >= 0;
}

bool FileStream::Seek(int64_t position) { return std::fseek(f_, static_cast<long>(position), SEEK_SET) == 0; }

bool ReadHostFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteHostFile(const std::string& path, std::string_view data, bool secret) {
  // A private key never exists, even briefly, with wider permissions.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, secret ? 0600 : 0644);
  if (fd < 0 || (secret && ::fchmod(fd, 0600) != 0)) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == data.size();
}

}  // namespace qzpack
