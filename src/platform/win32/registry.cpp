// The registry on advapi32. Keys are the API's own handles; KEY_WOW64_32KEY and KEY_WOW64_64KEY
// pass through unchanged, and values come back with the exact type and size they were written with.
#include <string>

#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

namespace win32 {

namespace {

using DeleteKeyExFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
using DeleteTreeFn = DWORD(WINAPI*)(HKEY, LPCWSTR);

// RegDeleteKeyExW is missing from 32-bit Windows XP, which has one view only.
DeleteKeyExFn DeleteKeyEx() {
  static const DeleteKeyExFn fn = [] {
    HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
    return advapi ? reinterpret_cast<DeleteKeyExFn>(reinterpret_cast<void*>(::GetProcAddress(advapi, "RegDeleteKeyExW")))
                  : nullptr;
  }();
  return fn;
}

// SHDeleteKeyW from the system's own shlwapi.dll (by full path: never one planted beside the
// program).
DeleteTreeFn ShDeleteKey() {
  static const DeleteTreeFn fn = [] {
    wchar_t dir[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return DeleteTreeFn{};
    std::wstring path(dir, n);
    path += L"\\shlwapi.dll";
    HMODULE shlwapi = ::LoadLibraryW(path.c_str());
    return shlwapi ? reinterpret_cast<DeleteTreeFn>(reinterpret_cast<void*>(::GetProcAddress(shlwapi, "SHDeleteKeyW")))
                   : DeleteTreeFn{};
  }();
  return fn;
}

bool IsRoot(win::HKEY key) {
  const auto v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
  return v >= 0x80000000u && v <= 0x800000FFu;
}

// The project's root keys are 0x8000000N; the API's are that value sign-extended (different on
// x86_64). Every other key is the API's own handle.
::HKEY Native(win::HKEY key) {
  if (!IsRoot(key)) return Key(key);
  const auto v = static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)));
  return reinterpret_cast<::HKEY>(static_cast<intptr_t>(v));
}

// Both views at once is a caller's mistake that Windows refuses; Wine would take one of them.
bool BothViews(win::REGSAM sam) { return (sam & KEY_WOW64_32KEY) && (sam & KEY_WOW64_64KEY); }

::DWORD* D(win::DWORD* p) { return reinterpret_cast<::DWORD*>(p); }

class Win32Registry : public win::IRegistry {
 public:
  win::LONG RegOpenKeyExW(win::HKEY key, std::u16string_view subKey, win::DWORD options, win::REGSAM sam,
                          win::HKEY* result) override {
    if (BothViews(sam)) return ERROR_INVALID_PARAMETER;
    const std::u16string sub(subKey);
    ::HKEY out = nullptr;
    const LONG rc = ::RegOpenKeyExW(Native(key), W(sub), options, sam, &out);
    if (rc == ERROR_SUCCESS && result) *result = Key(out);
    return rc;
  }

  // The security argument is the project's opaque pointer: keys get the default security.
  win::LONG RegCreateKeyExW(win::HKEY key, std::u16string_view subKey, win::DWORD, const char16_t* className,
                            win::DWORD options, win::REGSAM sam, void*, win::HKEY* result,
                            win::DWORD* disposition) override {
    if (BothViews(sam)) return ERROR_INVALID_PARAMETER;
    const std::u16string sub(subKey);
    ::HKEY out = nullptr;
    DWORD disp = 0;
    const LONG rc = ::RegCreateKeyExW(Native(key), W(sub), 0, className ? const_cast<wchar_t*>(W(className)) : nullptr,
                                      options, sam, nullptr, &out, &disp);
    if (rc == ERROR_SUCCESS) {
      if (result) *result = Key(out);
      if (disposition) *disposition = disp;
    }
    return rc;
  }

  win::LONG RegCloseKey(win::HKEY key) override { return ::RegCloseKey(Native(key)); }

  win::LONG RegQueryValueExW(win::HKEY key, std::u16string_view valueName, win::DWORD* type, win::BYTE* data,
                             win::DWORD* cbData) override {
    const std::u16string name(valueName);
    return ::RegQueryValueExW(Native(key), W(name), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegQueryValueExA(win::HKEY key, std::string_view valueName, win::DWORD* type, win::BYTE* data,
                             win::DWORD* cbData) override {
    const std::string name(valueName);
    return ::RegQueryValueExA(Native(key), name.c_str(), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegSetValueExW(win::HKEY key, std::u16string_view valueName, win::DWORD type, const win::BYTE* data,
                           win::DWORD cbData) override {
    const std::u16string name(valueName);
    return ::RegSetValueExW(Native(key), W(name), 0, type, data, cbData);
  }

  win::LONG RegSetValueExA(win::HKEY key, std::string_view valueName, win::DWORD type, const win::BYTE* data,
                           win::DWORD cbData) override {
    const std::string name(valueName);
    return ::RegSetValueExA(Native(key), name.c_str(), 0, type, data, cbData);
  }

  win::LONG RegDeleteValueW(win::HKEY key, std::u16string_view valueName) override {
    const std::u16string name(valueName);
    return ::RegDeleteValueW(Native(key), W(name));
  }

  win::LONG RegEnumKeyExW(win::HKEY key, win::DWORD index, char16_t* name, win::DWORD* cchName) override {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    return ::RegEnumKeyExW(Native(key), index, W(name), D(cchName), nullptr, nullptr, nullptr, nullptr);
  }

  win::LONG RegEnumValueW(win::HKEY key, win::DWORD index, char16_t* name, win::DWORD* cchName, win::DWORD* type,
                          win::BYTE* data, win::DWORD* cbData) override {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    return ::RegEnumValueW(Native(key), index, W(name), D(cchName), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegQueryInfoKeyW(win::HKEY key, win::DWORD* subKeys, win::DWORD* values) override {
    return ::RegQueryInfoKeyW(Native(key), nullptr, nullptr, nullptr, D(subKeys), nullptr, nullptr, D(values), nullptr,
                              nullptr, nullptr, nullptr);
  }

  win::LONG RegDeleteKeyExW(win::HKEY key, std::u16string_view subKey, win::REGSAM view) override {
    if (BothViews(view)) return ERROR_INVALID_PARAMETER;
    const std::u16string sub(subKey);
    if (DeleteKeyExFn fn = DeleteKeyEx()) return fn(Native(key), W(sub), view, 0);
    return ::RegDeleteKeyW(Native(key), W(sub));
  }

  win::LONG SHDeleteKeyW(win::HKEY key, std::u16string_view subKey) override {
    // Given a root itself, SHDeleteKeyW would empty it key by key before failing on the root:
    // refused whole, as a root cannot be deleted.
    if (subKey.empty() && IsRoot(key)) return ERROR_ACCESS_DENIED;
    const std::u16string sub(subKey);
    DeleteTreeFn fn = ShDeleteKey();
    if (!fn) return ERROR_PROC_NOT_FOUND;
    return static_cast<win::LONG>(fn(Native(key), W(sub)));
  }
};

}  // namespace

std::unique_ptr<win::IRegistry> MakeRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace win32
