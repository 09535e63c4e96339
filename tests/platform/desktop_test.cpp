// Top-level windows, libraries, resources and GUIDs as Windows answers for them, on whichever
// backend the test program is built for.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "support/conformance_host.h"

namespace {

using namespace win;
using qztest::ConformanceHost;

TEST(DesktopConformance, AWindowIsFoundByClassAndTitleUntilItIsDestroyed) {
  ConformanceHost host;
  const char16_t kClass[] = u"QzConformanceWindow";
  const char16_t kTitle[] = u"qz conformance";
  EXPECT_EQ(Desktop().FindWindowW(kClass, nullptr), nullptr);
  HWND w = Desktop().CreateWindowExW(0, kClass, kTitle, 0);
  ASSERT_NE(w, nullptr) << GetLastError();
  EXPECT_EQ(Desktop().FindWindowW(kClass, kTitle), w);
  EXPECT_EQ(Desktop().FindWindowW(kClass, nullptr), w);
  EXPECT_EQ(Desktop().FindWindowW(nullptr, kTitle), w);
  EXPECT_EQ(Desktop().FindWindowW(kClass, u"another title"), nullptr);
  DWORD pid = 0;
  EXPECT_NE(Desktop().GetWindowThreadProcessId(w, &pid), 0u);
  EXPECT_EQ(pid, Processes().GetCurrentProcessId());
  const auto all = Desktop().EnumWindows();
  EXPECT_NE(std::find(all.begin(), all.end(), w), all.end());
  EXPECT_FALSE(Desktop().IsIconic(w));

  EXPECT_TRUE(Desktop().DestroyWindow(w));
  EXPECT_EQ(Desktop().FindWindowW(kClass, kTitle), nullptr);
  pid = 1;
  EXPECT_EQ(Desktop().GetWindowThreadProcessId(w, &pid), 0u);
  EXPECT_EQ(pid, 0u);
  EXPECT_FALSE(Desktop().DestroyWindow(w));
}

TEST(LibrariesConformance, AMissingLibraryIsModuleNotFound) {
  ConformanceHost host;
  for (std::u16string name : {u"qz-no-such-library", u"qz-no-such-library.dll", u"C:\\Windows\\qz-no-such-library.dll"}) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    SetLastError(0);
    EXPECT_EQ(Libraries().LoadLibraryW(name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  }
}

TEST(ResourcesConformance, WhatTheProgramDoesNotCarryIsAbsent) {
  ConformanceHost host;
  struct Case {
    std::u16string type, id;
    WORD lang;
  } cases[] = {
      {u"QZNOSUCHTYPE", u"#1", 0},
      {u"QZNOSUCHTYPE", u"NAME", 1033},
      {u"#10", u"#60001", 0},
      {u"#10", u"#60001", 1042},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Resources().LoadResourceBytes(c.type, c.id, c.lang), std::nullopt);
  }
}

TEST(ComConformance, GuidsAreRandomVersionFour) {
  ConformanceHost host;
  GUID a, b;
  ASSERT_EQ(Com().CoCreateGuid(&a), S_OK);
  ASSERT_EQ(Com().CoCreateGuid(&b), S_OK);
  for (const GUID& g : {a, b}) {
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
  }
  EXPECT_FALSE(a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
               std::equal(a.Data4, a.Data4 + 8, b.Data4));
}

}  // namespace
