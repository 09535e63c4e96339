// Deleting, copying and moving files and folders, with the checks Windows makes first (share modes,
// read-only files, running images, open files inside a folder).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/files_internal.h"
#include "platform/winsim/kill_point.h"
#include "platform/winsim/services.h"

namespace fs = std::filesystem;

namespace winsim {

using namespace win;

BOOL WinsimFiles::DeleteFileW(std::u16string_view path) {
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

BOOL WinsimFiles::CopyFileW(std::u16string_view from, std::u16string_view to, BOOL failIfExists) {
  AtKillPoint(*m_, "CopyFile", FullPath(to));
  return Guard(FALSE, [&] { return DoCopy(from, to, failIfExists); });
}

BOOL WinsimFiles::MoveFileW(std::u16string_view from, std::u16string_view to) {
  return MoveFileExW(from, to, MOVEFILE_COPY_ALLOWED);
}

BOOL WinsimFiles::MoveFileExW(std::u16string_view from, std::u16string_view to, DWORD flags) {
  AtKillPoint(*m_, "MoveFileEx", FullPath(from));
  return Guard(FALSE, [&]() -> BOOL {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return DelayMove(from, to, flags);
    return DoMove(from, to, flags);
  });
}

BOOL WinsimFiles::DoCopy(std::u16string_view from, std::u16string_view to, BOOL failIfExists) {
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

bool WinsimFiles::FolderBusy(Db& db, const std::string& folder) {
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

BOOL WinsimFiles::DoMove(std::u16string_view from, std::u16string_view to, DWORD flags) {
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

}  // namespace winsim
