// Tokens of a simulated machine. Every program runs elevated (the system's programs ask for
// administrator rights), so a token holds the administrators' privileges, disabled until adjusted.
#include <map>
#include <mutex>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

struct Privilege {
  std::u16string_view name;
  DWORD luid;
};
// Windows' well-known privilege LUIDs.
constexpr Privilege kPrivileges[] = {
    {u"SeSecurityPrivilege", 8},   {u"SeTakeOwnershipPrivilege", 9}, {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11}, {u"SeSystemtimePrivilege", 12}, {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},   {u"SeShutdownPrivilege", 19},     {u"SeDebugPrivilege", 20},
    {u"SeSystemEnvironmentPrivilege", 22}, {u"SeChangeNotifyPrivilege", 23}, {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},    {u"SeManageVolumePrivilege", 28}, {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30}, {u"SeIncreaseWorkingSetPrivilege", 33}, {u"SeTimeZonePrivilege", 34},
    {u"SeCreateSymbolicLinkPrivilege", 35},
};
constexpr DWORD kEnabledByDefault = 23;  // SeChangeNotifyPrivilege

class TokenObject : public KernelObject {
 public:
  explicit TokenObject(DWORD access) : access(access) {}
  DWORD access;
};

class WinsimSecurity : public ISecurity {
 public:
  explicit WinsimSecurity(std::shared_ptr<Machine> m) : m_(std::move(m)) {
    for (const auto& p : kPrivileges) enabled_[p.luid] = p.luid == kEnabledByDefault;
  }

  BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override {
    if (process != GetCurrentProcess() && Processes().GetProcessId(process) != Processes().GetCurrentProcessId()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    *token = Handles().Add(std::make_shared<TokenObject>(access));
    return TRUE;
  }

  BOOL LookupPrivilegeValueW(std::u16string_view system, std::u16string_view name, LUID* luid) override {
    if (!system.empty() && !EqualsNoCase(system, Utf8ToWide(m_->Config().computerName))) {
      SetLastError(RPC_S_SERVER_UNAVAILABLE);
      return FALSE;
    }
    for (const auto& p : kPrivileges) {
      if (EqualsNoCase(p.name, name)) {
        luid->LowPart = p.luid;
        luid->HighPart = 0;
        return TRUE;
      }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }

  BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState) override {
    auto t = Handles().GetAs<TokenObject>(token);
    if (!t) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!(t->access & TOKEN_ADJUST_PRIVILEGES)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    std::lock_guard lock(mutex_);
    if (disableAll) {
      for (auto& [luid, on] : enabled_) on = false;
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    bool all = true;
    for (const auto& p : newState ? newState->Privileges : std::vector<LUID_AND_ATTRIBUTES>{}) {
      auto it = p.Luid.HighPart == 0 ? enabled_.find(p.Luid.LowPart) : enabled_.end();
      if (it == enabled_.end()) {
        all = false;
        continue;
      }
      it->second = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
  }

  BOOL GetTokenPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) override {
    auto t = Handles().GetAs<TokenObject>(token);
    if (!t || !privileges) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!(t->access & TOKEN_QUERY)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    std::lock_guard lock(mutex_);
    privileges->Privileges.clear();
    for (const auto& [luid, on] : enabled_) {
      privileges->Privileges.push_back({LUID{luid, 0}, on ? SE_PRIVILEGE_ENABLED : 0u});
    }
    return TRUE;
  }

 private:
  std::shared_ptr<Machine> m_;
  std::mutex mutex_;
  std::map<DWORD, bool> enabled_;
};

}  // namespace

std::unique_ptr<ISecurity> MakeSecurity(std::shared_ptr<Machine> m) {
  return std::make_unique<WinsimSecurity>(std::move(m));
}

}  // namespace winsim
