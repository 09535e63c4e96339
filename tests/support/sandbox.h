// A fresh place for one conformance test on the backend the test program is built for: on winsim
// a new simulated machine entered as one of its programs, whose drive C: is the root; on Windows
// the real machine, with a new folder under the temporary folder as the root. Cases name their
// paths under Root() (P(u"\\t\\a.txt") is C:\t\a.txt on winsim), so the same tables run on both.
// Header only: the Windows test programs build it without the winsim test support.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/pending_renames.h"
#include "platform/platform.h"
#include "platform/text.h"

#ifdef _WIN32
#include <process.h>

#include "platform/win32/services.h"
#else
#include "support/host_files.h"
#include "support/test_machine.h"
#endif

namespace qztest {

// PendingFileRenameOperations as it stands (empty when absent), read through the registry service.
inline std::vector<unsigned char> PendingRenameValue() {
  static constexpr char16_t kKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  win::HKEY key = nullptr;
  if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, kKey, 0, win::KEY_READ | win::KEY_WOW64_64KEY, &key) !=
      win::ERROR_SUCCESS) {
    return {};
  }
  win::DWORD type = 0, size = 0;
  std::vector<unsigned char> data;
  if (win::Registry().RegQueryValueExW(key, u"PendingFileRenameOperations", &type, nullptr, &size) ==
      win::ERROR_SUCCESS) {
    data.resize(size);
    if (win::Registry().RegQueryValueExW(key, u"PendingFileRenameOperations", &type, data.data(), &size) !=
        win::ERROR_SUCCESS) {
      size = 0;
    }
    data.resize(size);
  }
  win::Registry().RegCloseKey(key);
  return data;
}

// The value's strings in order ("" is a deletion's target).
inline std::vector<std::u16string> PendingRenameList() { return win::ParsePendingRenames(PendingRenameValue()); }

class Sandbox {
 public:
  // profile, image and bits choose the simulated machine and program; Windows is what it is.
  explicit Sandbox(const std::string& profile = "win10-x64", const std::u16string& image = u"C:\\test\\test.exe",
                   int bits = 32) {
#ifdef _WIN32
    (void)profile;
    (void)image;
    (void)bits;
    // The test program's start sets the real platform up; a program without one gets it here.
    if (!win::Platform::HasCurrent()) {
      static win32::Win32Platform platform;
      win::Platform::SetCurrent(&platform);
    }
    static int serial = 0;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec) /
                                       ("qzt-" + std::to_string(::_getpid()) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(base, ec);
    root_ = base.u16string();
    for (auto& c : root_) {
      if (c == u'/') c = u'\\';
    }
    keys_ = u"SOFTWARE\\qzt-" + win::Utf8ToWide(std::to_string(::_getpid()) + "-" + std::to_string(serial));
    // What tests schedule for the next start is taken back with the sandbox: a real machine's
    // restart must not act on a test's files.
    pending_ = PendingRenameValue();
#else
    machine_ = std::make_unique<TestMachine>(profile);
    machine_->Enter(image, bits);
    root_ = u"C:";
    keys_ = u"SOFTWARE";
#endif
    Current() = this;
  }
  ~Sandbox() {
    Current() = nullptr;
#ifdef _WIN32
    win::Registry().SHDeleteKeyW(win::HKEY_LOCAL_MACHINE, keys_);
    win::HKEY key = nullptr;
    if (win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                      0, win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, &key) == win::ERROR_SUCCESS) {
      if (pending_.empty()) {
        win::Registry().RegDeleteValueW(key, u"PendingFileRenameOperations");
      } else {
        win::Registry().RegSetValueExW(key, u"PendingFileRenameOperations", win::REG_MULTI_SZ, pending_.data(),
                                       static_cast<win::DWORD>(pending_.size()));
      }
      win::Registry().RegCloseKey(key);
    }
    // Read-only leftovers would stop the removal.
    std::error_code ec;
    const std::filesystem::path base(root_);
    for (auto it = std::filesystem::recursive_directory_iterator(base, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(base, ec);
#endif
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The sandbox of the running test.
  static Sandbox*& Current() {
    static Sandbox* current = nullptr;
    return current;
  }

  // "C:" on winsim; the scratch folder on Windows (no trailing backslash).
  const std::u16string& Root() const { return root_; }
  std::u16string Path(std::u16string_view rel) const { return root_ + std::u16string(rel); }
  // A key path under HKEY_LOCAL_MACHINE for the test's keys: SOFTWARE on winsim, a key of its own
  // below SOFTWARE on Windows (deleted with the sandbox). K(u"\\T") is SOFTWARE\T on winsim.
  std::u16string Key(std::u16string_view rel) const { return keys_ + std::u16string(rel); }

  // Files made and read beside the service under test, never through it.
  void Put(std::u16string_view rel, const std::string& text = "data") const {
#ifdef _WIN32
    const std::filesystem::path p(Path(rel));
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream(p, std::ios::binary) << text;
#else
    WriteHostFile(machine_->HostPath(Path(rel)), text);
#endif
  }
  std::string Read(std::u16string_view rel) const {
#ifdef _WIN32
    std::ifstream in(std::filesystem::path(Path(rel)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
#else
    return ReadHostFile(machine_->HostPath(Path(rel)));
#endif
  }
  bool Exists(std::u16string_view rel) const {
    std::error_code ec;
    return std::filesystem::exists(Host(rel), ec);
  }
  bool IsFolder(std::u16string_view rel) const {
    std::error_code ec;
    return std::filesystem::is_directory(Host(rel), ec);
  }
  void MakeFolder(std::u16string_view rel) const {
    std::error_code ec;
    std::filesystem::create_directories(Host(rel), ec);
  }

#ifndef _WIN32
  TestMachine& machine() { return *machine_; }
#endif

 private:
  std::filesystem::path Host(std::u16string_view rel) const {
#ifdef _WIN32
    return std::filesystem::path(Path(rel));
#else
    return machine_->HostPath(Path(rel));
#endif
  }

  std::u16string root_;
  std::u16string keys_;
#ifdef _WIN32
  std::vector<unsigned char> pending_;
#else
  std::unique_ptr<TestMachine> machine_;
#endif
};

// A path, and a key path below HKEY_LOCAL_MACHINE, of the running test's sandbox.
inline std::u16string P(std::u16string_view rel) { return Sandbox::Current()->Path(rel); }
inline std::u16string K(std::u16string_view rel) { return Sandbox::Current()->Key(rel); }

}  // namespace qztest
