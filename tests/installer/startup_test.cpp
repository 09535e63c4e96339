// The installer's build-mode split and the messages after a failed preparation.
#include <gtest/gtest.h>

#include "installer/startup.h"
#include "platform/ui.h"
#include "platform/winsim/services.h"
#include "support/test_machine.h"

namespace {

using qz::InstallerFlow;

TEST(InstallerStartup, BuildModeSplitsIntoFlowAndShowMode) {
  struct Case {
    std::u16string mode;
    InstallerFlow flow;
    std::u16string show;
  };
  const Case cases[] = {
      {u"-uninstall", InstallerFlow::Uninstall, u""},
      {u"-hide-auto-uninstall", InstallerFlow::Uninstall, u""},
      {u"", InstallerFlow::Install, u""},
      {u"-hide", InstallerFlow::Install, u"false"},
      {u"-auto-hide", InstallerFlow::Install, u"false"},
      {u"-auto", InstallerFlow::Install, u"true-auto"},
      {u"-AUTO", InstallerFlow::Install, u""},
      {u"site", InstallerFlow::Install, u""},
  };
  for (const auto& c : cases) {
    auto s = qz::SplitBuildMode(c.mode);
    EXPECT_EQ(s.flow, c.flow);
    EXPECT_EQ(s.showMode, c.show);
  }
}

TEST(InstallerStartup, PreparationResultPicksItsMessage) {
  struct Case {
    int r;
    bool korean;
    std::u16string text, caption;
    win::UINT icon;
  };
  const Case cases[] = {
      {119, false, u"VH-KSM Agent has been deleted.", u"VH-KSM Agent Uninstall", win::MB_OK},
      {119, true, u"에이전트를 삭제하였습니다", u"VH-KSM Agent Uninstall", win::MB_OK},
      {3004, false, u"The agent installation file is corrupted.\r\nPlease download it again.", u"Decompression error",
       win::MB_ICONERROR},
      {3002, false, u"Installation or uninstallation can not continue.(3002)", u"Default setting error",
       win::MB_ICONERROR},
      {101, true, u"설치 또는 삭제를 진행할 수 없습니다.(101)", u"기본 설정 에러", win::MB_ICONERROR},
  };
  for (const auto& c : cases) {
    auto m = qz::PreparationMessage(c.r, c.korean);
    EXPECT_EQ(m.text, c.text) << c.r;
    EXPECT_EQ(m.caption, c.caption) << c.r;
    EXPECT_EQ(m.icon, c.icon) << c.r;
  }
}

TEST(InstallerStartup, VersionGateOverProfiles) {
  struct Case {
    const char* profile;
    bool accepted;
  };
  const Case cases[] = {
      {"win2000", false}, {"winxp-sp2", false},  {"winxp-sp3", true},  {"winxp-x64", false},
      {"win2003-sp2", true}, {"vista", true}, {"win10-x64", true},
  };
  for (const auto& c : cases) {
    qztest::TestMachine m(c.profile);
    auto p = winsim::OpenPlatform(m.root(), winsim::ProcessIdentity{u"C:\\qzSetup.exe", 32, u""});
    win::Platform::SetCurrent(p.get());
    EXPECT_EQ(qz::WindowsVersionAccepted(), c.accepted) << c.profile;
    win::Platform::SetCurrent(nullptr);
  }
}

}  // namespace
