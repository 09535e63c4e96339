// Libraries of a simulated machine: shared objects that carry the ".dll" name, loaded with dlopen.
// Each loaded file is recorded in the machine's module table so that, as on Windows, it cannot be
// deleted or opened for writing while loaded. A library may ask for kernel32's OutputDebugStringW
// through the variable winsim_import_OutputDebugStringW, which the loader binds (the import table's role).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

void DebugOutputImport(const char16_t* text) {
  if (text && Platform::HasCurrent()) Desktop().OutputDebugStringW(text);
}

using DebugOutputFn = void (*)(const char16_t*);

struct Loaded {
  int refs = 0;
  std::string host;
};

class WinsimLibraries : public ILibraries {
 public:
  explicit WinsimLibraries(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  HMODULE LoadLibraryW(std::u16string_view fileName) override {
    try {
      auto path = Find(fileName);
      if (!path) return NullWith(ERROR_MOD_NOT_FOUND);
      std::string host = HostOf(*path);
      char magic[4] = {};
      {
        std::ifstream in(host, std::ios::binary);
        in.read(magic, 4);
      }
      if (std::memcmp(magic, "\x7f" "ELF", 4) != 0) return NullWith(ERROR_BAD_EXE_FORMAT);
      if (auto b = ReadBundle(host, false); b && b->bits && b->bits != m_->self().bits) {
        return NullWith(ERROR_BAD_EXE_FORMAT);
      }
      void* dl = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!dl) return NullWith(ERROR_MOD_NOT_FOUND);
      std::lock_guard lock(mutex_);
      Loaded& l = loaded_[dl];
      if (l.refs++ == 0) {
        l.host = host;
        if (auto slot = reinterpret_cast<DebugOutputFn*>(dlsym(dl, "winsim_import_OutputDebugStringW"))) {
          *slot = &DebugOutputImport;
        }
        Record(host, path->ToString());
      } else {
        dlclose(dl);  // one reference of ours per module is enough
      }
      return reinterpret_cast<HMODULE>(dl);
    } catch (...) {
      return NullWith(ERROR_NOT_ENOUGH_MEMORY);
    }
  }

  FARPROC GetProcAddress(HMODULE module, std::string_view procName) override {
    std::lock_guard lock(mutex_);
    if (!loaded_.count(module)) return FailProc(ERROR_INVALID_HANDLE);
    void* p = dlsym(module, std::string(procName).c_str());
    if (!p) return FailProc(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(p);
  }

  BOOL FreeLibrary(HMODULE module) override {
    std::lock_guard lock(mutex_);
    auto it = loaded_.find(module);
    if (it == loaded_.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.refs == 0) {
      Unrecord(it->second.host);
      dlclose(module);
      loaded_.erase(it);
    }
    return TRUE;
  }

 private:
  static HMODULE NullWith(DWORD code) {
    SetLastError(code);
    return nullptr;
  }
  static FARPROC FailProc(DWORD code) {
    SetLastError(code);
    return nullptr;
  }

  std::string HostOf(const WinPath& p) { return ToHostPath(m_->root(), m_->IsWow64() ? RedirectForWow64(p) : p); }

  bool IsFile(const WinPath& p) {
    struct stat st {};
    return stat(HostOf(p).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  std::optional<WinPath> Find(std::u16string_view fileName) {
    std::u16string name(fileName);
    size_t slash = name.find_last_of(u"\\/");
    size_t dot = name.find_last_of(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) name += u".dll";
    std::u16string cwd = Files().GetCurrentDirectoryW();
    if (name.find_first_of(u"\\/:") != std::u16string::npos) {
      auto p = ParseWinPath(name, cwd);
      return p && IsFile(*p) ? p : std::nullopt;
    }
    std::vector<std::u16string> dirs;
    if (auto self = ParseWinPath(m_->self().imagePath, u"C:\\")) dirs.push_back(self->Parent().ToString());
    dirs.push_back(u"C:\\Windows\\System32");
    dirs.push_back(u"C:\\Windows\\System");
    dirs.push_back(u"C:\\Windows");
    dirs.push_back(cwd);
    std::u16string pathVar;
    if (Files().GetEnvironmentVariableW(u"PATH", &pathVar)) {
      size_t at = 0;
      while (at <= pathVar.size()) {
        size_t semi = pathVar.find(u';', at);
        std::u16string d = pathVar.substr(at, semi == std::u16string::npos ? std::u16string::npos : semi - at);
        if (!d.empty()) dirs.push_back(d);
        if (semi == std::u16string::npos) break;
        at = semi + 1;
      }
    }
    for (const auto& d : dirs) {
      if (auto p = ParseWinPath(d + u"\\" + name, cwd); p && IsFile(*p)) return p;
    }
    return std::nullopt;
  }

  void Record(const std::string& host, const std::u16string& winPath) {
    struct stat st {};
    if (stat(host.c_str(), &st) != 0) return;
    auto start = ProcessStartTime(getpid());
    m_->WithState([&](Db& db) {
      db.Prepare("INSERT INTO modules(pid, start, dev, ino, path) VALUES(?,?,?,?,?)")
          .Bind(1, static_cast<int64_t>(getpid()))
          .Bind(2, static_cast<int64_t>(start.value_or(0)))
          .Bind(3, static_cast<int64_t>(st.st_dev))
          .Bind(4, static_cast<int64_t>(st.st_ino))
          .Bind(5, WideToUtf8(winPath))
          .Step();
      return 0;
    });
  }

  void Unrecord(const std::string& host) {
    struct stat st {};
    if (stat(host.c_str(), &st) != 0) return;
    try {
      m_->WithState([&](Db& db) {
        db.Prepare("DELETE FROM modules WHERE pid=? AND dev=? AND ino=?")
            .Bind(1, static_cast<int64_t>(getpid()))
            .Bind(2, static_cast<int64_t>(st.st_dev))
            .Bind(3, static_cast<int64_t>(st.st_ino))
            .Step();
        return 0;
      });
    } catch (...) {
    }
  }

  std::shared_ptr<Machine> m_;
  std::mutex mutex_;
  std::map<void*, Loaded> loaded_;
};

}  // namespace

std::unique_ptr<ILibraries> MakeLibraries(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimLibraries>(std::move(m));
}

}  // namespace winsim
