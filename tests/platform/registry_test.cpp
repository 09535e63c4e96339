// The registry with Windows results: the same tables on winsim and on Windows (each test in a
// sandbox, see support/sandbox.h; its keys below K()). What only a simulated machine shows is in
// registry_winsim_test.cpp.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/platform.h"
#include "platform/text.h"
#include "registry_helpers.h"
#include "support/sandbox.h"
#include "support/wine_differences.h"

namespace {

using namespace win;
using namespace regtest;
using namespace std::string_literals;
using qztest::Expected;
using qztest::K;
using qztest::WineDifference;

TEST_F(RegistryTest, WindowsResults) {
  HKEY t = Create(reg_, HKEY_LOCAL_MACHINE, K(u"\\T"));
  HKEY child = Create(reg_, t, u"Child");
  ASSERT_EQ(SetSz(reg_, t, u"v", u"abc"), 0);  // 8 bytes
  HKEY readOnly = nullptr, setOnly = nullptr, queryOnly = nullptr;
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\T"), KEY_READ, &readOnly), 0);
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\T"), KEY_SET_VALUE, &setOnly), 0);
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\T"), KEY_QUERY_VALUE, &queryOnly), 0);

  HKEY out = nullptr;
  DWORD size = 0, type = 0, cch = 0;
  BYTE buf[64];
  char16_t name[64];
  const std::string bytes = "raw";
  const LONG createWithoutRight = static_cast<LONG>(Expected(WineDifference::RegCreateWithoutCreateSubKeyRight));
  const BYTE* raw = reinterpret_cast<const BYTE*>(bytes.data());
  struct Case {
    const char* what;
    std::function<LONG()> call;
    LONG expected;
  } cases[] = {
      {"open missing key", [&] { return Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\Nope"), KEY_READ, &out); }, 2},
      {"open below a missing key", [&] { return Open(reg_, t, u"Nope\\Deeper", KEY_READ, &out); }, 2},
      {"open case-insensitively", [&] { return Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\t\\CHILD"), KEY_READ, &out); },
       0},
      {"query missing value", [&] { return reg_.RegQueryValueExW(t, u"nope", nullptr, nullptr, &size); }, 2},
      {"query size only",
       [&] {
         size = 0;
         LONG rc = reg_.RegQueryValueExW(t, u"V", &type, nullptr, &size);
         EXPECT_EQ(size, 8u);
         EXPECT_EQ(type, REG_SZ);
         return rc;
       },
       0},
      {"query into a small buffer",
       [&] {
         size = 2;
         LONG rc = reg_.RegQueryValueExW(t, u"v", nullptr, buf, &size);
         EXPECT_EQ(size, 8u);
         return rc;
       },
       234},
      {"query into an exact buffer",
       [&] {
         size = 8;
         return reg_.RegQueryValueExW(t, u"v", nullptr, buf, &size);
       },
       0},
      {"enumerate the only subkey",
       [&] {
         cch = 64;
         LONG rc = reg_.RegEnumKeyExW(t, 0, name, &cch);
         EXPECT_EQ(std::u16string(name, cch), u"Child");
         return rc;
       },
       0},
      {"enumerate keys past the end",
       [&] {
         cch = 64;
         return reg_.RegEnumKeyExW(t, 1, name, &cch);
       },
       259},
      {"enumerate values past the end",
       [&] {
         cch = 64;
         return reg_.RegEnumValueW(t, 1, name, &cch, nullptr, nullptr, nullptr);
       },
       259},
      {"key name buffer without room for the terminator",
       [&] {
         cch = 5;
         return reg_.RegEnumKeyExW(t, 0, name, &cch);
       },
       234},
      {"value data buffer too small",
       [&] {
         cch = 64;
         size = 4;
         LONG rc = reg_.RegEnumValueW(t, 0, name, &cch, nullptr, buf, &size);
         EXPECT_EQ(size, 8u);
         return rc;
       },
       234},
      {"delete a key with subkeys", [&] { return reg_.RegDeleteKeyW(HKEY_LOCAL_MACHINE, K(u"\\T")); }, 5},
      {"delete a missing key", [&] { return reg_.RegDeleteKeyW(t, u"Nope"); }, 2},
      {"delete a missing tree", [&] { return reg_.SHDeleteKeyW(t, u"Nope"); }, 2},
      {"delete a missing value", [&] { return reg_.RegDeleteValueW(t, u"nope"); }, 2},
      {"set value without KEY_SET_VALUE", [&] { return reg_.RegSetValueExW(readOnly, u"x", REG_BINARY, raw, 3); }, 5},
      {"delete value without KEY_SET_VALUE", [&] { return reg_.RegDeleteValueW(readOnly, u"v"); }, 5},
      {"create subkey without KEY_CREATE_SUB_KEY",
       [&] { return reg_.RegCreateKeyExW(readOnly, u"New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); },
       createWithoutRight},
      {"enumerate without KEY_ENUMERATE_SUB_KEYS",
       [&] {
         cch = 64;
         return reg_.RegEnumKeyExW(queryOnly, 0, name, &cch);
       },
       5},
      {"query without KEY_QUERY_VALUE", [&] { return reg_.RegQueryValueExW(setOnly, u"v", nullptr, nullptr, &size); },
       5},
      {"set value with KEY_SET_VALUE only", [&] { return reg_.RegSetValueExW(setOnly, u"x", REG_BINARY, raw, 3); }, 0},
      {"both view flags", [&] { return Open(reg_, t, u"Child", KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &out); },
       87},
      {"leading backslash", [&] { return Open(reg_, HKEY_LOCAL_MACHINE, u"\\SOFTWARE", KEY_READ, &out); }, 161},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    out = nullptr;
    EXPECT_EQ(c.call(), c.expected);
    if (out) reg_.RegCloseKey(out);
  }
  EXPECT_EQ(Exists(reg_, t, u"New"), createWithoutRight == 0);
  for (HKEY k : {child, t, readOnly, setOnly, queryOnly}) EXPECT_EQ(reg_.RegCloseKey(k), 0);
}

TEST_F(RegistryTest, CreateMakesThePathAndReportsDisposition) {
  HKEY k = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(reg_.RegCreateKeyExW(HKEY_LOCAL_MACHINE, K(u"\\Acme\\Deep\\Leaf\\"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &k, &disposition),
            0);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetSz(reg_, k, u"Name", u"x"), 0);
  reg_.RegCloseKey(k);

  ASSERT_EQ(reg_.RegCreateKeyExW(HKEY_LOCAL_MACHINE, K(u"\\ACME\\deep\\leaf"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &k, &disposition),
            0);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(Get(reg_, k, u"NAME"), Bytes(u"x\0"s));
  reg_.RegCloseKey(k);

  // Names keep the case they were first written in.
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, K(u"\\acme"), KEY_READ, &k), 0);
  EXPECT_EQ(Subkeys(reg_, k), std::vector<std::u16string>{u"Deep"});
  reg_.RegCloseKey(k);
}

TEST_F(RegistryTest, EnumerationOrder) {
  HKEY k = Create(reg_, HKEY_LOCAL_MACHINE, K(u"\\Order"));
  for (auto name : {u"beta", u"_under", u"Alpha", u"gamma2", u"Gamma"}) reg_.RegCloseKey(Create(reg_, k, name));
  // Compared upper-cased, as Windows does: '_' sorts after the letters.
  std::vector<std::u16string> subkeys{u"Alpha", u"beta", u"Gamma", u"gamma2"};
  subkeys.insert(subkeys.begin() + Expected(WineDifference::RegSubkeyOrderOfUnderscore), u"_under");
  EXPECT_EQ(Subkeys(reg_, k), subkeys);

  for (auto name : {u"z", u"a", u"M"}) ASSERT_EQ(SetSz(reg_, k, name, u"1"), 0);
  ASSERT_EQ(SetSz(reg_, k, u"A", u"2"), 0);  // an overwrite keeps the place and the name
  std::vector<std::u16string> valueNames{u"a", u"M"};
  valueNames.insert(valueNames.begin() + Expected(WineDifference::RegValueOrderOfFirstMade), u"z");
  EXPECT_EQ(ValueNames(reg_, k), valueNames);
  ASSERT_EQ(reg_.RegDeleteValueW(k, u"z"), 0);
  ASSERT_EQ(SetSz(reg_, k, u"z", u"3"), 0);
  EXPECT_EQ(ValueNames(reg_, k), (std::vector<std::u16string>{u"a", u"M", u"z"}));

  DWORD subKeys = 0, values = 0;
  ASSERT_EQ(reg_.RegQueryInfoKeyW(k, &subKeys, &values), 0);
  EXPECT_EQ(subKeys, 5u);
  EXPECT_EQ(values, 3u);
  reg_.RegCloseKey(k);
}

TEST_F(RegistryTest, DeleteTreeAndSingleKey) {
  HKEY root = Create(reg_, HKEY_LOCAL_MACHINE, K(u"\\Tree"));
  HKEY leaf = Create(reg_, root, u"A\\B\\C");
  ASSERT_EQ(SetSz(reg_, leaf, u"v", u"x"), 0);
  reg_.RegCloseKey(Create(reg_, root, u"Sibling"));

  EXPECT_EQ(reg_.RegDeleteKeyW(root, u"A\\B\\C"), 0);
  EXPECT_FALSE(Exists(reg_, root, u"A\\B\\C"));
  EXPECT_TRUE(Exists(reg_, root, u"A\\B"));
  reg_.RegCloseKey(Create(reg_, root, u"A\\B\\C"));
  EXPECT_EQ(reg_.SHDeleteKeyW(root, u"a"), 0);
  EXPECT_FALSE(Exists(reg_, root, u"A"));
  EXPECT_TRUE(Exists(reg_, root, u"Sibling"));
  EXPECT_EQ(reg_.SHDeleteKeyW(root, u"a"), 2);
  reg_.RegCloseKey(root);
  reg_.RegCloseKey(leaf);
}

}  // namespace
