// Windows paths on a simulated machine: parsing, WOW64 redirection and the host mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "platform/winsim/paths.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using winsim::FromHostPath;
using winsim::ParseWinPath;
using winsim::RedirectForWow64;
using winsim::ToHostPath;
using winsim::WinPath;

std::string Show(const std::optional<WinPath>& p) { return p ? win::WideToUtf8(p->ToString()) : "<refused>"; }

TEST(WinPaths, ParseAgainstCurrentDirectory) {
  struct Case {
    std::u16string path;
    std::string expected;
  };
  const std::u16string cwd = u"C:\\Work\\Dir";
  const Case cases[] = {
      {u"C:\\a\\b", "C:\\a\\b"},
      {u"c:/a/b/", "C:\\a\\b"},
      {u"C:\\", "C:\\"},
      {u"C:", "C:\\Work\\Dir"},           // drive-relative on the current drive
      {u"D:x", "D:\\x"},                   // another drive's current folder is its root
      {u"x\\y", "C:\\Work\\Dir\\x\\y"},
      {u".\\x", "C:\\Work\\Dir\\x"},
      {u"..\\x", "C:\\Work\\x"},
      {u"\\x", "C:\\x"},                   // root of the current drive
      {u"C:\\a\\..\\..\\..\\b", "C:\\b"},  // ".." stops at the root
      {u"C:\\a\\.\\b\\\\c", "C:\\a\\b\\c"},
      {u"C:\\name. . \\file.txt  ", "C:\\name\\file.txt"},  // trailing dots and blanks go
      {u"\\\\?\\C:\\long\\path", "C:\\long\\path"},
      {u"C:\\a|b", "<refused>"},
      {u"C:\\a*", "<refused>"},
      {u"C:\\a\\b:stream", "<refused>"},
      {u"C:\\a\x01", "<refused>"},
      {u"\\\\server\\share\\x", "<refused>"},
      {u"\\\\.\\PhysicalDrive0", "<refused>"},
      {u"1:\\x", "<refused>"},
      {u"", "<refused>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(win::WideToUtf8(c.path));
    EXPECT_EQ(Show(ParseWinPath(c.path, cwd)), c.expected);
  }
}

TEST(WinPaths, Wow64Redirection) {
  struct Case {
    std::u16string path;
    std::string expected;
  };
  const Case cases[] = {
      {u"C:\\Windows\\System32\\x.dll", "C:\\Windows\\SysWOW64\\x.dll"},
      {u"C:\\WINDOWS\\system32", "C:\\WINDOWS\\SysWOW64"},
      {u"C:\\Windows\\Sysnative\\x.dll", "C:\\Windows\\System32\\x.dll"},
      {u"C:\\Windows\\System32\\drivers\\etc\\hosts", "C:\\Windows\\System32\\drivers\\etc\\hosts"},
      {u"C:\\Windows\\System32\\drivers\\x.sys", "C:\\Windows\\SysWOW64\\drivers\\x.sys"},
      {u"C:\\Windows\\System32\\spool\\x", "C:\\Windows\\System32\\spool\\x"},
      {u"C:\\Windows\\System32\\catroot2", "C:\\Windows\\System32\\catroot2"},
      {u"C:\\Windows\\System32\\LogFiles\\x", "C:\\Windows\\System32\\LogFiles\\x"},
      {u"C:\\Windows\\notepad.exe", "C:\\Windows\\notepad.exe"},
      {u"C:\\Windows", "C:\\Windows"},
      {u"C:\\Other\\System32\\x", "C:\\Other\\System32\\x"},
      {u"D:\\Windows\\System32\\x", "D:\\Windows\\System32\\x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(win::WideToUtf8(c.path));
    auto p = ParseWinPath(c.path, u"C:\\");
    ASSERT_TRUE(p);
    EXPECT_EQ(Show(RedirectForWow64(*p)), c.expected);
  }
}

class HostPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_ / "drive_c" / "Program Files" / "Qz Agent");
    std::ofstream(root_ / "drive_c" / "Program Files" / "Qz Agent" / "Agent.EXE") << "x";
  }
  std::string Host(std::u16string_view win) {
    auto p = ParseWinPath(win, u"C:\\");
    return p ? ToHostPath(root_.string(), *p) : std::string();
  }
  qztest::HostDir host_;
  std::filesystem::path root_{host_.path()};
};

TEST_F(HostPaths, ExistingPartsMatchCaseInsensitivelyMissingPartsKeepTheirSpelling) {
  const std::string c = (root_ / "drive_c").string();
  EXPECT_EQ(Host(u"c:\\PROGRAM FILES\\qz agent\\agent.exe"), c + "/Program Files/Qz Agent/Agent.EXE");
  EXPECT_EQ(Host(u"C:\\program files\\New Dir\\Log.txt"), c + "/Program Files/New Dir/Log.txt");
  EXPECT_EQ(Host(u"C:\\"), c);
  EXPECT_EQ(Host(u"e:\\x"), (root_ / "drive_e" / "x").string());
}

// ASCII names compare by their letters alone; other names fold as Windows folds them, and no
// other character stands for an ASCII one.
TEST_F(HostPaths, NamesFoldAsWindowsFoldsThem) {
  const std::filesystem::path dir = root_ / "drive_c" / "Program Files" / "Qz Agent";
  for (const char* name : {"AGENT.exe", "\xd0\x96\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb.txt", "Caf\xc3\xa9.LOG"})
    std::ofstream(dir / name) << "x";
  const std::string d = dir.string() + "/";
  struct Case {
    std::u16string win;
    std::string host;
  };
  const Case cases[] = {
      {u"agent.exe", "AGENT.exe"},  // of two that fold alike, the first in byte order
      {u"\u0436\u0423\u0420\u043d\u0430\u043b.TXT", "\xd0\x96\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb.txt"},
      {u"CAF\u00c9.log", "Caf\xc3\xa9.LOG"},
      {u"Cafe.log", "Cafe.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(Host(u"C:\\Program Files\\Qz Agent\\" + c.win), d + c.host);
  }
}

TEST_F(HostPaths, NeverLeavesTheMachineRoot) {
  const std::string c = (root_ / "drive_c").string();
  EXPECT_EQ(Host(u"C:\\..\\..\\etc\\passwd"), c + "/etc/passwd");
  // A hand-made path with parts a parser never produces still stays under the drive.
  WinPath evil{'C', {u"..", u"..", u"x/y"}};
  const std::string h = ToHostPath(root_.string(), evil);
  EXPECT_EQ(h.rfind(c + "/", 0), 0u) << h;
  EXPECT_EQ(h.find("/../"), std::string::npos) << h;
  EXPECT_EQ(std::count(h.begin() + static_cast<long>(c.size()), h.end(), '/'), 3) << h;
}

TEST_F(HostPaths, HostPathsMapBackToWindowsPaths) {
  const std::string r = root_.string();
  EXPECT_EQ(Show(FromHostPath(r, r + "/drive_c/Program Files/Qz Agent/Agent.EXE")),
            "C:\\Program Files\\Qz Agent\\Agent.EXE");
  EXPECT_EQ(Show(FromHostPath(r, r + "/drive_d")), "D:\\");
  EXPECT_EQ(Show(FromHostPath(r, r + "/registry.db")), "<refused>");
  EXPECT_EQ(Show(FromHostPath(r, r + "/drive_c/../../x")), "<refused>");
  EXPECT_EQ(Show(FromHostPath(r, "/etc/passwd")), "<refused>");
}

}  // namespace
