// Access tokens and privileges, shaped like OpenProcessToken, LookupPrivilegeValueW and
// AdjustTokenPrivileges.
#pragma once

#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

constexpr char16_t SE_DEBUG_NAME[] = u"SeDebugPrivilege";

struct LUID {
  DWORD LowPart = 0;
  LONG HighPart = 0;
};

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes = 0;
};

// PrivilegeCount is Privileges.size().
struct TOKEN_PRIVILEGES {
  std::vector<LUID_AND_ATTRIBUTES> Privileges;
};

// The pseudo handle of the calling process, as Windows gives it.
inline HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

class ISecurity {
 public:
  virtual ~ISecurity() = default;
  virtual BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) = 0;
  // system empty: the local machine.
  virtual BOOL LookupPrivilegeValueW(std::u16string_view system, std::u16string_view name, LUID* luid) = 0;
  // TRUE with last error ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED when the token lacks one of them.
  virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState) = 0;
  // The privileges the token holds, each with its attributes (GetTokenInformation, TokenPrivileges).
  virtual BOOL GetTokenPrivileges(HANDLE token, TOKEN_PRIVILEGES* privileges) = 0;
};

}  // namespace win
