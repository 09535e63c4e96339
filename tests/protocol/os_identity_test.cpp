#include "protocol/os_identity.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/test_machine.h"

using win::DWORD;

using namespace qz;

namespace {

struct Row {
  const char* profile;
  uint32_t code;
  uint32_t servicePack;
  bool is64;
};

OsInformation Identify(qztest::TestMachine& m) {
  m.Enter(u"C:\\Program Files\\varnholt\\KSM\\qzUpdater.exe", 32);
  OsInformation info;
  info.osCode = 0xDEADBEEF;
  IdentifyOs(&info);
  return info;
}

TEST(OsIdentity, EveryProfile) {
  const Row rows[] = {
      {"win2000", 0, 4, false},
      {"winxp-sp2", 0x00000001, 2, false},
      {"winxp-sp3", 0x00000001, 3, false},
      {"winxp-x64", 0x00010000, 2, true},
      {"win2003-sp1", 0x00000100, 1, false},
      {"win2003-sp2", 0x00000100, 2, false},
      {"win2003-x64", 0x01000000, 2, true},
      {"win2003-ia64", 0x01000000, 2, true},
      {"vista", 0x00000002, 2, false},
      {"vista-x64", 0x00020000, 2, true},
      {"win2008", 0x00000200, 2, false},
      {"win2008-x64", 0x02000000, 2, true},
      {"win7", 0x00000004, 1, false},
      {"win7-x64", 0x00040000, 1, true},
      {"win2008r2", 0x04000000, 1, true},
      {"win8", 0x00000008, 0, false},
      {"win8-x64", 0x00080000, 0, true},
      {"win2012", 0x08000000, 0, true},
      {"win81", 0x00000010, 0, false},
      {"win81-x64", 0x00100000, 0, true},
      {"win2012r2", 0x10000000, 0, true},
      {"win10", 0x00000020, 0, false},
      {"win10-x64", 0x00200000, 0, true},
      {"win2016", 0x20000000, 0, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.profile);
    qztest::TestMachine m(r.profile);
    OsInformation info = Identify(m);
    EXPECT_EQ(info.osCode, r.code);
    EXPECT_EQ(info.servicePack, r.servicePack);
    EXPECT_EQ(info.is64Bit, r.is64);
  }
}

void SetVersion(DWORD major, DWORD minor) {
  using namespace win;
  HKEY k = nullptr;
  ASSERT_EQ(Registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                                     KEY_ALL_ACCESS | KEY_WOW64_64KEY, &k),
            0);
  Registry().RegSetValueExW(k, u"CurrentMajorVersionNumber", REG_DWORD, reinterpret_cast<BYTE*>(&major), 4);
  Registry().RegSetValueExW(k, u"CurrentMinorVersionNumber", REG_DWORD, reinterpret_cast<BYTE*>(&minor), 4);
  Registry().RegCloseKey(k);
}

TEST(OsIdentity, VersionsItDoesNotKnowGiveZero) {
  for (auto [major, minor] : {std::pair<DWORD, DWORD>{6, 4}, {10, 1}, {5, 3}}) {
    SCOPED_TRACE(testing::Message() << major << "." << minor);
    qztest::TestMachine m("win10-x64");
    m.Enter();
    SetVersion(major, minor);
    OsInformation info;
    EXPECT_TRUE(IdentifyOs(&info));
    EXPECT_EQ(info.osCode, 0u);
  }
}

TEST(OsIdentity, OldNtIsRefusedAndAShortServicePackTextCountsAsNone) {
  qztest::TestMachine m("winxp-sp3");
  m.Enter();
  SetVersion(4, 0);
  OsInformation info;
  EXPECT_FALSE(IdentifyOs(&info));
  EXPECT_EQ(info.osCode, 0u);

  SetVersion(5, 1);
  win::HKEY k = nullptr;
  ASSERT_EQ(win::Registry().RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                          0, win::KEY_ALL_ACCESS | win::KEY_WOW64_64KEY, &k),
            0);
  const char16_t csd[] = u"SP3";
  win::Registry().RegSetValueExW(k, u"CSDVersion", win::REG_SZ, reinterpret_cast<const win::BYTE*>(csd), sizeof csd);
  win::Registry().RegCloseKey(k);
  EXPECT_TRUE(IdentifyOs(&info));
  EXPECT_EQ(info.osCode, 1u);
  EXPECT_EQ(info.servicePack, 0u);
}

}  // namespace
