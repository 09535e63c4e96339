// The file system service of a simulated machine: Windows paths resolved to host paths, attributes,
// the current directory, and the share rules between open handles. Share modes are kept in the
// machine's state database (open_files) so that every process of the machine sees them.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/files_internal.h"
#include "platform/winsim/pipes.h"
#include "platform/winsim/services.h"

namespace fs = std::filesystem;

namespace winsim {

using namespace win;

namespace {

constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;

// Windows share rules between an open handle (had*) and a new open. A handle without data or
// delete access (attributes only) takes no part in them.
bool ShareConflict(DWORD hadAccess, DWORD hadShare, DWORD access, DWORD share) {
  auto takesPart = [](DWORD a) { return WantsRead(a) || WantsWrite(a) || WantsDelete(a); };
  if (!takesPart(hadAccess) || !takesPart(access)) return false;
  if (WantsRead(access) && !(hadShare & FILE_SHARE_READ)) return true;
  if (WantsWrite(access) && !(hadShare & FILE_SHARE_WRITE)) return true;
  if (WantsDelete(access) && !(hadShare & FILE_SHARE_DELETE)) return true;
  if (WantsRead(hadAccess) && !(share & FILE_SHARE_READ)) return true;
  if (WantsWrite(hadAccess) && !(share & FILE_SHARE_WRITE)) return true;
  if (WantsDelete(hadAccess) && !(share & FILE_SHARE_DELETE)) return true;
  return false;
}

bool IsLive(int pid, int64_t start) {
  auto s = ProcessStartTime(pid);
  return s && static_cast<int64_t>(*s) == start;
}

std::string AsciiLower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

DWORD ErrnoToWin(int e, DWORD missing) {
  switch (e) {
    case ENOENT: return missing;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
  }
}

std::vector<OpenRow> LiveOpens(Db& db, uint64_t dev, uint64_t ino, bool all) {
  std::vector<OpenRow> out;
  std::vector<int64_t> dead;
  {
    auto st = all ? db.Prepare("SELECT id, pid, start, access, share, dev, ino FROM open_files")
                  : db.Prepare("SELECT id, pid, start, access, share, dev, ino FROM open_files WHERE dev=? AND ino=?");
    if (!all) st.Bind(1, static_cast<int64_t>(dev)).Bind(2, static_cast<int64_t>(ino));
    while (st.Step()) {
      if (!IsLive(static_cast<int>(st.Int(1)), st.Int(2))) {
        dead.push_back(st.Int(0));
        continue;
      }
      out.push_back({st.Int(0), static_cast<DWORD>(st.Int(3)), static_cast<DWORD>(st.Int(4)),
                     static_cast<uint64_t>(st.Int(5)), static_cast<uint64_t>(st.Int(6))});
    }
  }
  for (int64_t id : dead) db.Prepare("DELETE FROM open_files WHERE id=?").Bind(1, id).Step();
  return out;
}

bool AnyConflict(const std::vector<OpenRow>& rows, DWORD access, DWORD share) {
  for (const auto& r : rows) {
    if (ShareConflict(r.access, r.share, access, share)) return true;
  }
  return false;
}

BOOL WinsimFiles::CreatePipe(HANDLE* readPipe, HANDLE* writePipe, const SECURITY_ATTRIBUTES* attributes, DWORD) {
  if (!readPipe || !writePipe) return Fail(ERROR_INVALID_PARAMETER);
  return Guard(FALSE, [&]() -> BOOL {
    if (!CreatePipeHandles(attributes && attributes->bInheritHandle, readPipe, writePipe)) return FALSE;
    return Ok();
  });
}

DWORD WinsimFiles::GetFileAttributesW(std::u16string_view path) {
  return Guard(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
    DWORD err = 0;
    auto t = Resolve(path, &err);
    if (!t) {
      SetLastError(err);
      return INVALID_FILE_ATTRIBUTES;
    }
    if (!t->exists) {
      SetLastError(MissingError(*t));
      return INVALID_FILE_ATTRIBUTES;
    }
    SetLastError(NO_ERROR);
    return AttributesOf(t->st, t->link);
  });
}

BOOL WinsimFiles::SetFileAttributesW(std::u16string_view path, DWORD attributes) {
  return Guard(FALSE, [&]() -> BOOL {
    DWORD err = 0;
    auto t = Resolve(path, &err);
    if (!t) return Fail(err);
    if (!t->exists) return Fail(MissingError(*t));
    // Only the read-only attribute of files has an effect here; folders ignore it, as on Windows.
    if (!t->IsDir()) {
      mode_t mode = t->st.st_mode & 07777;
      mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
      if (::chmod(t->host.c_str(), mode) != 0) return Fail(ErrnoToWin(errno));
    }
    return Ok();
  });
}

std::u16string WinsimFiles::GetCurrentDirectoryW() {
  std::lock_guard lock(cwdMutex_);
  return m_->self().currentDirectory;
}

BOOL WinsimFiles::SetCurrentDirectoryW(std::u16string_view path) {
  return Guard(FALSE, [&]() -> BOOL {
    std::optional<WinPath> w = ParseWinPath(path, GetCurrentDirectoryW());
    if (!w) return Fail(ERROR_INVALID_NAME);
    DWORD err = 0;
    auto t = ResolveParsed(*w, &err);
    if (!t) return Fail(err);
    if (!t->exists) return Fail(MissingError(*t));
    if (!t->IsDir()) return Fail(ERROR_DIRECTORY);
    std::lock_guard lock(cwdMutex_);
    m_->self().currentDirectory = w->ToString();
    return Ok();
  });
}

std::u16string WinsimFiles::GetModuleFileNameW() { return m_->self().imagePath; }

std::u16string WinsimFiles::GetFullPathNameW(std::u16string_view path) {
  return Guard(std::u16string(), [&]() -> std::u16string {
    // Wildcards are kept as written: stand them in with private-use characters while parsing.
    std::u16string p(path);
    for (char16_t& c : p) {
      if (c == u'*') c = 0xE000;
      if (c == u'?') c = 0xE001;
    }
    auto w = ParseWinPath(p, GetCurrentDirectoryW());
    if (!w) {
      SetLastError(ERROR_INVALID_NAME);
      return {};
    }
    std::u16string out = w->ToString();
    for (char16_t& c : out) {
      if (c == 0xE000) c = u'*';
      if (c == 0xE001) c = u'?';
    }
    if (!w->IsRoot() && !path.empty() && (path.back() == u'\\' || path.back() == u'/')) out.push_back(u'\\');
    SetLastError(NO_ERROR);
    return out;
  });
}

std::optional<Target> WinsimFiles::Resolve(std::u16string_view path, DWORD* err) {
  auto w = ParseWinPath(path, GetCurrentDirectoryW());
  if (!w) {
    *err = path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME;
    return std::nullopt;
  }
  return ResolveParsed(*w, err);
}

std::optional<Target> WinsimFiles::ResolveParsed(const WinPath& parsed, DWORD* err) {
  auto v = FindVolume(static_cast<char16_t>(parsed.drive));
  if (!v) {
    *err = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  if (!v->present) {
    *err = ERROR_NOT_READY;
    return std::nullopt;
  }
  Target t;
  t.win = m_->IsWow64() ? RedirectForWow64(parsed) : parsed;
  const std::string driveRoot = ToHostPath(m_->root(), WinPath{t.win.drive, {}});
  if (!IsHostDir(driveRoot)) {
    std::error_code ec;
    fs::create_directories(driveRoot, ec);
  }
  t.host = ToHostPath(m_->root(), t.win);
  t.exists = ::stat(t.host.c_str(), &t.st) == 0;
  struct stat own {};
  t.link = t.IsDir() && ::lstat(t.host.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
  return t;
}

std::u16string WinsimFiles::FullPath(std::u16string_view path) {
  auto w = ParseWinPath(path, GetCurrentDirectoryW());
  return w ? w->ToString() : std::u16string(path);
}

std::optional<Target> WinsimFiles::CurrentTarget() {
  DWORD err = 0;
  return Resolve(GetCurrentDirectoryW(), &err);
}

DWORD WinsimFiles::MissingError(const Target& t, DWORD missingFile) {
  return IsHostDir(HostParent(t.host)) ? missingFile : ERROR_PATH_NOT_FOUND;
}

bool WinsimFiles::IsSameOrUnder(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

std::string WinsimFiles::LockKey(const std::string& host) { return AsciiLower(WideToUtf8(FoldCase(Utf8ToWide(host)))); }

bool WinsimFiles::IsLocked(const std::string& host) {
  auto cfg = m_->Config();
  if (cfg.lockedFiles.empty()) return false;
  const std::string key = LockKey(host);
  std::error_code ec;
  const std::string canon = LockKey(fs::weakly_canonical(host, ec).string());
  for (const auto& l : cfg.lockedFiles) {
    if (l == key || l == canon) return true;
  }
  return false;
}

HANDLE WinsimFiles::FailHandle(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

std::unique_ptr<win::IFileSystem> MakeFiles(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimFiles>(std::move(machine));
}

}  // namespace winsim
