// Renames and deletions put off until the next start (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT):
// kept in PendingFileRenameOperations, carried out by a restart of the machine.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>
#include <vector>

#include "platform/pending_renames.h"
#include "platform/registry.h"
#include "platform/winsim/files_internal.h"
#include "platform/winsim/reboot.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

const char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kPendingValue[] = u"PendingFileRenameOperations";

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

}  // namespace

BOOL WinsimFiles::DelayMove(std::u16string_view from, std::u16string_view to, DWORD flags) {
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
    if (auto data = ReadPending(*reg)) ops = win::ParsePendingRenames(*data);
    ops.push_back(u"\\??\\" + s->ToString());
    ops.push_back(target);
    HKEY key = nullptr;
    LONG rc = reg->RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0,
                                   KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    const auto bytes = win::SerializePendingRenames(ops);
    rc = reg->RegSetValueExW(key, kPendingValue, REG_MULTI_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
    reg->RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    return Ok();
  });
}

void Reboot(Machine& machine) {
  try {
    std::shared_ptr<Machine> m(&machine, [](Machine*) {});
    auto reg = MakeRegistry(m);
    if (!reg) return;
    auto data = ReadPending(*reg);
    if (data) {
      const auto ops = win::ParsePendingRenames(*data);
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
