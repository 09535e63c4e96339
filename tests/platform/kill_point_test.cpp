// The kill point: a program of the machine ends at the chosen file operation, before it takes
// effect, with the kill's exit code and without its handles; the trace lists the operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/kill_point.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::ReadHostFile;
using qztest::TestMachine;
namespace fs = std::filesystem;

constexpr char16_t kProbe[] = u"C:\\t\\wsprobe.exe";

class KillPoint : public testing::Test {
 protected:
  void SetUp() override {
    m_.Install("wsprobe", kProbe);
    m_.Enter(u"C:\\Windows\\explorer.exe", 64);
    // This process reads its own (empty) kill point before the variable is set for the child.
    Files().DeleteFileW(u"C:\\no such file");
    ASSERT_TRUE(Files().CreateDirectoryW(u"C:\\w"));
  }
  void TearDown() override {
    unsetenv("WINSIM_KILL_AT");
    unsetenv("WINSIM_KILL_TRACE");
  }
  std::optional<int32_t> RunWith(const std::string& point) {
    setenv("WINSIM_KILL_AT", point.c_str(), 1);
    auto code = m_.Run(std::u16string(kProbe) + u" fileops C:\\w");
    unsetenv("WINSIM_KILL_AT");
    return code;
  }
  std::string Host(const char* name) { return m_.HostPath(u"C:\\w\\" + Utf8ToWide(name)); }
  // "name=content" of every file present, in name order.
  std::string State() {
    std::string out;
    for (const char* n : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
      if (fs::exists(Host(n))) out += std::string(out.empty() ? "" : " ") + n + "=" + ReadHostFile(Host(n));
    }
    return out;
  }
  TestMachine m_{"win10-x64"};
};

TEST_F(KillPoint, EndsTheProcessBeforeTheChosenCallTakesEffect) {
  const struct {
    const char* point;
    int32_t exit;
    const char* state;
  } rows[] = {
      {"CreateFile:1", static_cast<int32_t>(winsim::kKillPointExitCode), ""},
      {"WriteFile:1", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt="},
      {"WriteFile:3", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=12"},
      {"CopyFile:1", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=123"},
      {"MoveFileEx:1", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=123 b.txt=123"},
      {"MoveFileEx:2", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=123 c.txt=123"},
      {"DeleteFile:1", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=123 d.txt=123"},
      // The pattern picks the calls that count: the first move whose source is c.txt.
      {"MoveFileEx:1:C:\\W\\C.*", static_cast<int32_t>(winsim::kKillPointExitCode), "a.txt=123 c.txt=123"},
      {"MoveFileEx:1:*\\d.txt", 0, "d.txt=123"},
      // A point the run never reaches, and malformed points, change nothing.
      {"MoveFileEx:3", 0, "d.txt=123"},
      {"MoveFileEx", 0, "d.txt=123"},
      {"MoveFileEx:0", 0, "d.txt=123"},
      {"MoveFileEx:x", 0, "d.txt=123"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.point);
    for (const char* n : {"a.txt", "b.txt", "c.txt", "d.txt"}) fs::remove(Host(n));
    EXPECT_EQ(RunWith(r.point), r.exit);
    EXPECT_EQ(State(), r.state);
  }
}

TEST_F(KillPoint, TheKilledProcessHoldsNoHandles) {
  // Killed while a.txt is open without sharing: the file can be opened for writing at once.
  ASSERT_EQ(RunWith("WriteFile:2"), static_cast<int32_t>(winsim::kKillPointExitCode));
  HANDLE h = Files().CreateFileW(u"C:\\w\\a.txt", GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

TEST_F(KillPoint, TheTraceListsEveryCountedCallWithItsProgramAndFile) {
  const std::string trace = m_.root() + "/kill-trace.txt";
  setenv("WINSIM_KILL_TRACE", trace.c_str(), 1);
  // Passed on through a parent, like the point itself: only the child does file work.
  EXPECT_EQ(m_.Run(std::u16string(kProbe) + u" spawn " + kProbe + u" fileops C:\\w"), 0);
  unsetenv("WINSIM_KILL_TRACE");
  EXPECT_EQ(ReadHostFile(trace),
            "wsprobe.exe\tCreateFile\tC:\\w\\a.txt\n"
            "wsprobe.exe\tWriteFile\tC:\\w\\a.txt\n"
            "wsprobe.exe\tWriteFile\tC:\\w\\a.txt\n"
            "wsprobe.exe\tWriteFile\tC:\\w\\a.txt\n"
            "wsprobe.exe\tCopyFile\tC:\\w\\b.txt\n"
            "wsprobe.exe\tMoveFileEx\tC:\\w\\b.txt\n"
            "wsprobe.exe\tMoveFileEx\tC:\\w\\c.txt\n"
            "wsprobe.exe\tDeleteFile\tC:\\w\\a.txt\n");
}

}  // namespace
