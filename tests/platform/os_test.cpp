// OS facts as Windows answers them, on whichever backend the test program is built for: the
// version and the version check agree, WOW64 agrees with the two system-info calls, and the code
// page conversions.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/conformance_host.h"
#include "support/wine_differences.h"

namespace {

using namespace win;
using qztest::ConformanceHost;

constexpr DWORD kErrorOldWinVersion = 1150;

TEST(OsConformance, ConditionMasksPackAsWindowsPacksThem) {
  struct Case {
    DWORD bit;
    BYTE condition;
    ULONGLONG want;
  } cases[] = {
      {VER_MINORVERSION, VER_EQUAL, 0x1},
      {VER_MAJORVERSION, VER_GREATER_EQUAL, 0x18},
      {VER_BUILDNUMBER, VER_LESS, 0x100},
      {VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL, 0x18000},
      {VER_PRODUCT_TYPE, VER_EQUAL, 0x200000},
  };
  ULONGLONG all = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(VerSetConditionMask(0, c.bit, c.condition), c.want) << c.bit;
    all = VerSetConditionMask(all, c.bit, c.condition);
  }
  EXPECT_EQ(all, 0x218119u);
}

TEST(OsConformance, VersionCheckAgreesWithTheVersion) {
  for (const char* profile : {"win10-x64", "winxp-sp3", "win2003-sp2"}) {
    SCOPED_TRACE(profile);
    ConformanceHost host(profile);
    OSVERSIONINFOEXW v;
    ASSERT_TRUE(Os().GetVersionExW(&v));
    EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_GE(v.dwMajorVersion, 5u);
    EXPECT_TRUE(v.wProductType == VER_NT_WORKSTATION || v.wProductType == VER_NT_DOMAIN_CONTROLLER ||
                v.wProductType == VER_NT_SERVER);
    if (v.wServicePackMajor > 0) {
      EXPECT_EQ(WideToUtf8(v.szCSDVersion), "Service Pack " + std::to_string(v.wServicePackMajor));
    }

    // Fields checked together with one condition (the product's checks are all of this kind).
    constexpr DWORD kAll = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;
    struct Check {
      DWORD mask, major, minor;
      WORD sp;
      BYTE condition;
      bool want;
    } checks[] = {
        {kAll, v.dwMajorVersion, v.dwMinorVersion, v.wServicePackMajor, VER_EQUAL, true},
        {kAll, v.dwMajorVersion, v.dwMinorVersion, v.wServicePackMajor, VER_GREATER_EQUAL, true},
        {kAll, v.dwMajorVersion, v.dwMinorVersion, static_cast<WORD>(v.wServicePackMajor + 1), VER_GREATER_EQUAL, false},
        {kAll, v.dwMajorVersion, v.dwMinorVersion + 1, v.wServicePackMajor, VER_EQUAL, false},
        {kAll, v.dwMajorVersion + 1, 0, 0, VER_GREATER_EQUAL, false},
        {VER_MAJORVERSION, v.dwMajorVersion + 1, 0, 0, VER_LESS, true},
        {VER_MAJORVERSION, v.dwMajorVersion, 0, 0, VER_GREATER, false},
        {VER_MINORVERSION, 0, v.dwMinorVersion, 0, VER_LESS_EQUAL, true},
    };
    for (const auto& c : checks) {
      SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " sp" << c.sp << " cond " << int(c.condition));
      OSVERSIONINFOEXW want;
      want.dwMajorVersion = c.major;
      want.dwMinorVersion = c.minor;
      want.wServicePackMajor = c.sp;
      ULONGLONG cond = 0;
      for (DWORD bit : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR}) {
        if (c.mask & bit) cond = VerSetConditionMask(cond, bit, c.condition);
      }
      SetLastError(0);
      const BOOL ok = Os().VerifyVersionInfoW(want, c.mask, cond);
      EXPECT_EQ(ok != FALSE, c.want);
      if (!c.want) {
        EXPECT_EQ(GetLastError(), kErrorOldWinVersion);
      }
    }
    OSVERSIONINFOEXW type;
    type.wProductType = v.wProductType;
    EXPECT_TRUE(Os().VerifyVersionInfoW(type, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)));
    // A check of nothing is refused, not passed.
    EXPECT_FALSE(Os().VerifyVersionInfoW(type, 0, 0));
    EXPECT_NE(GetLastError(), kErrorOldWinVersion);
    if (!host.Simulated()) break;  // the real machine is one version
  }
}

TEST(OsConformance, AnUnknownStructureSizeIsRefused) {
  ConformanceHost host;
  OSVERSIONINFOEXW v;
  v.dwOSVersionInfoSize = 12;
  SetLastError(0);
  EXPECT_FALSE(Os().GetVersionExW(&v));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(qztest::Expected(qztest::WineDifference::VersionUnknownSizeLastError)));
}

TEST(OsConformance, Wow64AgreesWithTheSystemInfo) {
  for (const char* profile : {"win10-x64", "win10"}) {
    SCOPED_TRACE(profile);
    ConformanceHost host(profile);
    BOOL wow64 = -1;
    ASSERT_TRUE(Os().IsWow64Process(&wow64));
    SYSTEM_INFO mine, native;
    Os().GetSystemInfo(&mine);
    // A 32-bit program sees an x86 processor; only the native call tells the truth under WOW64.
    // (The 64-bit Windows build, a compile check run under wine64, is no WOW64 program.)
    const bool program64 = !host.Simulated() && sizeof(void*) == 8;
    EXPECT_EQ(mine.wProcessorArchitecture, program64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL);
    if (program64) {
      EXPECT_EQ(wow64, FALSE);
    }
    if (Os().GetNativeSystemInfo(&native)) {
      if (program64) {
        EXPECT_EQ(native.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
      } else {
        EXPECT_EQ(wow64 == TRUE, native.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL);
      }
    } else {
      EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
      EXPECT_EQ(wow64, FALSE);
    }
    if (host.Simulated()) {
      EXPECT_EQ(wow64, std::string(profile) == "win10-x64" ? TRUE : FALSE);
    }
    if (!host.Simulated()) break;
  }
}

TEST(OsConformance, CodePageConversions) {
  ConformanceHost host;
  // UTF-8 both ways, every plane.
  const std::u16string wide = u"A\u00e9\ud55c\U0001F600z";
  const std::string utf8 = "A\xC3\xA9\xED\x95\x9C\xF0\x9F\x98\x80z";
  EXPECT_EQ(Os().WideToMultiByte(CP_UTF8, wide), utf8);
  EXPECT_EQ(Os().MultiByteToWide(CP_UTF8, utf8), wide);
  EXPECT_EQ(Os().MultiByteToWide(CP_UTF8, ""), u"");
  EXPECT_EQ(Os().WideToMultiByte(CP_UTF8, u""), "");
  EXPECT_EQ(AnsiToWide("plain ascii"), u"plain ascii");

  if (Os().GetACP() != 1252) GTEST_SKIP() << "the ANSI table below is code page 1252's; this machine has " << Os().GetACP();
  struct Case {
    std::u16string wide;
    std::string ansi;
  } cases[] = {
      {u"caf\u00e9", "caf\xE9"},
      {u"\u20ac5", "\x80" "5"},
      {u"\ud55c\uae00", "??"},  // Korean is not in 1252
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.wide));
    EXPECT_EQ(WideToAnsi(c.wide), c.ansi);
    if (c.ansi.find('?') == std::string::npos) {
      EXPECT_EQ(AnsiToWide(c.ansi), c.wide);
    }
  }
}

TEST(OsConformance, TheComputerHasAName) {
  ConformanceHost host;
  const std::u16string name = Os().GetComputerNameW();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
}

}  // namespace
