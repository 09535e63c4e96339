// What only a simulated machine shows about its registry: another process deleting a key under an
// open handle, code pages, the 32-bit view on each kind of machine, the roots that are views of
// others, sharing between processes and machines, the winsim registry tools, and predefined keys
// the machine does not have.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/registry_tools.h"
#include "platform/winsim/services.h"
#include "registry_helpers.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using namespace regtest;
using namespace std::string_literals;

winsim::ProcessIdentity Program(int bits, bool system = false) {
  winsim::ProcessIdentity id;
  id.imagePath = u"C:\\test\\prog.exe";
  id.bits = bits;
  id.system = system;
  return id;
}

// A real machine hands a closed handle's value to the next key opened (by this code or a library
// it loaded), so only a simulated machine, whose values are never reused, shows these.
TEST_F(RegistryTest, AClosedHandleIsInvalidForEveryUse) {
  HKEY closed = nullptr;
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", KEY_READ | KEY_WOW64_64KEY, &closed), 2);
  reg_.RegCloseKey(Create(reg_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\T"));
  ASSERT_EQ(Open(reg_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", KEY_READ, &closed), 0);
  ASSERT_EQ(reg_.RegCloseKey(closed), 0);
  DWORD size = 0;
  EXPECT_EQ(reg_.RegQueryValueExW(closed, u"v", nullptr, nullptr, &size), 6);
  EXPECT_EQ(reg_.RegCloseKey(closed), 6);
}

TEST_F(RegistryTest, RootsThemselvesAreNeverDeletedAndUnknownRootsAreInvalid) {
  HKEY out = nullptr;
  EXPECT_EQ(reg_.SHDeleteKeyW(HKEY_LOCAL_MACHINE, u""), 5);
  EXPECT_EQ(Open(reg_, PredefinedKey(0x80000005u), u"x", KEY_READ, &out), 6);
  EXPECT_EQ(out, nullptr);
}

TEST_F(RegistryTest, HandleOfADeletedKeyGivesKeyDeletedOnEveryUse) {
  HKEY k = Create(reg_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone");
  ASSERT_EQ(SetSz(reg_, k, u"v", u"x"), 0);
  reg_.RegCloseKey(Create(reg_, k, u"Sub"));

  // Deleted by another process of the machine, then made again under the same name.
  auto other = winsim::OpenPlatform(sandbox_.machine().root(), Program(64));
  ASSERT_EQ(other->Registry().SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone"), 0);
  other->Registry().RegCloseKey(Create(other->Registry(), HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone\\Sub"));

  HKEY out = nullptr;
  DWORD size = 0, cch = 0, n = 0;
  char16_t name[64];
  const BYTE data[1] = {1};
  struct Case {
    const char* what;
    std::function<LONG()> call;
  } cases[] = {
      {"query", [&] { return reg_.RegQueryValueExW(k, u"v", nullptr, nullptr, &size); }},
      {"query narrow", [&] { return reg_.RegQueryValueExA(k, "v", nullptr, nullptr, &size); }},
      {"set", [&] { return reg_.RegSetValueExW(k, u"v", REG_BINARY, data, 1); }},
      {"delete value", [&] { return reg_.RegDeleteValueW(k, u"v"); }},
      {"enumerate keys",
       [&] {
         cch = 64;
         return reg_.RegEnumKeyExW(k, 0, name, &cch);
       }},
      {"enumerate values",
       [&] {
         cch = 64;
         return reg_.RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, nullptr);
       }},
      {"info", [&] { return reg_.RegQueryInfoKeyW(k, &n, &n); }},
      {"open subkey", [&] { return Open(reg_, k, u"Sub", KEY_READ, &out); }},
      {"reopen", [&] { return Open(reg_, k, u"", KEY_READ, &out); }},
      {"create subkey",
       [&] { return reg_.RegCreateKeyExW(k, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr); }},
      {"delete subkey", [&] { return reg_.RegDeleteKeyW(k, u"Sub"); }},
      {"delete tree", [&] { return reg_.SHDeleteKeyW(k, u"Sub"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), static_cast<LONG>(ERROR_KEY_DELETED));
  }
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(Exists(reg_, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone\\Sub"));
  EXPECT_EQ(reg_.RegCloseKey(k), 0);
}

// Strings written without their terminator come back byte for byte here. Wine counts a NUL that
// happens to follow such data (saying NT does so too), and the conversions follow the machine's
// code page: a simulated machine's case until Windows' answer is confirmed.
TEST(RegistryStrings, EachCharacterWidthReadsBackWhatItWrote) {
  qztest::TestMachine m("win10-x64");
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 32).Registry();
  HKEY k = Create(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Strings");

  // 32 ANSI characters without a terminator, as a GUID text is kept.
  const std::string guid = "0123456789ABCDEF0123456789ABCDEF";
  ASSERT_EQ(SetA(reg, k, "value08", REG_SZ, guid), 0);
  DWORD type = 0;
  EXPECT_EQ(Get(reg, k, u"value08", true, &type), guid);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Get(reg, k, u"value08"), Bytes(u"0123456789ABCDEF0123456789ABCDEF"s));  // 64 bytes

  ASSERT_EQ(SetSz(reg, k, u"Product", u"VH-KSM V2.1"), 0);
  EXPECT_EQ(Get(reg, k, u"Product").size(), 24u);
  EXPECT_EQ(Get(reg, k, u"Product", true), std::string("VH-KSM V2.1\0", 12));

  struct Case {
    const char* what;
    DWORD type;
    bool writeAnsi;
    std::string written;
    bool readAnsi;
    std::string expected;
  } cases[] = {
      {"multi-string to wide", REG_MULTI_SZ, true, std::string("a\0bc\0\0", 6), false, Bytes(u"a\0bc\0\0"s)},
      {"expand string to narrow", REG_EXPAND_SZ, false, Bytes(u"%windir%\0"s), true, std::string("%windir%\0", 9)},
      {"accented text to narrow", REG_SZ, false, Bytes(u"caf\u00e9"s), true, "caf\xE9"},
      {"accented text to wide", REG_SZ, true, "caf\xE9", false, Bytes(u"caf\u00e9"s)},
      {"unrepresentable character", REG_SZ, false, Bytes(u"\ud55c"s), true, "?"},
      {"odd wide length drops the half character", REG_SZ, false, std::string("A\0B", 3), true, "A"},
      {"binary is never converted", REG_BINARY, true, std::string("\xff\x00\x01", 3), false,
       std::string("\xff\x00\x01", 3)},
      {"dword is never converted", REG_DWORD, false, std::string("\x10\x00\x00\x00", 4), true,
       std::string("\x10\x00\x00\x00", 4)},
      {"empty string", REG_SZ, true, "", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string name = Utf8ToWide(c.what);
    ASSERT_EQ(c.writeAnsi ? SetA(reg, k, c.what, c.type, c.written) : SetW(reg, k, name, c.type, c.written), 0);
    EXPECT_EQ(Get(reg, k, name, c.readAnsi, &type), c.expected);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(Get(reg, k, name, c.writeAnsi), c.written) << "same width";
  }
  reg.RegCloseKey(k);
}

TEST(RegistryStrings, KoreanCodePage) {
  qztest::TestMachine m("win10-x64", "ko");
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 32).Registry();
  HKEY k = Create(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Strings");
  const std::string ansi("\xC7\xD1\xB1\xDB\0", 5);  // "한글" in code page 949
  ASSERT_EQ(SetA(reg, k, "\xC7\xD1", REG_SZ, ansi), 0);
  EXPECT_EQ(Get(reg, k, u"\ud55c"), Bytes(u"\ud55c\uae00\0"s));
  ASSERT_EQ(SetSz(reg, k, u"wide", u"\ud55c\uae00"), 0);
  EXPECT_EQ(Get(reg, k, u"wide", true), ansi);
  reg.RegCloseKey(k);
}

struct ViewCase {
  const char* what;
  int bits;
  const char16_t* path;
  REGSAM sam;
  const char16_t* physical;  // where the key lands, in the native view
};

void CheckViews(const std::string& profile, std::initializer_list<ViewCase> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " on " + profile);
    qztest::TestMachine m(profile);
    IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", c.bits).Registry();
    reg.RegCloseKey(Create(reg, HKEY_LOCAL_MACHINE, c.path, KEY_ALL_ACCESS | c.sam));
    EXPECT_TRUE(Exists(reg, HKEY_LOCAL_MACHINE, c.path, KEY_READ | c.sam));
    EXPECT_TRUE(Exists(reg, HKEY_LOCAL_MACHINE, c.physical, KEY_READ | KEY_WOW64_64KEY));
    if (std::u16string_view(c.path) != c.physical) {
      EXPECT_FALSE(Exists(reg, HKEY_LOCAL_MACHINE, c.path, KEY_READ | KEY_WOW64_64KEY));
    }
  }
}

TEST(RegistryViews, ThirtyTwoBitProgramOnA64BitMachine) {
  CheckViews(
      "win10-x64",
      {
          {"redirected", 32, u"SOFTWARE\\Varnholt\\KSM", 0, u"SOFTWARE\\WOW6432Node\\Varnholt\\KSM"},
          {"asks for the 64-bit view", 32, u"SOFTWARE\\Varnholt\\KSM", KEY_WOW64_64KEY, u"SOFTWARE\\Varnholt\\KSM"},
          {"classes are shared", 32, u"SOFTWARE\\Classes\\.r331", 0, u"SOFTWARE\\Classes\\.r331"},
          {"the profile list is shared", 32, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-9",
           0, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-9"},
          {"its parent is not", 32, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", 0,
           u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"},
          {"the 32-bit node itself", 32, u"SOFTWARE\\WOW6432Node\\X", 0, u"SOFTWARE\\WOW6432Node\\X"},
          {"system is never redirected", 32, u"SYSTEM\\Software\\Varnholt\\KSM", 0, u"SYSTEM\\Software\\Varnholt\\KSM"},
          {"64-bit program", 64, u"SOFTWARE\\Varnholt\\KSM", 0, u"SOFTWARE\\Varnholt\\KSM"},
          {"64-bit program asks for the 32-bit view", 64, u"SOFTWARE\\Varnholt\\KSM", KEY_WOW64_32KEY,
           u"SOFTWARE\\WOW6432Node\\Varnholt\\KSM"},
      });
}

TEST(RegistryViews, NothingIsRedirectedOnA32BitMachine) {
  CheckViews("win10", {
                          {"32-bit program", 32, u"SOFTWARE\\Varnholt\\KSM", 0, u"SOFTWARE\\Varnholt\\KSM"},
                          {"asks for the 32-bit view", 32, u"SOFTWARE\\Varnholt\\KSM", KEY_WOW64_32KEY,
                           u"SOFTWARE\\Varnholt\\KSM"},
                      });
  qztest::TestMachine m("win10");
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 32).Registry();
  reg.RegCloseKey(Create(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt"));
  EXPECT_FALSE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node"));
}

TEST(RegistryViews, SubkeysOfAnOpenHandleFollowTheCallersView) {
  qztest::TestMachine m("win10-x64");
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 32).Registry();
  HKEY software = nullptr;
  ASSERT_EQ(Open(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE", KEY_ALL_ACCESS, &software), 0);
  reg.RegCloseKey(Create(reg, software, u"Varnholt\\KSM"));
  EXPECT_TRUE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\Varnholt\\KSM", KEY_READ | KEY_WOW64_64KEY));
  EXPECT_FALSE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt", KEY_READ | KEY_WOW64_64KEY));

  // A handle opened in the 64-bit view does not carry that view over to its subkeys.
  HKEY native = nullptr;
  ASSERT_EQ(Open(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", KEY_ALL_ACCESS | KEY_WOW64_64KEY, &native), 0);
  reg.RegCloseKey(Create(reg, native, u"Viewless"));
  reg.RegCloseKey(Create(reg, native, u"Native", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
  EXPECT_TRUE(
      Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\Microsoft\\Viewless", KEY_READ | KEY_WOW64_64KEY));
  EXPECT_TRUE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Native", KEY_READ | KEY_WOW64_64KEY));

  // Deletion takes the view it is given.
  EXPECT_EQ(reg.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Native", KEY_WOW64_64KEY), 0);
  EXPECT_EQ(reg.RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Viewless"), 0);
  EXPECT_EQ(reg.SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt"), 0);
  EXPECT_FALSE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\WOW6432Node\\Varnholt", KEY_READ | KEY_WOW64_64KEY));
  reg.RegCloseKey(native);
  reg.RegCloseKey(software);
}

TEST(RegistryRoots, ClassesAndCurrentUserAreViewsOfTheOtherRoots) {
  qztest::TestMachine m("win10-x64");
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 32).Registry();
  reg.RegCloseKey(Create(reg, HKEY_CLASSES_ROOT, u".r331"));
  EXPECT_TRUE(Exists(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.r331", KEY_READ | KEY_WOW64_64KEY));

  reg.RegCloseKey(Create(reg, HKEY_CURRENT_USER, u"Software\\Varnholt"));
  EXPECT_TRUE(Exists(reg, HKEY_USERS, winsim::UserSid("Administrator") + u"\\Software\\Varnholt"));

  auto service = winsim::OpenPlatform(m.root(), Program(32, true));
  service->Registry().RegCloseKey(Create(service->Registry(), HKEY_CURRENT_USER, u"Software\\Svc"));
  EXPECT_TRUE(Exists(reg, HKEY_USERS, std::u16string(winsim::kSystemSid) + u"\\Software\\Svc"));
}

TEST(RegistrySharing, ProcessesOfOneMachineShareItMachinesNever) {
  qztest::TestMachine a("win10-x64"), b("win10-x64");
  auto first = winsim::OpenPlatform(a.root(), Program(32));
  auto second = winsim::OpenPlatform(a.root(), Program(32));
  auto stranger = winsim::OpenPlatform(b.root(), Program(32));
  IRegistry& r1 = first->Registry();
  IRegistry& r2 = second->Registry();

  HKEY k1 = Create(r1, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common");
  ASSERT_EQ(SetSz(r1, k1, u"value01", u"one"), 0);
  HKEY k2 = nullptr;
  ASSERT_EQ(Open(r2, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt\\KSM\\Common", KEY_ALL_ACCESS, &k2), 0);
  EXPECT_EQ(Get(r2, k2, u"value01"), Bytes(u"one\0"s));
  ASSERT_EQ(SetSz(r2, k2, u"value01", u"two"), 0);
  EXPECT_EQ(Get(r1, k1, u"value01"), Bytes(u"two\0"s));

  EXPECT_FALSE(Exists(stranger->Registry(), HKEY_LOCAL_MACHINE, u"SOFTWARE\\Varnholt"));
  r1.RegCloseKey(k1);
  r2.RegCloseKey(k2);
}

TEST(RegistrySharing, AnotherProcessNeverSeesHalfMadeOrHalfDeletedTrees) {
  qztest::TestMachine m("win10-x64");
  auto writer = winsim::OpenPlatform(m.root(), Program(64));
  auto reader = winsim::OpenPlatform(m.root(), Program(64));
  std::atomic<bool> done{false};
  std::thread t([&] {
    IRegistry& r = writer->Registry();
    for (int i = 0; i < 100; ++i) {
      r.RegCloseKey(Create(r, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Race\\A\\B\\C"));
      EXPECT_EQ(r.SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Race"), 0);
    }
    done = true;
  });
  IRegistry& r = reader->Registry();
  while (!done) {
    HKEY k = nullptr;
    if (Open(r, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Race\\A", KEY_READ, &k) != 0) continue;
    DWORD subKeys = 0;
    LONG rc = r.RegQueryInfoKeyW(k, &subKeys, nullptr);
    if (rc == 0) {
      EXPECT_EQ(subKeys, 1u);
    } else {
      EXPECT_EQ(rc, static_cast<LONG>(ERROR_KEY_DELETED));
    }
    r.RegCloseKey(k);
  }
  t.join();
}

TEST(RegistryTools, SetQueryExportDelete) {
  qztest::TestMachine m("win10-x64", "en");
  const std::string root = m.root();
  struct Set {
    const char* name;
    const char* type;
    const char* data;
  } sets[] = {
      {"Product", "REG_SZ", "VH-KSM \"V2.1\""},
      {"Path", "REG_EXPAND_SZ", "%ProgramFiles%\\x"},
      {"List", "REG_MULTI_SZ", "a\\0b"},
      {"Port", "REG_DWORD", "0x1bb"},
      {"Big", "REG_QWORD", "5000000000"},
      {"Blob", "REG_BINARY", "00 ff,10"},
      {"value08", "REG_SZ", "ansi:0123456789ABCDEF0123456789ABCDEF"},
      {"Raw", "REG_SZ", "hex:41 00 00 00"},
      {"", "REG_SZ", "default"},
  };
  for (const auto& s : sets)
    EXPECT_EQ(winsim::SetRegistryValue(root, "HKLM\\SOFTWARE\\Tool\\Sub", s.name, s.type, s.data), 0) << s.name;
  EXPECT_EQ(winsim::SetRegistryValue(root, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Sub\\Leaf", "n", "REG_DWORD", "7"), 0);

  long err = -1;
  EXPECT_EQ(winsim::ExportRegistry(root, "hklm\\SOFTWARE\\Tool", &err),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Sub]\n"
            "\"Product\" = REG_SZ: \"VH-KSM \\\"V2.1\\\"\"\n"
            "\"Path\" = REG_EXPAND_SZ: \"%ProgramFiles%\\\\x\"\n"
            "\"List\" = REG_MULTI_SZ: \"a\\0b\"\n"
            "\"Port\" = REG_DWORD: 0x000001BB (443)\n"
            "\"Big\" = REG_QWORD: 0x000000012A05F200 (5000000000)\n"
            "\"Blob\" = REG_BINARY: 3 bytes: 00 FF 10\n"
            "\"value08\" = REG_SZ: \"0123456789ABCDEF0123456789ABCDEF\" (no terminator)\n"
            "\"Raw\" = REG_SZ: \"A\"\n"
            "\"\" = REG_SZ: \"default\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Sub\\Leaf]\n"
            "\"n\" = REG_DWORD: 0x00000007 (7)\n"
            "\n");
  EXPECT_EQ(err, 0);

  // What the tool wrote is what a program reads.
  IRegistry& reg = m.Enter(u"C:\\x\\prog.exe", 64).Registry();
  HKEY k = nullptr;
  ASSERT_EQ(Open(reg, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tool\\Sub", KEY_READ, &k), 0);
  EXPECT_EQ(Get(reg, k, u"value08", true), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(Get(reg, k, u"List"), Bytes(u"a\0b\0\0"s));
  reg.RegCloseKey(k);

  std::string text;
  EXPECT_EQ(winsim::QueryRegistry(root, "HKLM\\SOFTWARE\\Tool\\Sub", std::string("port"), &text), 0);
  EXPECT_EQ(text, "\"port\" = REG_DWORD: 0x000001BB (443)\n");
  EXPECT_EQ(winsim::QueryRegistry(root, "HKLM\\SOFTWARE\\Tool\\Sub", std::string("nope"), &text), 2);

  struct Bad {
    const char* path;
    const char* type;
    const char* data;
    long expected;
  } bad[] = {
      {"HKLM\\SOFTWARE\\Tool", "REG_DWORD", "12x", 87}, {"HKLM\\SOFTWARE\\Tool", "REG_DWORD", "0x100000000", 87},
      {"HKLM\\SOFTWARE\\Tool", "REG_BINARY", "0g", 87}, {"HKLM\\SOFTWARE\\Tool", "REG_WHAT", "1", 87},
      {"HKXX\\SOFTWARE\\Tool", "REG_SZ", "1", 161},
  };
  for (const auto& b : bad)
    EXPECT_EQ(winsim::SetRegistryValue(root, b.path, "x", b.type, b.data), b.expected) << b.data;

  EXPECT_EQ(winsim::DeleteRegistryValue(root, "HKLM\\SOFTWARE\\Tool\\Sub", "Port"), 0);
  EXPECT_EQ(winsim::DeleteRegistryValue(root, "HKLM\\SOFTWARE\\Tool\\Sub", "Port"), 2);
  EXPECT_EQ(winsim::DeleteRegistryKey(root, "HKLM\\SOFTWARE\\Tool"), 0);
  EXPECT_EQ(winsim::DeleteRegistryKey(root, "HKLM\\SOFTWARE\\Tool"), 2);
  EXPECT_EQ(winsim::ExportRegistry(root, "HKLM\\SOFTWARE\\Tool", &err), "");
  EXPECT_EQ(err, 2);

  EXPECT_EQ(winsim::SetRegistryValue(root, "HKCU\\Software\\Me", "v", "REG_DWORD", "1"), 0);
  EXPECT_EQ(winsim::QueryRegistry(root, "HKU\\" + WideToUtf8(winsim::UserSid("Administrator")) + "\\Software\\Me",
                                  std::string("v"), &text),
            0);
}

}  // namespace
