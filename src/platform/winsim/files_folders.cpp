// Folders: creating them, with an explicit DACL if given, reading that DACL back, and removing them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/files_internal.h"

namespace winsim {

using namespace win;

namespace {

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

}  // namespace

BOOL WinsimFiles::CreateDirectoryW(std::u16string_view path) {
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

BOOL WinsimFiles::CreateDirectoryW(std::u16string_view path, const SECURITY_ATTRIBUTES* attributes) {
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

DWORD WinsimFiles::GetNamedSecurityInfoW(std::u16string_view path, DWORD objectType, DWORD securityInfo, ACL* dacl,
                                         BOOL* present) {
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

BOOL WinsimFiles::RemoveDirectoryW(std::u16string_view path) {
  return Guard(FALSE, [&]() -> BOOL {
    DWORD err = 0;
    auto t = Resolve(path, &err);
    if (!t) return Fail(err);
    if (!t->exists) return Fail(MissingError(*t));
    if (!t->IsDir()) return Fail(ERROR_DIRECTORY);
    if (t->win.IsRoot()) return Fail(ERROR_ACCESS_DENIED);
    if (IsLocked(t->host)) return Fail(ERROR_SHARING_VIOLATION);
    if (auto cwd = CurrentTarget(); cwd && IsSameOrUnder(cwd->host, t->host)) return Fail(ERROR_SHARING_VIOLATION);
    // A junction goes as a link, whatever its target holds; the target keeps its security.
    if (t->link) return ::unlink(t->host.c_str()) == 0 ? Ok() : Fail(ErrnoToWin(errno));
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

}  // namespace winsim
