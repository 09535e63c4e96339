// Resources of the running program, read back from the bundle of its own program file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/winsim/bundle.h"
#include "platform/winsim/services.h"
#include "support/test_machine.h"

namespace {

TEST(Resources, LookupByTypeIdAndLanguageInTheProgramsOwnFile) {
  qztest::TestMachine m("win10-x64");
  std::filesystem::create_directories(m.HostPath(u"C:\\p"));
  const std::string host = m.HostPath(u"C:\\p\\prog.exe");
  std::ofstream(host) << "image";
  winsim::Bundle b;
  b.bits = 32;
  b.entries.push_back({"QZBUILD", "#1", 1033, {'-', 'a'}});
  b.entries.push_back({"#10", "#172", 1042, {'k'}});
  ASSERT_TRUE(winsim::WriteBundle(host, b));

  auto p = winsim::OpenPlatform(m.root(), winsim::ProcessIdentity{u"C:\\P\\PROG.EXE", 32, u""});
  struct Case {
    std::u16string type, id;
    win::WORD lang;
    std::optional<std::vector<win::BYTE>> want;
  };
  const Case cases[] = {
      {u"QZBUILD", u"#1", 1033, std::vector<win::BYTE>{'-', 'a'}},
      {u"QZBUILD", u"#1", 0, std::vector<win::BYTE>{'-', 'a'}},
      {u"#10", u"#172", 1042, std::vector<win::BYTE>{'k'}},
      {u"#10", u"#172", 1033, std::nullopt},
      {u"QZBUILD", u"#2", 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(p->Resources().LoadResourceBytes(c.type, c.id, c.lang), c.want);
  }

  auto bare = winsim::OpenPlatform(m.root(), winsim::ProcessIdentity{u"C:\\Windows\\notepad.exe", 32, u""});
  EXPECT_EQ(bare->Resources().LoadResourceBytes(u"QZBUILD", u"#1", 0), std::nullopt);
}

}  // namespace
