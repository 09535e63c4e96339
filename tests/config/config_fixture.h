// A fresh Windows 10 x64 machine entered as a 32-bit program of the setup folder, with small
// helpers to look at what the configuration code left in the registry and on disk.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "config/config_context.h"
#include "logging/logger.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace qztest {

// Keeps every line in memory; never opens a file.
class RecordingLogger : public qz::Logger {
 public:
  RecordingLogger() { SetLogLevel(qz::kLogDebug); }
  void WriteW(std::u16string_view text) override { text_ += win::WideToUtf8(text); }
  void WriteA(std::string_view text) override { text_ += win::WideToUtf8(win::AnsiToWide(text)); }
  const std::string& text() const { return text_; }
  bool Has(std::string_view s) const { return text_.find(s) != std::string::npos; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

class ConfigTest : public ::testing::Test {
 protected:
  static constexpr char16_t kSetup[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c";

  ConfigTest() { ctx_.logger = &log_; }

  // Raw bytes of a value under HKLM (as this 32-bit program sees it); nullopt when it does not read.
  std::optional<std::string> Raw(std::u16string_view key, std::string_view name, win::DWORD* type = nullptr) {
    win::HKEY k = nullptr;
    if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, key, 0, win::KEY_READ, &k)) return std::nullopt;
    win::DWORD size = 0;
    std::optional<std::string> out;
    if (!win::Registry().RegQueryValueExA(k, name, type, nullptr, &size)) {
      std::string bytes(size, '\0');
      if (!win::Registry().RegQueryValueExA(k, name, type, reinterpret_cast<win::BYTE*>(bytes.data()), &size))
        out = bytes.substr(0, size);
    }
    win::Registry().RegCloseKey(k);
    return out;
  }
  bool KeyExists(std::u16string_view key) {
    win::HKEY k = nullptr;
    if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, key, 0, win::KEY_READ, &k)) return false;
    win::Registry().RegCloseKey(k);
    return true;
  }
  void SetRaw(std::u16string_view key, std::string_view name, win::DWORD type, std::string_view bytes) {
    win::HKEY k = nullptr;
    ASSERT_EQ(win::Registry().RegCreateKeyW(win::HKEY_LOCAL_MACHINE, key, &k), 0);
    ASSERT_EQ(win::Registry().RegSetValueExA(k, name, type, reinterpret_cast<const win::BYTE*>(bytes.data()),
                                             static_cast<win::DWORD>(bytes.size())),
              0);
    win::Registry().RegCloseKey(k);
  }

  void PutFile(std::u16string_view path, std::string_view bytes) {
    auto& f = win::Files();
    const size_t cut = path.rfind(u'\\');
    win::CreateFolderPath(path.substr(0, cut));
    win::HANDLE h = f.CreateFileW(path, win::GENERIC_WRITE, 0, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    win::DWORD written = 0;
    f.WriteFile(h, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written);
    win::CloseHandle(h);
  }
  std::optional<std::string> FileBytes(std::u16string_view path) {
    auto& f = win::Files();
    win::HANDLE h = f.CreateFileW(path, win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING, 0);
    if (h == win::INVALID_HANDLE_VALUE) return std::nullopt;
    std::string out;
    char buf[4096];
    win::DWORD got = 0;
    while (f.ReadFile(h, buf, sizeof buf, &got) && got) out.append(buf, got);
    win::CloseHandle(h);
    return out;
  }

  TestMachine machine_{"win10-x64"};
  win::Platform& platform_ = machine_.Enter(std::u16string(kSetup) + u"\\qzUpdater.exe", 32);
  RecordingLogger log_;
  qz::ConfigContext ctx_;
};

}  // namespace qztest
