// qzpack setup refuses an install build that would fail only on the PC, and shows how far the
// payload's compression has come.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using qztest::BuiltProgram;
using qztest::HostDir;
using qztest::HostOutput;
using qztest::ShellQuote;
using qztest::WriteHostFile;
namespace fs = std::filesystem;

constexpr char kSettings[] =
    "<setup><serial>VH-1</serial><server>127.0.0.1</server><productkind>V3-2</productkind><msg>m</msg>"
    "<showui>true</showui></setup>";

struct Built {
  int status = -1;
  std::string out;  // standard output and error
};

// qzpack setup of the payload folder in the given mode, into dir/qzSetup.exe.
Built BuildSetup(const HostDir& dir, const std::string& mode, const std::vector<std::string>& extra = {}) {
  std::string line = ShellQuote(BuiltProgram("qzpack")) + " setup --program " + ShellQuote(BuiltProgram("qzSetup")) +
                     " --tool " + ShellQuote(BuiltProgram("7zr.exe")) + " --mode " + ShellQuote(mode) +
                     " --level 1 --out " + ShellQuote(dir / "qzSetup.exe") + " --dir " + ShellQuote(dir / "payload");
  for (const auto& e : extra) line += " " + ShellQuote(e);
  Built b;
  b.out = HostOutput(line + " 2>&1", &b.status);
  return b;
}

TEST(SetupBuild, AnInstallBuildWithoutWhatTheInstallNeedsIsRefused) {
  HostDir dir;
  const std::string payload = dir / "payload";
  WriteHostFile(payload + "/msvcr110.dll", "runtime");
  const std::string suffix = " (--unchecked builds it anyway)\n";
  const struct {
    const char* what;
    const char* file;    // written before the build (with content)
    std::string content;
    std::string message;  // empty: built
  } steps[] = {
      {"nothing yet", nullptr, "", "qzpack: an install build needs server.cfg in its payload" + suffix},
      {"a document the installer cannot read", "server.cfg", "<setup><serial>VH-1",
       "qzpack: the installer refuses its server.cfg (" + payload + "/server.cfg) with code 31" + suffix},
      {"a document without a server", "server.cfg", "<setup><serial>VH-1</serial></setup>",
       "qzpack: the installer refuses its server.cfg (" + payload + "/server.cfg) with code 34" + suffix},
      {"an over-long serial", "server.cfg",
       "<setup><serial>" + std::string(200, 'S') + "</serial><server>h</server></setup>",
       "qzpack: the installer refuses its server.cfg (" + payload + "/server.cfg) with code 33" + suffix},
      {"a good document, no service program", "server.cfg", kSettings,
       "qzpack: an install build needs qzTarlinSvc.exe in its payload" + suffix},
      {"no updater", "qzTarlinSvc.exe", "service", "qzpack: an install build needs qzUpdater.exe in its payload" + suffix},
      {"everything", "qzUpdater.exe", "updater", ""},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.file) WriteHostFile(payload + "/" + s.file, s.content);
    // The document is read first, then the two programs are looked for, in that order.
    for (const char* mode : {"", "-hide", "-auto"}) {
      fs::remove(dir / "qzSetup.exe");
      const Built b = BuildSetup(dir, mode);
      if (s.message.empty()) {
        EXPECT_EQ(b.status, 0) << b.out;
        EXPECT_TRUE(fs::exists(dir / "qzSetup.exe"));
      } else {
        EXPECT_EQ(b.status, 2);
        EXPECT_EQ(b.out, s.message);
        EXPECT_FALSE(fs::exists(dir / "qzSetup.exe"));
        EXPECT_FALSE(fs::exists(dir / "qzSetup.exe.part"));
      }
    }
  }
}

TEST(SetupBuild, TheUninstallBuildAndAnUncheckedBuildNeedNoSettings) {
  HostDir dir;
  WriteHostFile(dir / "payload/qzUpdater.exe", "updater");
  Built b = BuildSetup(dir, "-uninstall");
  EXPECT_EQ(b.status, 0) << b.out;
  fs::remove(dir / "qzSetup.exe");
  b = BuildSetup(dir, "-hide", {"--unchecked"});
  EXPECT_EQ(b.status, 0) << b.out;
  EXPECT_TRUE(fs::exists(dir / "qzSetup.exe"));
}

// Without a terminal, a line at each quarter of the bytes 7-Zip reports compressed, ending at 100%.
TEST(SetupBuild, ShowsThePercentOfBytesCompressed) {
  HostDir dir;
  WriteHostFile(dir / "payload/qzUpdater.exe", qztest::Pattern(3 << 20));
  Built b = BuildSetup(dir, "-uninstall");
  ASSERT_EQ(b.status, 0) << b.out;
  const std::string size = std::to_string(3 << 20);
  EXPECT_NE(b.out.find("qzpack: compressing " + size + " bytes: 100%\n"), std::string::npos) << b.out;
  // Every line is a progress line, never 7-Zip's own output; the percentages only grow.
  int last = -1;
  size_t at = 0, lines = 0;
  while (at < b.out.size()) {
    const size_t end = b.out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << b.out;
    const std::string line = b.out.substr(at, end - at);
    const std::string prefix = "qzpack: compressing " + size + " bytes: ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int percent = std::stoi(line.substr(prefix.size()));
    EXPECT_GT(percent, last);
    last = percent;
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(last, 100);
  EXPECT_LE(lines, 5u);
}

}  // namespace
