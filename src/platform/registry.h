// The registry, shaped like advapi32's Reg* functions and shlwapi's SHDeleteKey. Every call returns
// a Windows error code (LONG) as the real functions do.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

class IRegistry {
 public:
  virtual ~IRegistry() = default;

  virtual LONG RegOpenKeyExW(HKEY key, std::u16string_view subKey, DWORD options, REGSAM sam, HKEY* result) = 0;
  // subKey empty opens a new handle to the same key. Creates every missing key on the way.
  virtual LONG RegCreateKeyExW(HKEY key, std::u16string_view subKey, DWORD reserved, const char16_t* className,
                               DWORD options, REGSAM sam, void* security, HKEY* result, DWORD* disposition) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // data == nullptr asks for the size; a buffer that is too small gives ERROR_MORE_DATA and the
  // needed size in *cbData. String values written by the other character width are converted, as
  // Windows does; every other value is returned as the bytes written.
  virtual LONG RegQueryValueExW(HKEY key, std::u16string_view valueName, DWORD* type, BYTE* data, DWORD* cbData) = 0;
  virtual LONG RegQueryValueExA(HKEY key, std::string_view valueName, DWORD* type, BYTE* data, DWORD* cbData) = 0;
  virtual LONG RegSetValueExW(HKEY key, std::u16string_view valueName, DWORD type, const BYTE* data, DWORD cbData) = 0;
  virtual LONG RegSetValueExA(HKEY key, std::string_view valueName, DWORD type, const BYTE* data, DWORD cbData) = 0;
  virtual LONG RegDeleteValueW(HKEY key, std::u16string_view valueName) = 0;

  // *cchName: in, the buffer size in characters (terminator included); out, the name length.
  virtual LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cchName) = 0;
  virtual LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* cchName, DWORD* type, BYTE* data,
                             DWORD* cbData) = 0;
  virtual LONG RegQueryInfoKeyW(HKEY key, DWORD* subKeys, DWORD* values) = 0;

  // Fails with ERROR_ACCESS_DENIED when the key has subkeys, as Windows does.
  virtual LONG RegDeleteKeyExW(HKEY key, std::u16string_view subKey, REGSAM view) = 0;
  // Deletes the key and everything below it.
  virtual LONG SHDeleteKeyW(HKEY key, std::u16string_view subKey) = 0;

  // Conveniences with the same meaning as the older Win32 entry points.
  LONG RegOpenKeyW(HKEY key, std::u16string_view subKey, HKEY* result) {
    return RegOpenKeyExW(key, subKey, 0, KEY_ALL_ACCESS, result);
  }
  LONG RegCreateKeyW(HKEY key, std::u16string_view subKey, HKEY* result) {
    return RegCreateKeyExW(key, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, result, nullptr);
  }
  LONG RegDeleteKeyW(HKEY key, std::u16string_view subKey) { return RegDeleteKeyExW(key, subKey, 0); }
};

}  // namespace win
