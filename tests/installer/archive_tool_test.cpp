// The archive tool installers carry, on a simulated machine: Windows paths in, 7-Zip's quoting
// rules, output and exit code passed through.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using qztest::TestMachine;

void Put(const std::string& host, const std::string& text) {
  fs::create_directories(fs::path(host).parent_path());
  std::ofstream(host, std::ios::binary) << text;
}

std::string Get(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ArchiveTool, AddsTestsAndExtractsWithWindowsPaths) {
  TestMachine m("win10-x64");
  m.Install("7zr.exe", u"C:\\setup\\ExtractXzr.exe");
  const std::u16string logs = u"C:\\Program Files (x86)\\varnholt\\KSM\\logs";
  Put(m.HostPath(logs + u"\\a.log"), "first log");
  Put(m.HostPath(logs + u"\\sub\\b.log"), "second log");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);

  // The log collection's form: a quoted folder that ends in a backslash right before the quote.
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe a C:\\setup\\20210203090507.zip \"" + logs + u"\\\"", u"C:\\setup"), 0);
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe t c:\\SETUP\\20210203090507.ZIP", u"C:\\"), 0);
  // The unpacking's form: the archive relative to the current folder, the output folder glued to -o.
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe x 20210203090507.zip -y -oC:\\out", u"C:\\setup"), 0);
  EXPECT_EQ(Get(m.HostPath(u"C:\\out\\logs\\a.log")), "first log");
  EXPECT_EQ(Get(m.HostPath(u"C:\\out\\logs\\sub\\b.log")), "second log");

  Put(m.HostPath(u"C:\\setup\\broken.zip"), "not an archive at all");
  auto rc = m.Run(u"C:\\setup\\ExtractXzr.exe t C:\\setup\\broken.zip", u"C:\\");
  ASSERT_TRUE(rc);
  EXPECT_NE(*rc, 0);
}

}  // namespace
