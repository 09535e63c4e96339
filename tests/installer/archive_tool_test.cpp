// The archive tool installers carry, on a simulated machine: Windows paths in, 7-Zip's quoting
// rules, output and exit code passed through.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using qztest::ReadHostFile;
using qztest::TestMachine;
using qztest::WriteHostFile;

TEST(ArchiveTool, AddsTestsAndExtractsWithWindowsPaths) {
  TestMachine m("win10-x64");
  m.Install("7zr.exe", u"C:\\setup\\ExtractXzr.exe");
  const std::u16string logs = u"C:\\Program Files (x86)\\varnholt\\KSM\\logs";
  WriteHostFile(m.HostPath(logs + u"\\a.log"), "first log");
  WriteHostFile(m.HostPath(logs + u"\\sub\\b.log"), "second log");
  m.Enter(u"C:\\test\\qzSetup.exe", 32);

  // The log collection's form: a quoted folder that ends in a backslash right before the quote.
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe a C:\\setup\\20210203090507.zip \"" + logs + u"\\\"", u"C:\\setup"), 0);
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe t c:\\SETUP\\20210203090507.ZIP", u"C:\\"), 0);
  // The unpacking's form: the archive relative to the current folder, the output folder glued to -o.
  EXPECT_EQ(m.Run(u"C:\\setup\\ExtractXzr.exe x 20210203090507.zip -y -oC:\\out", u"C:\\setup"), 0);
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\out\\logs\\a.log")), "first log");
  EXPECT_EQ(ReadHostFile(m.HostPath(u"C:\\out\\logs\\sub\\b.log")), "second log");

  WriteHostFile(m.HostPath(u"C:\\setup\\broken.zip"), "not an archive at all");
  auto rc = m.Run(u"C:\\setup\\ExtractXzr.exe t C:\\setup\\broken.zip", u"C:\\");
  ASSERT_TRUE(rc);
  EXPECT_NE(*rc, 0);
}

}  // namespace
