// File handles: CreateFileW with the machine-wide share rules, reads through a read-ahead buffer,
// writes, seeks, sizes and flushes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "platform/winsim/files_internal.h"
#include "platform/winsim/kill_point.h"
#include "platform/winsim/pipes.h"
#include "platform/winsim/scm.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;

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

class FileObject final : public KernelObject {
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
        if (!buffer_) buffer_.reset(new char[kAhead]);  // filled by the read, never cleared first
        ssize_t n = ::read(fd_, buffer_.get(), kAhead);
        if (n < 0) {
          ahead_ = taken_ = 0;
          return done ? static_cast<ssize_t>(done) : n;
        }
        ahead_ = static_cast<size_t>(n);
        taken_ = 0;
        if (n == 0) break;
      }
      size_t k = std::min(want - done, ahead_ - taken_);
      std::memcpy(out + done, buffer_.get() + taken_, k);
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
  std::unique_ptr<char[]> buffer_;
  size_t ahead_ = 0;  // bytes in buffer_
  size_t taken_ = 0;  // of which already handed out
};

}  // namespace

HANDLE WinsimFiles::CreateFileW(std::u16string_view path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags) {
  if (IsDevicePath(path)) return OpenDevice(m_, path, access);
  if (WantsWrite(access) || creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING) {
    AtKillPoint(*m_, "CreateFile", FullPath(path));
  }
  return Guard(INVALID_HANDLE_VALUE, [&] { return DoCreateFile(path, access, shareMode, creation, flags); });
}

BOOL WinsimFiles::ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read) {
  return Guard(FALSE, [&]() -> BOOL {
    // Files are read in 1 KiB blocks, so one handle look-up serves a file and only what is not a
    // file is tried as a pipe.
    const std::shared_ptr<KernelObject> object = Handles().Get(file);
    FileObject* f = object && typeid(*object) == typeid(FileObject) ? static_cast<FileObject*>(object.get()) : nullptr;
    if (!f) {
      if (auto piped = ReadPipe(file, buffer, toRead, read)) return *piped;
      if (read) *read = 0;
      return Fail(ERROR_INVALID_HANDLE);
    }
    if (read) *read = 0;
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

BOOL WinsimFiles::WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written) {
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

DWORD WinsimFiles::SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
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

BOOL WinsimFiles::SetFilePointerEx(HANDLE file, int64_t distance, int64_t* newPosition, DWORD method) {
  return Guard(FALSE, [&]() -> BOOL {
    int64_t pos = 0;
    DWORD err = Seek(file, distance, method, &pos);
    if (err != ERROR_SUCCESS) return Fail(err);
    if (newPosition) *newPosition = pos;
    return Ok();
  });
}

BOOL WinsimFiles::GetFileSizeEx(HANDLE file, int64_t* size) {
  return Guard(FALSE, [&]() -> BOOL {
    auto f = Handles().GetAs<FileObject>(file);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    struct stat st {};
    if (fstat(f->fd(), &st) != 0) return Fail(ErrnoToWin(errno));
    if (size) *size = f->dir() ? 0 : static_cast<int64_t>(st.st_size);
    return Ok();
  });
}

BOOL WinsimFiles::SetEndOfFile(HANDLE file) {
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

BOOL WinsimFiles::FlushFileBuffers(HANDLE file) {
  return Guard(FALSE, [&]() -> BOOL {
    auto f = Handles().GetAs<FileObject>(file);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    if (!WantsWrite(f->access())) return Fail(ERROR_ACCESS_DENIED);
    if (fsync(f->fd()) != 0) return Fail(ErrnoToWin(errno));
    return Ok();
  });
}

HANDLE WinsimFiles::DoCreateFile(std::u16string_view path, DWORD access, DWORD share, DWORD creation, DWORD flags) {
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

HANDLE WinsimFiles::Register(Db& db, Transaction& tx, int fd, const Target& t, DWORD access, DWORD share, bool dir,
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

DWORD WinsimFiles::Seek(HANDLE file, int64_t distance, DWORD method, int64_t* pos) {
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

}  // namespace winsim
