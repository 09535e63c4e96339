// Access tokens and their privileges on advapi32. Tokens are the API's own handles, closed with
// win::CloseHandle.
#include <vector>

#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

namespace win32 {

namespace {

win::BOOL Result(BOOL ok) {
  win::SetLastError(::GetLastError());
  return ok ? TRUE : FALSE;
}

class Win32Security : public win::ISecurity {
 public:
  win::BOOL OpenProcessToken(win::HANDLE process, win::DWORD access, win::HANDLE* token) override {
    HANDLE t = nullptr;
    const BOOL ok = ::OpenProcessToken(Handle(process), access, &t);
    if (ok && token) *token = t;
    return Result(ok);
  }

  win::BOOL LookupPrivilegeValueW(std::u16string_view system, std::u16string_view name, win::LUID* luid) override {
    const std::u16string s(system), n(name);
    ::LUID l{};
    const BOOL ok = ::LookupPrivilegeValueW(s.empty() ? nullptr : W(s), W(n), &l);
    if (ok && luid) {
      luid->LowPart = l.LowPart;
      luid->HighPart = l.HighPart;
    }
    return Result(ok);
  }

  win::BOOL AdjustTokenPrivileges(win::HANDLE token, win::BOOL disableAll,
                                  const win::TOKEN_PRIVILEGES* newState) override {
    const size_t count = newState ? newState->Privileges.size() : 0;
    // TOKEN_PRIVILEGES ends in a one-entry array that the list continues past.
    std::vector<BYTE> buf(sizeof(::TOKEN_PRIVILEGES) + (count ? count - 1 : 0) * sizeof(::LUID_AND_ATTRIBUTES));
    auto* tp = reinterpret_cast<::TOKEN_PRIVILEGES*>(buf.data());
    tp->PrivilegeCount = static_cast<DWORD>(count);
    for (size_t i = 0; i < count; ++i) {
      const auto& p = newState->Privileges[i];
      tp->Privileges[i].Luid.LowPart = p.Luid.LowPart;
      tp->Privileges[i].Luid.HighPart = p.Luid.HighPart;
      tp->Privileges[i].Attributes = p.Attributes;
    }
    const BOOL ok = ::AdjustTokenPrivileges(Handle(token), disableAll ? TRUE : FALSE, disableAll ? nullptr : tp, 0,
                                            nullptr, nullptr);
    return Result(ok);
  }

  win::BOOL GetTokenPrivileges(win::HANDLE token, win::TOKEN_PRIVILEGES* privileges) override {
    DWORD size = 0;
    ::GetTokenInformation(Handle(token), TokenPrivileges, nullptr, 0, &size);
    if (size == 0) return Result(FALSE);
    std::vector<DWORD> buf((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    if (!::GetTokenInformation(Handle(token), TokenPrivileges, buf.data(), size, &size)) return Result(FALSE);
    const auto* tp = reinterpret_cast<const ::TOKEN_PRIVILEGES*>(buf.data());
    if (privileges) {
      privileges->Privileges.clear();
      for (DWORD i = 0; i < tp->PrivilegeCount; ++i) {
        win::LUID_AND_ATTRIBUTES p;
        p.Luid.LowPart = tp->Privileges[i].Luid.LowPart;
        p.Luid.HighPart = tp->Privileges[i].Luid.HighPart;
        p.Attributes = tp->Privileges[i].Attributes;
        privileges->Privileges.push_back(p);
      }
    }
    return Result(TRUE);
  }
};

}  // namespace

std::unique_ptr<win::ISecurity> MakeSecurity() { return std::make_unique<Win32Security>(); }

}  // namespace win32
