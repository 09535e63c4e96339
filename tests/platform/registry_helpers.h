// Helpers of the registry tests: values written and read as bytes, keys made, opened, listed; the
// fixture every registry test of the program shares (a sandbox acting as a 64-bit program).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/sandbox.h"

namespace regtest {

using namespace win;

inline std::string Bytes(std::u16string_view s) { return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2); }

inline LONG SetW(IRegistry& r, HKEY k, std::u16string_view name, DWORD type, const std::string& bytes) {
  return r.RegSetValueExW(k, name, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}
inline LONG SetA(IRegistry& r, HKEY k, std::string_view name, DWORD type, const std::string& bytes) {
  return r.RegSetValueExA(k, name, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}
inline LONG SetSz(IRegistry& r, HKEY k, std::u16string_view name, std::u16string_view text) {
  return SetW(r, k, name, REG_SZ, Bytes(std::u16string(text) + u'\0'));
}

// The value as read by the wide or the narrow function; "<error N>" when the read fails.
inline std::string Get(IRegistry& r, HKEY k, std::u16string_view name, bool ansi = false, DWORD* type = nullptr) {
  DWORD size = 0;
  std::string narrowName = WideToUtf8(name);
  auto query = [&](BYTE* data, DWORD* cb) {
    return ansi ? r.RegQueryValueExA(k, narrowName, type, data, cb) : r.RegQueryValueExW(k, name, type, data, cb);
  };
  LONG rc = query(nullptr, &size);
  if (rc) return "<error " + std::to_string(rc) + ">";
  std::string out(size, '\0');
  rc = query(reinterpret_cast<BYTE*>(out.data()), &size);
  if (rc) return "<error " + std::to_string(rc) + ">";
  out.resize(size);
  return out;
}

inline HKEY Create(IRegistry& r, HKEY root, std::u16string_view path, REGSAM sam = KEY_ALL_ACCESS) {
  HKEY k = nullptr;
  EXPECT_EQ(r.RegCreateKeyExW(root, path, 0, nullptr, 0, sam, nullptr, &k, nullptr), 0) << WideToUtf8(path);
  return k;
}

inline LONG Open(IRegistry& r, HKEY root, std::u16string_view path, REGSAM sam, HKEY* k) {
  return r.RegOpenKeyExW(root, path, 0, sam, k);
}

inline bool Exists(IRegistry& r, HKEY root, std::u16string_view path, REGSAM sam = KEY_READ) {
  HKEY k = nullptr;
  if (Open(r, root, path, sam, &k) != ERROR_SUCCESS) return false;
  r.RegCloseKey(k);
  return true;
}

inline std::vector<std::u16string> Subkeys(IRegistry& r, HKEY k) {
  std::vector<std::u16string> out;
  char16_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    LONG rc = r.RegEnumKeyExW(k, i, name, &cch);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(rc, 0);
    if (rc) break;
    out.emplace_back(name, cch);
  }
  return out;
}

inline std::vector<std::u16string> ValueNames(IRegistry& r, HKEY k) {
  std::vector<std::u16string> out;
  char16_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    LONG rc = r.RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(rc, 0);
    if (rc) break;
    out.emplace_back(name, cch);
  }
  return out;
}

class RegistryTest : public ::testing::Test {
 protected:
  qztest::Sandbox sandbox_{"win10-x64", u"C:\\x\\prog.exe", 64};
  IRegistry& reg_ = Registry();
};

}  // namespace regtest
