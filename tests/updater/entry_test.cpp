#include "updater/entry.h"

#include <gtest/gtest.h>

using namespace qz;

namespace {

TEST(UpdaterCommand, WholeTextSwitches) {
  struct Row {
    std::u16string_view text;
    UpdaterMode mode;
    bool install, uninstall, expunge, restart;
  };
  const Row rows[] = {
      {u"--uninstall", UpdaterMode::Uninstall, false, true, false, true},
      {u"--makeExpunge_byagent", UpdaterMode::Expunge, false, true, true, true},
      {u"--stopMe", UpdaterMode::Stop, false, false, false, true},
      {u"--stopPrtProc", UpdaterMode::DriverStop, false, false, false, true},
      {u"--restart", UpdaterMode::Restart, false, false, false, true},
      {u"--chksvc", UpdaterMode::ServiceCheck, false, false, false, true},
      {u"--update", UpdaterMode::Update, false, false, false, false},
      {u"", UpdaterMode::Update, false, false, false, true},
      // Extra characters, trailing blanks or another letter case match no switch.
      {u"--uninstall ", UpdaterMode::Update, false, false, false, true},
      {u"--Uninstall", UpdaterMode::Update, false, false, false, true},
      {u"--update ", UpdaterMode::Update, false, false, false, true},
      {u"x --stopMe", UpdaterMode::Update, false, false, false, true},
      // "--install" anywhere wins over everything else.
      {u"--install", UpdaterMode::Install, true, false, false, true},
      {u"before --install after", UpdaterMode::Install, true, false, false, true},
      {u"--install --uninstall", UpdaterMode::Install, true, false, false, true},
      {u"--INSTALL", UpdaterMode::Update, false, false, false, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.text.begin(), r.text.end()));
    UpdaterCommand c = ParseUpdaterCommand(r.text);
    EXPECT_EQ(c.mode, r.mode);
    EXPECT_EQ(c.install, r.install);
    EXPECT_EQ(c.uninstall, r.uninstall);
    EXPECT_EQ(c.expunge, r.expunge);
    EXPECT_EQ(c.restart, r.restart);
  }
}

TEST(UpdaterCommand, InstallGate) {
  struct Row {
    uint32_t code, sp;
    bool refused;
  };
  const Row rows[] = {
      {0, 4, true},                    // Windows 2000 and anything unknown
      {0x00000001, 2, true},           // XP SP2
      {0x00000001, 3, false},          // XP SP3
      {0x00010000, 2, true},           // XP x64 has no SP3
      {0x00000100, 1, true},           // Server 2003 SP1
      {0x00000100, 2, false},          // Server 2003 SP2
      {0x01000000, 1, true},           // Server 2003 x64 / IA64 SP1
      {0x01000000, 2, false},
      {0x00000002, 0, false},          // Vista without a service pack
      {0x00200000, 0, false},          // 10 x64
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.code << " sp" << r.sp);
    OsInformation os;
    os.osCode = r.code;
    os.servicePack = r.sp;
    EXPECT_EQ(IsOsRefusedForInstall(os), r.refused);
  }
}

}  // namespace
