// Files, folders, volumes and the environment of a simulated machine. Share modes are kept in the
// machine's state database (open_files) so that every process of the machine sees them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/winsim/kill_point.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/pipes.h"
#include "platform/winsim/scm.h"
#include "platform/winsim/reboot.h"
#include "platform/winsim/services.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

using namespace win;

constexpr DWORD FILE_READ_DATA = 0x1;
constexpr DWORD FILE_WRITE_DATA = 0x2;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;

constexpr ULONGLONG kMiB = 1024ull * 1024;
constexpr ULONGLONG kGiB = 1024ull * kMiB;
constexpr ULONGLONG kDefaultFree = 100 * kGiB;
constexpr ULONGLONG kDefaultTotal = 250 * kGiB;

const char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kPendingValue[] = u"PendingFileRenameOperations";

bool WantsRead(DWORD a) { return (a & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0; }
bool WantsWrite(DWORD a) { return (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; }
bool WantsDelete(DWORD a) { return (a & (DELETE | GENERIC_ALL)) != 0; }

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

DWORD ErrnoToWin(int e, DWORD missing = ERROR_FILE_NOT_FOUND) {
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

// This process in the open-file table.
struct Me {
  int pid = 0;
  int64_t start = 0;
};

Me CurrentProcess() {
  static std::mutex mu;
  static Me cached;
  std::lock_guard lock(mu);
  int pid = getpid();
  if (cached.pid != pid) {  // a forked child is another process
    auto s = ProcessStartTime(pid);
    cached = {pid, s ? static_cast<int64_t>(*s) : 0};
  }
  return cached;
}

bool IsLive(int pid, int64_t start) {
  auto s = ProcessStartTime(pid);
  return s && static_cast<int64_t>(*s) == start;
}

struct OpenRow {
  int64_t id = 0;
  DWORD access = 0;
  DWORD share = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
};

// Handles of live processes on one file, or on every file when all is set; rows of dead processes
// are dropped on the way, since their handles are gone.
std::vector<OpenRow> LiveOpens(Db& db, uint64_t dev, uint64_t ino, bool all = false) {
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

uint64_t FileTimeOf(const struct stat& st) {
  return (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

bool IsReadOnly(const struct stat& st) { return !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR); }

DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY : 0);
}

std::string HostParent(const std::string& host) {
  size_t slash = host.find_last_of('/');
  return slash == std::string::npos ? host : host.substr(0, slash);
}

bool IsHostDir(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string AsciiLower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool IsValidWinName(std::u16string_view name) {
  for (char16_t c : name) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*' ||
        c == u'\\') {
      return false;
    }
  }
  return !name.empty();
}

// REG_MULTI_SZ of PendingFileRenameOperations: pairs whose second string may be empty, so the
// strings are read one by one up to the end of the data, not up to the first empty one.
std::vector<std::u16string> ParsePending(const std::vector<BYTE>& data) {
  std::vector<std::u16string> out;
  std::u16string cur;
  bool open = false;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) {
      out.push_back(std::move(cur));
      cur.clear();
      open = false;
    } else {
      cur.push_back(c);
      open = true;
    }
  }
  if (open) out.push_back(std::move(cur));
  // The list's own terminator shows up as one extra empty string.
  if (out.size() % 2 == 1 && out.back().empty()) out.pop_back();
  return out;
}

std::vector<BYTE> SerializePending(const std::vector<std::u16string>& strings) {
  std::vector<BYTE> out;
  auto put = [&](char16_t c) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  };
  for (const auto& s : strings) {
    for (char16_t c : s) put(c);
    put(0);
  }
  put(0);
  return out;
}

std::optional<std::vector<BYTE>> ReadPending(IRegistry& reg) {
  HKEY key = nullptr;
  if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0, size = 0;
  std::optional<std::vector<BYTE>> out;
  if (reg.RegQueryValueExW(key, kPendingValue, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<BYTE> data(size);
    if (reg.RegQueryValueExW(key, kPendingValue, &type, data.data(), &size) == ERROR_SUCCESS) {
      data.resize(size);
      out = std::move(data);
    }
  }
  reg.RegCloseKey(key);
  return out;
}

std::u16string StripNtPrefix(std::u16string s) {
  if (s.rfind(u"\\??\\", 0) == 0) s.erase(0, 4);
  return s;
}

class FileObject : public KernelObject {
 public:
  FileObject(std::shared_ptr<Machine> m, int fd, int64_t row, DWORD access, bool dir, bool deleteOnClose,
             std::string host)
      : m_(std::move(m)), fd_(fd), row_(row), access_(access), dir_(dir), deleteOnClose_(deleteOnClose),
        host_(std::move(host)) {}
  ~FileObject() override {
    ::close(fd_);
    try {
      m_->WithState([&](Db& db) {
        db.Prepare("DELETE FROM open_files WHERE id=?").Bind(1, row_).Step();
        return 0;
      });
    } catch (...) {
      // A row left behind only matters while this process lives.
    }
    if (deleteOnClose_) {
      if (dir_) {
        ::rmdir(host_.c_str());
      } else {
        ::unlink(host_.c_str());
      }
    }
  }

  int fd() const { return fd_; }
  // The descriptor positioned where the caller believes it is: read-ahead is given back first.
  int SyncedFd() {
    if (ahead_ > taken_) ::lseek(fd_, -static_cast<off_t>(ahead_ - taken_), SEEK_CUR);
    ahead_ = taken_ = 0;
    return fd_;
  }
  // Small sequential reads (the agent reads in 1 KiB blocks) are served from a read-ahead buffer,
  // as the Windows cache would, instead of one system call each. Returns -1 with errno on failure.
  ssize_t Read(char* out, size_t want) {
    if (taken_ == ahead_ && want >= kAhead) {
      ahead_ = taken_ = 0;
      return ::read(fd_, out, want);
    }
    size_t done = 0;
    while (done < want) {
      if (taken_ == ahead_) {
        if (buffer_.empty()) buffer_.resize(kAhead);
        ssize_t n = ::read(fd_, buffer_.data(), kAhead);
        if (n < 0) {
          ahead_ = taken_ = 0;
          return done ? static_cast<ssize_t>(done) : n;
        }
        ahead_ = static_cast<size_t>(n);
        taken_ = 0;
        if (n == 0) break;
      }
      size_t k = std::min(want - done, ahead_ - taken_);
      std::memcpy(out + done, buffer_.data() + taken_, k);
      taken_ += k;
      done += k;
    }
    return static_cast<ssize_t>(done);
  }
  DWORD access() const { return access_; }
  bool dir() const { return dir_; }
  std::mutex& mutex() { return mutex_; }
  // The Windows path it was opened by (for the kill point).
  std::u16string winPath;

 private:
  std::shared_ptr<Machine> m_;
  int fd_;
  int64_t row_;
  DWORD access_;
  bool dir_;
  bool deleteOnClose_;
  std::string host_;
  std::mutex mutex_;
  static constexpr size_t kAhead = 64 * 1024;
  std::vector<char> buffer_;
  size_t ahead_ = 0;  // bytes in buffer_
  size_t taken_ = 0;  // of which already handed out
};

// Explicit DACLs of folders, keyed by the host inode; one line per entry: type flags mask sid.
void EnsureSecuritySchema(Db& db) {
  db.Exec("CREATE TABLE IF NOT EXISTS file_security(dev INTEGER, ino INTEGER, dacl TEXT, PRIMARY KEY(dev, ino));");
}

std::string EncodeAcl(const ACL& acl) {
  std::string out;
  for (const auto& a : acl.Aces) {
    out += std::to_string(a.AceType) + " " + std::to_string(a.AceFlags) + " " + std::to_string(a.Mask) + " " +
           WideToUtf8(ConvertSidToStringSidW(a.Sid)) + "\n";
  }
  return out;
}

ACL DecodeAcl(const std::string& text) {
  ACL acl;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    unsigned type = 0, flags = 0;
    unsigned long mask = 0;
    char sid[128] = {};
    if (std::sscanf(line.c_str(), "%u %u %lu %127s", &type, &flags, &mask, sid) != 4) continue;
    ACE ace;
    ace.AceType = static_cast<BYTE>(type);
    ace.AceFlags = static_cast<BYTE>(flags);
    ace.Mask = static_cast<DWORD>(mask);
    // "S-1-<authority>-<sub>..."
    std::vector<uint64_t> parts;
    for (char* p = sid + 2; *p;) {
      parts.push_back(std::strtoull(p, &p, 10));
      if (*p == '-') ++p;
    }
    if (parts.size() < 2) continue;
    ace.Sid.Revision = static_cast<BYTE>(parts[0]);
    for (int i = 0; i < 6; ++i) ace.Sid.IdentifierAuthority.Value[i] = static_cast<BYTE>(parts[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < parts.size(); ++i) ace.Sid.SubAuthority.push_back(static_cast<DWORD>(parts[i]));
    acl.Aces.push_back(std::move(ace));
  }
  return acl;
}

class FindObject : public KernelObject {
 public:
  explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  bool Next(WIN32_FIND_DATAW* data) {
    std::lock_guard lock(mutex_);
    if (next_ >= entries_.size()) return false;
    if (data) *data = entries_[next_];
    ++next_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<WIN32_FIND_DATAW> entries_;
  size_t next_ = 0;
};

// A Windows path resolved to its host path (after WOW64 redirection).
struct Target {
  WinPath win;
  std::string host;
  bool exists = false;
  struct stat st {};
  bool IsDir() const { return exists && S_ISDIR(st.st_mode); }
};

class WinsimFiles : public IFileSystem {
 public:
  explicit WinsimFiles(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  HANDLE CreateFileW(std::u16string_view path, DWORD access, DWORD shareMode, DWORD creation,
                     DWORD flags) override {
    if (IsDevicePath(path)) return OpenDevice(m_, path, access);
    if (WantsWrite(access) || creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING) {
      AtKillPoint(*m_, "CreateFile", FullPath(path));
    }
    return Guard(INVALID_HANDLE_VALUE, [&] { return DoCreateFile(path, access, shareMode, creation, flags); });
  }

  BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read) override {
    return Guard(FALSE, [&]() -> BOOL {
      if (auto piped = ReadPipe(file, buffer, toRead, read)) return *piped;
      if (read) *read = 0;
      auto f = Handles().GetAs<FileObject>(file);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      if (f->dir()) return Fail(ERROR_INVALID_FUNCTION);
      if (!WantsRead(f->access())) return Fail(ERROR_ACCESS_DENIED);
      std::lock_guard lock(f->mutex());
      DWORD total = 0;
      while (total < toRead) {
        ssize_t n = f->Read(static_cast<char*>(buffer) + total, toRead - total);
        if (n < 0) {
          if (errno == EINTR) continue;
          return Fail(ErrnoToWin(errno));
        }
        if (n == 0) break;
        total += static_cast<DWORD>(n);
      }
      if (read) *read = total;
      return Ok();
    });
  }

  BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written) override {
    return Guard(FALSE, [&]() -> BOOL {
      if (written) *written = 0;
      auto f = Handles().GetAs<FileObject>(file);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      if (f->dir()) return Fail(ERROR_INVALID_FUNCTION);
      if (!WantsWrite(f->access())) return Fail(ERROR_ACCESS_DENIED);
      AtKillPoint(*m_, "WriteFile", f->winPath);
      std::lock_guard lock(f->mutex());
      DWORD total = 0;
      while (total < toWrite) {
        ssize_t n = ::write(f->SyncedFd(), static_cast<const char*>(buffer) + total, toWrite - total);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (written) *written = total;
          return Fail(ErrnoToWin(errno));
        }
        total += static_cast<DWORD>(n);
      }
      if (written) *written = total;
      return Ok();
    });
  }

  DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) override {
    return Guard(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
      int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                         static_cast<uint32_t>(distance))
                                  : static_cast<int64_t>(distance);
      int64_t pos = 0;
      DWORD err = Seek(file, move, method, &pos);
      if (err == ERROR_SUCCESS && !distanceHigh && pos > 0xFFFFFFFELL) err = ERROR_INVALID_PARAMETER;
      if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return INVALID_SET_FILE_POINTER;
      }
      if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
      SetLastError(NO_ERROR);  // the low part may itself be 0xFFFFFFFF
      return static_cast<DWORD>(static_cast<uint64_t>(pos) & 0xFFFFFFFFu);
    });
  }

  BOOL SetFilePointerEx(HANDLE file, int64_t distance, int64_t* newPosition, DWORD method) override {
    return Guard(FALSE, [&]() -> BOOL {
      int64_t pos = 0;
      DWORD err = Seek(file, distance, method, &pos);
      if (err != ERROR_SUCCESS) return Fail(err);
      if (newPosition) *newPosition = pos;
      return Ok();
    });
  }

  BOOL GetFileSizeEx(HANDLE file, int64_t* size) override {
    return Guard(FALSE, [&]() -> BOOL {
      auto f = Handles().GetAs<FileObject>(file);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      struct stat st {};
      if (fstat(f->fd(), &st) != 0) return Fail(ErrnoToWin(errno));
      if (size) *size = f->dir() ? 0 : static_cast<int64_t>(st.st_size);
      return Ok();
    });
  }

  BOOL SetEndOfFile(HANDLE file) override {
    return Guard(FALSE, [&]() -> BOOL {
      auto f = Handles().GetAs<FileObject>(file);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      if (f->dir() || !WantsWrite(f->access())) return Fail(ERROR_ACCESS_DENIED);
      std::lock_guard lock(f->mutex());
      off_t pos = lseek(f->SyncedFd(), 0, SEEK_CUR);
      if (pos < 0 || ftruncate(f->fd(), pos) != 0) return Fail(ErrnoToWin(errno));
      return Ok();
    });
  }

  BOOL FlushFileBuffers(HANDLE file) override {
    return Guard(FALSE, [&]() -> BOOL {
      auto f = Handles().GetAs<FileObject>(file);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      if (!WantsWrite(f->access())) return Fail(ERROR_ACCESS_DENIED);
      if (fsync(f->fd()) != 0) return Fail(ErrnoToWin(errno));
      return Ok();
    });
  }

  BOOL DeleteFileW(std::u16string_view path) override {
    AtKillPoint(*m_, "DeleteFile", FullPath(path));
    return Guard(FALSE, [&]() -> BOOL {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t) return Fail(err);
      if (!t->exists) return Fail(MissingError(*t));
      if (t->IsDir()) return Fail(ERROR_ACCESS_DENIED);
      if (IsLocked(t->host)) return Fail(ERROR_SHARING_VIOLATION);
      return m_->WithState([&](Db& db) -> BOOL {
        Transaction tx(db);
        if (AnyConflict(LiveOpens(db, t->st.st_dev, t->st.st_ino), DELETE, kShareAll)) {
          return Fail(ERROR_SHARING_VIOLATION);
        }
        if (IsReadOnly(t->st) || IsFileInUseAsImage(*m_, t->st.st_dev, t->st.st_ino)) return Fail(ERROR_ACCESS_DENIED);
        if (::unlink(t->host.c_str()) != 0) return Fail(ErrnoToWin(errno));
        tx.Commit();
        return Ok();
      });
    });
  }

  BOOL CopyFileW(std::u16string_view from, std::u16string_view to, BOOL failIfExists) override {
    AtKillPoint(*m_, "CopyFile", FullPath(to));
    return Guard(FALSE, [&] { return DoCopy(from, to, failIfExists); });
  }

  BOOL MoveFileW(std::u16string_view from, std::u16string_view to) override {
    return MoveFileExW(from, to, MOVEFILE_COPY_ALLOWED);
  }

  BOOL MoveFileExW(std::u16string_view from, std::u16string_view to, DWORD flags) override {
    AtKillPoint(*m_, "MoveFileEx", FullPath(from));
    return Guard(FALSE, [&]() -> BOOL {
      if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return DelayMove(from, to, flags);
      return DoMove(from, to, flags);
    });
  }

  BOOL CreateDirectoryW(std::u16string_view path) override {
    return Guard(FALSE, [&]() -> BOOL {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t) return Fail(err);
      if (t->exists) return Fail(t->win.IsRoot() ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
      if (!IsHostDir(HostParent(t->host))) return Fail(ERROR_PATH_NOT_FOUND);
      if (::mkdir(t->host.c_str(), 0777) != 0) return Fail(ErrnoToWin(errno, ERROR_PATH_NOT_FOUND));
      return Ok();
    });
  }

  BOOL CreateDirectoryW(std::u16string_view path, const SECURITY_ATTRIBUTES* attributes) override {
    if (!CreateDirectoryW(path)) return FALSE;
    return Guard(FALSE, [&]() -> BOOL {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t || !t->exists) return Fail(err ? err : ERROR_PATH_NOT_FOUND);
      const SECURITY_DESCRIPTOR* sd = attributes ? attributes->lpSecurityDescriptor : nullptr;
      m_->WithState([&](Db& db) {
        EnsureSecuritySchema(db);
        db.Prepare("DELETE FROM file_security WHERE dev=? AND ino=?")
            .Bind(1, static_cast<int64_t>(t->st.st_dev))
            .Bind(2, static_cast<int64_t>(t->st.st_ino))
            .Step();
        if (sd && sd->DaclPresent) {
          db.Prepare("INSERT INTO file_security(dev, ino, dacl) VALUES(?,?,?)")
              .Bind(1, static_cast<int64_t>(t->st.st_dev))
              .Bind(2, static_cast<int64_t>(t->st.st_ino))
              .Bind(3, EncodeAcl(sd->Dacl))
              .Step();
        }
        return 0;
      });
      return Ok();
    });
  }

  DWORD GetNamedSecurityInfoW(std::u16string_view path, DWORD objectType, DWORD securityInfo, ACL* dacl,
                              BOOL* present) override {
    if (objectType != SE_FILE_OBJECT || !(securityInfo & DACL_SECURITY_INFORMATION) || !dacl || !present) {
      return ERROR_INVALID_PARAMETER;
    }
    return Guard(static_cast<DWORD>(ERROR_INTERNAL_ERROR), [&]() -> DWORD {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t) return err;
      if (!t->exists) return MissingError(*t);
      std::optional<std::string> text = m_->WithState([&](Db& db) -> std::optional<std::string> {
        EnsureSecuritySchema(db);
        auto st = db.Prepare("SELECT dacl FROM file_security WHERE dev=? AND ino=?");
        st.Bind(1, static_cast<int64_t>(t->st.st_dev)).Bind(2, static_cast<int64_t>(t->st.st_ino));
        if (st.Step()) return st.Text(0);
        return std::nullopt;
      });
      *present = text ? TRUE : FALSE;
      *dacl = text ? DecodeAcl(*text) : ACL();
      return ERROR_SUCCESS;
    });
  }

  BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, const SECURITY_ATTRIBUTES* attributes, DWORD) override {
    if (!readPipe || !writePipe) return Fail(ERROR_INVALID_PARAMETER);
    return Guard(FALSE, [&]() -> BOOL {
      if (!CreatePipeHandles(attributes && attributes->bInheritHandle, readPipe, writePipe)) return FALSE;
      return Ok();
    });
  }

  BOOL RemoveDirectoryW(std::u16string_view path) override {
    return Guard(FALSE, [&]() -> BOOL {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t) return Fail(err);
      if (!t->exists) return Fail(MissingError(*t));
      if (!t->IsDir()) return Fail(ERROR_DIRECTORY);
      if (t->win.IsRoot()) return Fail(ERROR_ACCESS_DENIED);
      if (IsLocked(t->host)) return Fail(ERROR_SHARING_VIOLATION);
      if (auto cwd = CurrentTarget(); cwd && IsSameOrUnder(cwd->host, t->host)) return Fail(ERROR_SHARING_VIOLATION);
      return m_->WithState([&](Db& db) -> BOOL {
        Transaction tx(db);
        if (AnyConflict(LiveOpens(db, t->st.st_dev, t->st.st_ino), DELETE, kShareAll)) {
          return Fail(ERROR_SHARING_VIOLATION);
        }
        if (::rmdir(t->host.c_str()) != 0) return Fail(ErrnoToWin(errno));
        EnsureSecuritySchema(db);
        db.Prepare("DELETE FROM file_security WHERE dev=? AND ino=?")
            .Bind(1, static_cast<int64_t>(t->st.st_dev))
            .Bind(2, static_cast<int64_t>(t->st.st_ino))
            .Step();
        tx.Commit();
        return Ok();
      });
    });
  }

  DWORD GetFileAttributesW(std::u16string_view path) override {
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
      return AttributesOf(t->st);
    });
  }

  BOOL SetFileAttributesW(std::u16string_view path, DWORD attributes) override {
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

  HANDLE FindFirstFileW(std::u16string_view pattern, WIN32_FIND_DATAW* data) override {
    return Guard(INVALID_HANDLE_VALUE, [&] { return DoFindFirst(pattern, data); });
  }

  BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) override {
    return Guard(FALSE, [&]() -> BOOL {
      auto f = Handles().GetAs<FindObject>(find);
      if (!f) return Fail(ERROR_INVALID_HANDLE);
      if (!f->Next(data)) return Fail(ERROR_NO_MORE_FILES);
      return Ok();
    });
  }

  BOOL FindClose(HANDLE find) override {
    return Guard(FALSE, [&]() -> BOOL {
      if (!Handles().GetAs<FindObject>(find) || !Handles().Close(find)) return Fail(ERROR_INVALID_HANDLE);
      return Ok();
    });
  }

  std::u16string GetCurrentDirectoryW() override {
    std::lock_guard lock(cwdMutex_);
    return m_->self().currentDirectory;
  }

  BOOL SetCurrentDirectoryW(std::u16string_view path) override {
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

  std::u16string GetModuleFileNameW() override { return m_->self().imagePath; }

  std::u16string GetFullPathNameW(std::u16string_view path) override {
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

  std::u16string ExpandEnvironmentStringsW(std::u16string_view text) override {
    return Guard(std::u16string(text), [&] { return Expand(text, true); });
  }

  BOOL GetEnvironmentVariableW(std::u16string_view name, std::u16string* value) override {
    return Guard(FALSE, [&]() -> BOOL {
      auto v = Lookup(name, true);
      if (!v) return Fail(ERROR_ENVVAR_NOT_FOUND);
      if (value) *value = *v;
      return Ok();
    });
  }

  DWORD GetLogicalDrives() override {
    return Guard(DWORD{0}, [&]() -> DWORD {
      DWORD mask = 0;
      for (const auto& v : m_->Config().volumes) mask |= 1u << (v.letter - 'A');
      SetLastError(NO_ERROR);
      return mask;
    });
  }

  std::u16string GetLogicalDriveStringsW() override {
    return Guard(std::u16string(), [&]() -> std::u16string {
      auto volumes = m_->Config().volumes;
      std::sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) { return a.letter < b.letter; });
      std::u16string out;
      for (const auto& v : volumes) {
        out.push_back(static_cast<char16_t>(v.letter));
        out += u":\\";
        out.push_back(0);
      }
      out.push_back(0);
      return out;
    });
  }

  UINT GetDriveTypeW(std::u16string_view root) override {
    return Guard(UINT{DRIVE_UNKNOWN}, [&]() -> UINT {
      std::u16string r(root);
      if (r.empty()) r = GetCurrentDirectoryW().substr(0, 3);
      bool rootForm = r.size() >= 2 && r[1] == u':' &&
                      (r.size() == 2 || (r.size() == 3 && (r[2] == u'\\' || r[2] == u'/')));
      if (!rootForm) return DRIVE_NO_ROOT_DIR;
      auto v = FindVolume(r[0]);
      return v ? v->type : DRIVE_NO_ROOT_DIR;
    });
  }

  BOOL GetVolumeInformationW(std::u16string_view root, std::u16string* volumeName, DWORD* serialNumber) override {
    return Guard(FALSE, [&]() -> BOOL {
      std::u16string r(root);
      if (r.empty()) r = GetCurrentDirectoryW().substr(0, 3);
      if (r.size() != 3 || r[1] != u':' || (r[2] != u'\\' && r[2] != u'/')) return Fail(ERROR_INVALID_NAME);
      auto v = FindVolume(r[0]);
      if (!v) return Fail(ERROR_PATH_NOT_FOUND);
      if (!v->present) return Fail(ERROR_NOT_READY);
      if (volumeName) *volumeName = Utf8ToWide(v->label);
      if (serialNumber) *serialNumber = v->serial;
      return Ok();
    });
  }

  BOOL GetDiskFreeSpaceExW(std::u16string_view path, ULONGLONG* freeToCaller, ULONGLONG* total,
                           ULONGLONG* totalFree) override {
    return Guard(FALSE, [&]() -> BOOL {
      std::u16string p(path);
      if (p.empty()) p = GetCurrentDirectoryW();
      DWORD err = 0;
      auto t = Resolve(p, &err);
      if (!t) return Fail(err);
      if (!t->exists) return Fail(MissingError(*t, ERROR_PATH_NOT_FOUND));
      if (!t->IsDir()) return Fail(ERROR_DIRECTORY);
      auto cfg = m_->Config();
      ULONGLONG free = cfg.freeSpaceMb ? *cfg.freeSpaceMb * kMiB : kDefaultFree;
      ULONGLONG size = std::max(kDefaultTotal, free);
      if (freeToCaller) *freeToCaller = free;
      if (total) *total = size;
      if (totalFree) *totalFree = free;
      return Ok();
    });
  }

 private:
  static BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
  }
  static BOOL Ok() {
    SetLastError(NO_ERROR);
    return TRUE;
  }

  // Nothing thrown inside may cross the boundary.
  template <class R, class F>
  static R Guard(R failValue, F&& f) {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
      SetLastError(ERROR_INTERNAL_ERROR);
    }
    return failValue;
  }

  std::optional<Volume> FindVolume(char16_t letter) {
    char16_t up = letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - u'a' + u'A') : letter;
    for (const auto& v : m_->Config().volumes) {
      if (static_cast<char16_t>(v.letter) == up) return v;
    }
    return std::nullopt;
  }

  std::optional<Target> Resolve(std::u16string_view path, DWORD* err) {
    auto w = ParseWinPath(path, GetCurrentDirectoryW());
    if (!w) {
      *err = path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME;
      return std::nullopt;
    }
    return ResolveParsed(*w, err);
  }

  std::optional<Target> ResolveParsed(const WinPath& parsed, DWORD* err) {
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
    return t;
  }

  // A path as the kill point names it: full, or as given when it does not parse.
  std::u16string FullPath(std::u16string_view path) {
    auto w = ParseWinPath(path, GetCurrentDirectoryW());
    return w ? w->ToString() : std::u16string(path);
  }

  std::optional<Target> CurrentTarget() {
    DWORD err = 0;
    return Resolve(GetCurrentDirectoryW(), &err);
  }

  static DWORD MissingError(const Target& t, DWORD missingFile = ERROR_FILE_NOT_FOUND) {
    return IsHostDir(HostParent(t.host)) ? missingFile : ERROR_PATH_NOT_FOUND;
  }

  static bool IsSameOrUnder(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == '/');
  }

  // Locked host paths are kept folded as the winsim command folds them: upper-cased as Windows
  // compares names, then ASCII letters lower-cased.
  static std::string LockKey(const std::string& host) { return AsciiLower(WideToUtf8(FoldCase(Utf8ToWide(host)))); }

  bool IsLocked(const std::string& host) {
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

  HANDLE FailHandle(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }

  HANDLE DoCreateFile(std::u16string_view path, DWORD access, DWORD share, DWORD creation, DWORD flags) {
    if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) return FailHandle(ERROR_INVALID_PARAMETER);
    if (creation == TRUNCATE_EXISTING && !WantsWrite(access)) return FailHandle(ERROR_INVALID_PARAMETER);
    const bool deleteOnClose = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    // A file created while another process races us for the name is opened on the second round.
    for (int round = 0; round < 2; ++round) {
      DWORD err = 0;
      auto t = Resolve(path, &err);
      if (!t) return FailHandle(err);
      if (!t->exists) {
        if (!IsHostDir(HostParent(t->host))) return FailHandle(ERROR_PATH_NOT_FOUND);
        if (creation == OPEN_EXISTING || creation == TRUNCATE_EXISTING) return FailHandle(ERROR_FILE_NOT_FOUND);
        const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        HANDLE h = m_->WithState([&](Db& db) -> HANDLE {
          Transaction tx(db);
          int fd = ::open(t->host.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
          if (fd < 0) {
            SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrnoToWin(errno, ERROR_PATH_NOT_FOUND));
            return INVALID_HANDLE_VALUE;
          }
          return Register(db, tx, fd, *t, access, share, false, deleteOnClose);
        });
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS && round == 0) continue;
        if (h != INVALID_HANDLE_VALUE) SetLastError(NO_ERROR);
        return h;
      }

      if (creation == CREATE_NEW) return FailHandle(ERROR_FILE_EXISTS);
      const bool truncate = creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING;
      if (t->IsDir()) {
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || truncate) return FailHandle(ERROR_ACCESS_DENIED);
      }
      const DWORD effective = access | (truncate ? GENERIC_WRITE : 0);
      const bool writing = WantsWrite(effective);
      if (writing && IsReadOnly(t->st)) return FailHandle(ERROR_ACCESS_DENIED);
      if (writing && IsLocked(t->host)) return FailHandle(ERROR_SHARING_VIOLATION);
      if (writing && IsFileInUseAsImage(*m_, t->st.st_dev, t->st.st_ino)) return FailHandle(ERROR_SHARING_VIOLATION);
      HANDLE h = m_->WithState([&](Db& db) -> HANDLE {
        Transaction tx(db);
        if (AnyConflict(LiveOpens(db, t->st.st_dev, t->st.st_ino), effective, share)) {
          SetLastError(ERROR_SHARING_VIOLATION);
          return INVALID_HANDLE_VALUE;
        }
        int oflags = O_CLOEXEC | (t->IsDir() ? (O_RDONLY | O_DIRECTORY) : writing ? O_RDWR : O_RDONLY);
        int fd = ::open(t->host.c_str(), oflags);
        if (fd < 0) {
          SetLastError(ErrnoToWin(errno));
          return INVALID_HANDLE_VALUE;
        }
        if (truncate && ::ftruncate(fd, 0) != 0) {
          SetLastError(ErrnoToWin(errno));
          ::close(fd);
          return INVALID_HANDLE_VALUE;
        }
        return Register(db, tx, fd, *t, access, share, t->IsDir(), deleteOnClose);
      });
      if (h != INVALID_HANDLE_VALUE) {
        SetLastError(creation == OPEN_ALWAYS || creation == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : NO_ERROR);
      }
      return h;
    }
    return FailHandle(ERROR_SHARING_VIOLATION);
  }

  // Records the open in the machine's table and hands out the handle; owns fd from here on.
  HANDLE Register(Db& db, Transaction& tx, int fd, const Target& t, DWORD access, DWORD share, bool dir,
                  bool deleteOnClose) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      SetLastError(ErrnoToWin(errno));
      ::close(fd);
      return INVALID_HANDLE_VALUE;
    }
    const Me me = CurrentProcess();
    try {
      db.Prepare("INSERT INTO open_files(pid, start, dev, ino, access, share, path) VALUES(?,?,?,?,?,?,?)")
          .Bind(1, me.pid)
          .Bind(2, me.start)
          .Bind(3, static_cast<int64_t>(st.st_dev))
          .Bind(4, static_cast<int64_t>(st.st_ino))
          .Bind(5, static_cast<int64_t>(access))
          .Bind(6, static_cast<int64_t>(share))
          .Bind(7, t.host)
          .Step();
    } catch (...) {
      ::close(fd);
      throw;
    }
    const int64_t row = db.LastInsertId();
    tx.Commit();
    auto object = std::make_shared<FileObject>(m_, fd, row, access, dir, deleteOnClose, t.host);
    object->winPath = t.win.ToString();
    return Handles().Add(object);
  }

  DWORD Seek(HANDLE file, int64_t distance, DWORD method, int64_t* pos) {
    auto f = Handles().GetAs<FileObject>(file);
    if (!f) return ERROR_INVALID_HANDLE;
    if (method > FILE_END) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(f->mutex());
    int64_t base = 0;
    if (method == FILE_CURRENT) {
      base = lseek(f->SyncedFd(), 0, SEEK_CUR);
    } else if (method == FILE_END) {
      struct stat st {};
      if (fstat(f->fd(), &st) != 0) return ErrnoToWin(errno);
      base = st.st_size;
    }
    if (base < 0) return ErrnoToWin(errno);
    const int64_t target = base + distance;
    if (target < 0) return ERROR_NEGATIVE_SEEK;
    if (lseek(f->SyncedFd(), target, SEEK_SET) < 0) return ErrnoToWin(errno);
    *pos = target;
    return ERROR_SUCCESS;
  }

  BOOL DoCopy(std::u16string_view from, std::u16string_view to, BOOL failIfExists) {
    DWORD err = 0;
    auto s = Resolve(from, &err);
    if (!s) return Fail(err);
    if (!s->exists) return Fail(MissingError(*s));
    if (s->IsDir()) return Fail(ERROR_ACCESS_DENIED);
    auto d = Resolve(to, &err);
    if (!d) return Fail(err);
    if (d->exists) {
      if (failIfExists) return Fail(ERROR_FILE_EXISTS);
      if (d->IsDir() || IsReadOnly(d->st)) return Fail(ERROR_ACCESS_DENIED);
      if (d->st.st_dev == s->st.st_dev && d->st.st_ino == s->st.st_ino) return Fail(ERROR_SHARING_VIOLATION);
      if (IsLocked(d->host) || IsFileInUseAsImage(*m_, d->st.st_dev, d->st.st_ino)) {
        return Fail(ERROR_SHARING_VIOLATION);
      }
    } else if (!IsHostDir(HostParent(d->host))) {
      return Fail(ERROR_PATH_NOT_FOUND);
    }
    return m_->WithState([&](Db& db) -> BOOL {
      Transaction tx(db);
      if (AnyConflict(LiveOpens(db, s->st.st_dev, s->st.st_ino), GENERIC_READ, kShareAll)) {
        return Fail(ERROR_SHARING_VIOLATION);
      }
      if (d->exists && AnyConflict(LiveOpens(db, d->st.st_dev, d->st.st_ino), GENERIC_WRITE, 0)) {
        return Fail(ERROR_SHARING_VIOLATION);
      }
      int in = ::open(s->host.c_str(), O_RDONLY | O_CLOEXEC);
      if (in < 0) return Fail(ErrnoToWin(errno));
      int out = ::open(d->host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (out < 0) {
        DWORD e = ErrnoToWin(errno, ERROR_PATH_NOT_FOUND);
        ::close(in);
        return Fail(e);
      }
      DWORD result = ERROR_SUCCESS;
      std::vector<char> buf(1 << 16);
      for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          result = ErrnoToWin(errno);
          break;
        }
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
          ssize_t w = ::write(out, buf.data() + off, static_cast<size_t>(n - off));
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) {
            result = ErrnoToWin(errno);
            break;
          }
          off += w;
        }
        if (result != ERROR_SUCCESS) break;
      }
      // The copy keeps the source's time stamp and read-only attribute, as CopyFile does.
      struct timespec times[2] = {s->st.st_atim, s->st.st_mtim};
      ::futimens(out, times);
      ::fchmod(out, s->st.st_mode & 07777);
      ::close(in);
      ::close(out);
      if (result != ERROR_SUCCESS) return Fail(result);
      tx.Commit();
      return Ok();
    });
  }

  // Windows refuses to rename a folder while anything inside it is open or running.
  bool FolderBusy(Db& db, const std::string& folder) {
    std::set<std::pair<uint64_t, uint64_t>> inside;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st {};
      if (::lstat(it->path().c_str(), &st) != 0) continue;
      inside.insert({st.st_dev, st.st_ino});
      if (S_ISREG(st.st_mode) && IsFileInUseAsImage(*m_, st.st_dev, st.st_ino)) return true;
    }
    if (inside.empty()) return false;
    for (const auto& r : LiveOpens(db, 0, 0, true)) {
      if (inside.count({r.dev, r.ino})) return true;
    }
    return false;
  }

  BOOL DoMove(std::u16string_view from, std::u16string_view to, DWORD flags) {
    if (to.empty()) return Fail(ERROR_INVALID_PARAMETER);
    DWORD err = 0;
    auto s = Resolve(from, &err);
    if (!s) return Fail(err);
    if (!s->exists) return Fail(MissingError(*s));
    if (s->win.IsRoot()) return Fail(ERROR_ACCESS_DENIED);
    auto d = Resolve(to, &err);
    if (!d) return Fail(err);
    if (d->win.IsRoot()) return Fail(ERROR_ACCESS_DENIED);
    if (s->win.drive != d->win.drive && !(flags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_NOT_SAME_DEVICE);
    if (!IsHostDir(HostParent(d->host))) return Fail(ERROR_PATH_NOT_FOUND);
    const bool sameFile = d->exists && d->st.st_dev == s->st.st_dev && d->st.st_ino == s->st.st_ino;
    std::string dest = d->host;
    if (sameFile) {
      // A change of case only: the host name takes the new spelling.
      dest = HostParent(d->host) + "/" + WideToUtf8(d->win.Name());
    } else if (d->exists) {
      if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
      if (d->IsDir() || s->IsDir() || IsReadOnly(d->st)) return Fail(ERROR_ACCESS_DENIED);
      if (IsLocked(d->host)) return Fail(ERROR_SHARING_VIOLATION);
      if (IsFileInUseAsImage(*m_, d->st.st_dev, d->st.st_ino)) return Fail(ERROR_ACCESS_DENIED);
    }
    if (s->IsDir() && IsSameOrUnder(d->host, s->host) && !sameFile) return Fail(ERROR_SHARING_VIOLATION);
    if (IsLocked(s->host)) return Fail(ERROR_SHARING_VIOLATION);
    return m_->WithState([&](Db& db) -> BOOL {
      Transaction tx(db);
      if (AnyConflict(LiveOpens(db, s->st.st_dev, s->st.st_ino), DELETE, kShareAll)) {
        return Fail(ERROR_SHARING_VIOLATION);
      }
      if (s->IsDir() && FolderBusy(db, s->host)) return Fail(ERROR_ACCESS_DENIED);
      if (d->exists && !sameFile && !LiveOpens(db, d->st.st_dev, d->st.st_ino).empty()) {
        // The replaced file goes away, which an open handle on it does not allow.
        return Fail(ERROR_ACCESS_DENIED);
      }
      if (::rename(s->host.c_str(), dest.c_str()) != 0) return Fail(ErrnoToWin(errno, ERROR_PATH_NOT_FOUND));
      tx.Commit();
      return Ok();
    });
  }

  BOOL DelayMove(std::u16string_view from, std::u16string_view to, DWORD flags) {
    if (flags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER);
    auto parse = [&](std::u16string_view p) -> std::optional<WinPath> {
      auto w = ParseWinPath(p, GetCurrentDirectoryW());
      if (w && m_->IsWow64()) w = RedirectForWow64(*w);
      return w;
    };
    auto s = parse(from);
    if (!s) return Fail(ERROR_INVALID_NAME);
    std::u16string target;
    if (!to.empty()) {
      auto d = parse(to);
      if (!d) return Fail(ERROR_INVALID_NAME);
      target = ((flags & MOVEFILE_REPLACE_EXISTING) ? u"!\\??\\" : u"\\??\\") + d->ToString();
    }
    auto reg = MakeRegistry(m_);
    if (!reg) return Fail(ERROR_INTERNAL_ERROR);
    // One process at a time appends, so no operation is lost.
    return m_->WithRegistry([&](Db&) -> BOOL {
      std::vector<std::u16string> ops;
      if (auto data = ReadPending(*reg)) ops = ParsePending(*data);
      ops.push_back(u"\\??\\" + s->ToString());
      ops.push_back(target);
      HKEY key = nullptr;
      LONG rc = reg->RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0,
                                     KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
      if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
      const auto bytes = SerializePending(ops);
      rc = reg->RegSetValueExW(key, kPendingValue, REG_MULTI_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
      reg->RegCloseKey(key);
      if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
      return Ok();
    });
  }

  HANDLE DoFindFirst(std::u16string_view pattern, WIN32_FIND_DATAW* data) {
    size_t slash = pattern.find_last_of(u"\\/");
    std::u16string dirPart, namePattern;
    if (slash != std::u16string_view::npos) {
      dirPart = std::u16string(pattern.substr(0, slash + 1));
      namePattern = std::u16string(pattern.substr(slash + 1));
    } else if (pattern.size() >= 2 && pattern[1] == u':') {
      dirPart = std::u16string(pattern.substr(0, 2));
      namePattern = std::u16string(pattern.substr(2));
    } else {
      dirPart = u".";
      namePattern = std::u16string(pattern);
    }
    if (namePattern.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
    for (char16_t c : namePattern) {
      if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|') {
        return FailHandle(ERROR_INVALID_NAME);
      }
    }
    DWORD err = 0;
    auto dir = Resolve(dirPart, &err);
    if (!dir) return FailHandle(err);
    if (!dir->IsDir()) return FailHandle(ERROR_PATH_NOT_FOUND);

    std::vector<WIN32_FIND_DATAW> entries;
    auto entryOf = [](std::u16string name, const struct stat& st) {
      WIN32_FIND_DATAW e;
      e.dwFileAttributes = AttributesOf(st);
      e.ftLastWriteTime = FileTimeOf(st);
      const uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
      e.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      e.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
      e.cFileName = std::move(name);
      return e;
    };
    if (!dir->win.IsRoot()) {
      struct stat parent {};
      ::stat(HostParent(dir->host).c_str(), &parent);
      if (WildcardMatch(namePattern, u".")) entries.push_back(entryOf(u".", dir->st));
      if (WildcardMatch(namePattern, u"..")) entries.push_back(entryOf(u"..", parent));
    }
    std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> found;
    if (DIR* d = ::opendir(dir->host.c_str())) {
      while (dirent* de = ::readdir(d)) {
        std::string host = de->d_name;
        if (host == "." || host == "..") continue;
        std::u16string name = Utf8ToWide(host);
        if (!IsValidWinName(name) || !WildcardMatch(namePattern, name)) continue;
        struct stat st {};
        if (::stat((dir->host + "/" + host).c_str(), &st) != 0) continue;
        std::u16string key = FoldCase(name);
        found.emplace_back(std::move(key), entryOf(std::move(name), st));
      }
      ::closedir(d);
    }
    // NTFS lists names in upper-cased order.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second.cFileName < b.second.cFileName;
    });
    for (auto& f : found) entries.push_back(std::move(f.second));
    if (entries.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);
    auto obj = std::make_shared<FindObject>(std::move(entries));
    obj->Next(data);
    HANDLE h = Handles().Add(obj);
    SetLastError(NO_ERROR);
    return h;
  }

  // The environment.
  DWORD MajorVersion() {
    std::lock_guard lock(envMutex_);
    if (major_) return *major_;
    DWORD major = 0;
    if (auto reg = MakeRegistry(m_)) {
      HKEY key = nullptr;
      if (reg->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                             KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        DWORD type = 0, value = 0, size = sizeof value;
        if (reg->RegQueryValueExW(key, u"CurrentMajorVersionNumber", &type, reinterpret_cast<BYTE*>(&value),
                                  &size) == ERROR_SUCCESS &&
            type == REG_DWORD) {
          major = value;
        }
        reg->RegCloseKey(key);
      }
    }
    if (!major) {
      if (const Profile* p = FindProfile(m_->Config().profile)) major = p->major;
    }
    if (major) major_ = major;
    return major ? major : 10;
  }

  std::vector<std::pair<std::u16string, std::u16string>> ProcessVariables() {
    const auto cfg = m_->Config();
    const bool modern = MajorVersion() >= 6;
    const bool is64 = cfg.Is64Bit();
    const bool wow = m_->IsWow64();
    const bool system = m_->self().system;
    const std::u16string user = Utf8ToWide(cfg.user);
    const std::u16string computer = Utf8ToWide(cfg.computerName);
    const std::u16string windir = u"C:\\Windows";
    const std::u16string profile = system ? windir + u"\\system32\\config\\systemprofile"
                                   : modern ? u"C:\\Users\\" + user
                                            : u"C:\\Documents and Settings\\" + user;
    const std::u16string appData = profile + (modern ? u"\\AppData\\Roaming" : u"\\Application Data");
    const std::u16string temp = system ? windir + u"\\TEMP"
                                : modern ? profile + u"\\AppData\\Local\\Temp"
                                         : profile + u"\\Local Settings\\Temp";
    const std::u16string allUsers = modern ? u"C:\\ProgramData" : u"C:\\Documents and Settings\\All Users";
    const std::u16string pf64 = u"C:\\Program Files";
    const std::u16string pf86 = u"C:\\Program Files (x86)";
    const std::u16string pf = wow ? pf86 : pf64;
    const std::u16string arch = cfg.arch == 9 ? u"AMD64" : cfg.arch == 6 ? u"IA64" : u"x86";

    std::vector<std::pair<std::u16string, std::u16string>> v = {
        {u"ALLUSERSPROFILE", allUsers},
        {u"APPDATA", appData},
        {u"CommonProgramFiles", pf + u"\\Common Files"},
        {u"COMPUTERNAME", computer},
        {u"HOMEDRIVE", u"C:"},
        {u"HOMEPATH", profile.substr(2)},
        {u"NUMBER_OF_PROCESSORS", u"2"},
        {u"PROCESSOR_ARCHITECTURE", wow ? u"x86" : arch},
        {u"ProgramFiles", pf},
        {u"SystemDrive", u"C:"},
        {u"SystemRoot", windir},
        {u"TEMP", temp},
        {u"TMP", temp},
        {u"USERDOMAIN", system ? u"WORKGROUP" : computer},
        {u"USERNAME", system ? computer + u"$" : user},
        {u"USERPROFILE", profile},
        {u"windir", windir},
    };
    if (modern) {
      v.push_back({u"LOCALAPPDATA", profile + u"\\AppData\\Local"});
      v.push_back({u"ProgramData", allUsers});
      v.push_back({u"PUBLIC", u"C:\\Users\\Public"});
    }
    if (is64) {
      v.push_back({u"CommonProgramFiles(x86)", pf86 + u"\\Common Files"});
      v.push_back({u"CommonProgramW6432", pf64 + u"\\Common Files"});
      v.push_back({u"ProgramFiles(x86)", pf86});
      v.push_back({u"ProgramW6432", pf64});
    }
    if (wow) v.push_back({u"PROCESSOR_ARCHITEW6432", arch});
    return v;
  }

  // Machine-wide variables kept in the registry (an installer may add its own).
  std::optional<std::u16string> RegistryVariable(std::u16string_view name) {
    auto reg = MakeRegistry(m_);
    if (!reg) return std::nullopt;
    HKEY key = nullptr;
    if (reg->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                           KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::optional<std::u16string> out;
    DWORD type = 0, size = 0;
    if (reg->RegQueryValueExW(key, name, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      std::vector<BYTE> data(size);
      if (reg->RegQueryValueExW(key, name, &type, data.data(), &size) == ERROR_SUCCESS) {
        std::u16string s;
        for (size_t i = 0; i + 1 < size; i += 2) s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        while (!s.empty() && s.back() == 0) s.pop_back();
        out = type == REG_EXPAND_SZ ? Expand(s, false) : s;
      }
    }
    reg->RegCloseKey(key);
    return out;
  }

  std::optional<std::u16string> Lookup(std::u16string_view name, bool useRegistry) {
    if (name.empty()) return std::nullopt;
    for (auto& [k, v] : ProcessVariables()) {
      if (EqualsNoCase(k, name)) return v;
    }
    if (useRegistry) {
      if (auto r = RegistryVariable(name)) return r;
    }
    static const std::pair<const char16_t*, const char16_t*> kDefaults[] = {
        {u"ComSpec", u"C:\\Windows\\system32\\cmd.exe"},
        {u"OS", u"Windows_NT"},
        {u"Path", u"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
        {u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"},
    };
    for (const auto& [k, v] : kDefaults) {
      if (EqualsNoCase(k, name)) return std::u16string(v);
    }
    return std::nullopt;
  }

  // An unknown %NAME% stays as written; its closing '%' may open the next name.
  std::u16string Expand(std::u16string_view text, bool useRegistry) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
      if (text[i] != u'%') {
        out.push_back(text[i++]);
        continue;
      }
      size_t close = text.find(u'%', i + 1);
      if (close == std::u16string_view::npos) {
        out.append(text.substr(i));
        break;
      }
      auto value = Lookup(text.substr(i + 1, close - i - 1), useRegistry);
      if (value) {
        out += *value;
        i = close + 1;
      } else {
        out.append(text.substr(i, close - i));
        i = close;
      }
    }
    return out;
  }

  std::shared_ptr<Machine> m_;
  std::mutex cwdMutex_;
  std::mutex envMutex_;
  std::optional<DWORD> major_;
};

}  // namespace

std::unique_ptr<win::IFileSystem> MakeFiles(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimFiles>(std::move(machine));
}

void Reboot(Machine& machine) {
  try {
    std::shared_ptr<Machine> m(&machine, [](Machine*) {});
    auto reg = MakeRegistry(m);
    if (!reg) return;
    auto data = ReadPending(*reg);
    if (data) {
      const auto ops = ParsePending(*data);
      auto host = [&](const std::u16string& p) -> std::optional<std::string> {
        auto w = ParseWinPath(StripNtPrefix(p), u"C:\\");
        if (!w || w->IsRoot()) return std::nullopt;
        return ToHostPath(machine.root(), *w);
      };
      for (size_t i = 0; i + 1 < ops.size(); i += 2) {
        auto src = host(ops[i]);
        if (!src) continue;
        struct stat ss {};
        if (::lstat(src->c_str(), &ss) != 0) continue;
        if (ops[i + 1].empty()) {
          if (S_ISDIR(ss.st_mode)) {
            ::rmdir(src->c_str());
          } else {
            ::unlink(src->c_str());
          }
          continue;
        }
        std::u16string target = ops[i + 1];
        const bool replace = !target.empty() && target[0] == u'!';
        if (replace) target.erase(0, 1);
        auto dst = host(target);
        if (!dst) continue;
        struct stat ds {};
        if (::lstat(dst->c_str(), &ds) == 0) {
          const bool sameFile = ds.st_dev == ss.st_dev && ds.st_ino == ss.st_ino;
          if (!sameFile && (!replace || S_ISDIR(ds.st_mode) || S_ISDIR(ss.st_mode))) continue;
        }
        ::rename(src->c_str(), dst->c_str());
      }
      HKEY key = nullptr;
      if (reg->RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) ==
          ERROR_SUCCESS) {
        reg->RegDeleteValueW(key, kPendingValue);
        reg->RegCloseKey(key);
      }
    }
    // Every handle of the machine went with its processes.
    machine.WithState([&](Db& db) {
      LiveOpens(db, 0, 0, true);
      return 0;
    });
  } catch (...) {
    // A start-up carries on whatever happens to one operation.
  }
}

}  // namespace winsim
