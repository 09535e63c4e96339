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

::DWORD* D(win::DWORD* p) { return reinterpret_cast<::DWORD*>(p); }

class Win32Registry : public win::IRegistry {
 public:
  win::LONG RegOpenKeyExW(win::HKEY key, std::u16string_view subKey, win::DWORD options, win::REGSAM sam,
                          win::HKEY* result) override {
    const std::u16string sub(subKey);
    ::HKEY out = nullptr;
    const LONG rc = ::RegOpenKeyExW(Key(key), W(sub), options, sam, &out);
    if (rc == ERROR_SUCCESS && result) *result = Key(out);
    return rc;
  }

  // The security argument is the project's opaque pointer: keys get the default security.
  win::LONG RegCreateKeyExW(win::HKEY key, std::u16string_view subKey, win::DWORD, const char16_t* className,
                            win::DWORD options, win::REGSAM sam, void*, win::HKEY* result,
                            win::DWORD* disposition) override {
    const std::u16string sub(subKey);
    ::HKEY out = nullptr;
    DWORD disp = 0;
    const LONG rc = ::RegCreateKeyExW(Key(key), W(sub), 0, className ? const_cast<wchar_t*>(W(className)) : nullptr,
                                      options, sam, nullptr, &out, &disp);
    if (rc == ERROR_SUCCESS) {
      if (result) *result = Key(out);
      if (disposition) *disposition = disp;
    }
    return rc;
  }

  win::LONG RegCloseKey(win::HKEY key) override { return ::RegCloseKey(Key(key)); }

  win::LONG RegQueryValueExW(win::HKEY key, std::u16string_view valueName, win::DWORD* type, win::BYTE* data,
                             win::DWORD* cbData) override {
    const std::u16string name(valueName);
    return ::RegQueryValueExW(Key(key), W(name), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegQueryValueExA(win::HKEY key, std::string_view valueName, win::DWORD* type, win::BYTE* data,
                             win::DWORD* cbData) override {
    const std::string name(valueName);
    return ::RegQueryValueExA(Key(key), name.c_str(), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegSetValueExW(win::HKEY key, std::u16string_view valueName, win::DWORD type, const win::BYTE* data,
                           win::DWORD cbData) override {
    const std::u16string name(valueName);
    return ::RegSetValueExW(Key(key), W(name), 0, type, data, cbData);
  }

  win::LONG RegSetValueExA(win::HKEY key, std::string_view valueName, win::DWORD type, const win::BYTE* data,
                           win::DWORD cbData) override {
    const std::string name(valueName);
    return ::RegSetValueExA(Key(key), name.c_str(), 0, type, data, cbData);
  }

  win::LONG RegDeleteValueW(win::HKEY key, std::u16string_view valueName) override {
    const std::u16string name(valueName);
    return ::RegDeleteValueW(Key(key), W(name));
  }

  win::LONG RegEnumKeyExW(win::HKEY key, win::DWORD index, char16_t* name, win::DWORD* cchName) override {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    return ::RegEnumKeyExW(Key(key), index, W(name), D(cchName), nullptr, nullptr, nullptr, nullptr);
  }

  win::LONG RegEnumValueW(win::HKEY key, win::DWORD index, char16_t* name, win::DWORD* cchName, win::DWORD* type,
                          win::BYTE* data, win::DWORD* cbData) override {
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    return ::RegEnumValueW(Key(key), index, W(name), D(cchName), nullptr, D(type), data, D(cbData));
  }

  win::LONG RegQueryInfoKeyW(win::HKEY key, win::DWORD* subKeys, win::DWORD* values) override {
    return ::RegQueryInfoKeyW(Key(key), nullptr, nullptr, nullptr, D(subKeys), nullptr, nullptr, D(values), nullptr,
                              nullptr, nullptr, nullptr);
  }

  win::LONG RegDeleteKeyExW(win::HKEY key, std::u16string_view subKey, win::REGSAM view) override {
    const std::u16string sub(subKey);
    if (DeleteKeyExFn fn = DeleteKeyEx()) return fn(Key(key), W(sub), view, 0);
    if ((view & KEY_WOW64_32KEY) && (view & KEY_WOW64_64KEY)) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteKeyW(Key(key), W(sub));
  }

  win::LONG SHDeleteKeyW(win::HKEY key, std::u16string_view subKey) override {
    const std::u16string sub(subKey);
    DeleteTreeFn fn = ShDeleteKey();
    if (!fn) return ERROR_PROC_NOT_FOUND;
    return static_cast<win::LONG>(fn(Key(key), W(sub)));
  }
};

}  // namespace

std::unique_ptr<win::IRegistry> MakeRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace win32
