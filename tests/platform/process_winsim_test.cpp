// Processes of a simulated machine, with real programs: exit codes, the snapshot, share modes
// across processes, the exact command line and what WOW64 gives a 32-bit program. The cases
// Windows answers the same way are in process_test.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/winsim/process_internal.h"
#include "platform/winsim/services.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kProbe[] = u"C:\\t\\wsprobe.exe";

HANDLE Start(std::u16string_view cmd) {
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  if (!Processes().CreateProcessW(u"", cmd, 0, u"C:\\", si, &pi)) return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Waits (bounded) until cond holds: another process needs a moment to reach its state.
template <class F>
bool Eventually(F cond) {
  for (int i = 0; i < 1000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

TEST(Processes, ThirtyTwoBitExitCodesReachEveryWaiter) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", kProbe);
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  for (int32_t code : {0, 1, -1, -13001, -999, 0x7FFFFFFF, static_cast<int32_t>(0x80000000u), 259}) {
    SCOPED_TRACE(code);
    std::u16string c = Utf8ToWide(std::to_string(code));
    // The test is the parent; wsprobe "spawn" is a parent that reads its own child's code.
    EXPECT_EQ(m.Run(std::u16string(kProbe) + u" exit " + c), code);
    EXPECT_EQ(m.Run(std::u16string(kProbe) + u" spawn " + kProbe + u" exit " + c), code);
  }
  std::string out = qztest::RunWinsim({"run", m.root(), "--", "C:\\t\\wsprobe.exe exit -13001"});
  EXPECT_EQ(out, "-13001\n");
}

// As a restart does, a machine that goes ends its programs: the one the test started and the one
// that program started in turn, so none keeps the machine's endpoint names.
TEST(Processes, ATestMachineEndsItsProcessesWhenItGoes) {
  std::vector<winsim::LiveProcess> started;
  DWORD child = 0;
  {
    TestMachine m("win10-x64");
    m.Install("wsprobe", kProbe);
    Platform& p = m.Enter(u"C:\\Windows\\explorer.exe", 64);
    HANDLE h = Start(std::u16string(kProbe) + u" spawn " + kProbe + u" sleep 600000");
    ASSERT_NE(h, nullptr);
    child = Processes().GetProcessId(h);
    CloseHandle(h);
    auto& machine = dynamic_cast<winsim::WinsimPlatform&>(p).machine();
    auto programs = [&] {
      std::vector<winsim::LiveProcess> out;
      for (auto& l : winsim::ListLiveProcesses(machine)) {
        if (l.pid != getpid()) out.push_back(l);
      }
      return out;
    };
    EXPECT_TRUE(Eventually([&] { return programs().size() == 2; }));
    started = programs();
  }
  ASSERT_FALSE(started.empty());
  for (const auto& l : started) {
    const bool alive = winsim::ProcessStartTime(l.pid) == l.start;
    EXPECT_FALSE(alive) << WideToUtf8(l.image) << " " << l.pid;
    if (alive) kill(l.pid, SIGKILL);
  }
  // The test's own child is reaped here; it has ended, so this does not block.
  EXPECT_EQ(waitpid(static_cast<pid_t>(child), nullptr, 0), static_cast<pid_t>(child));
}

TEST(Processes, SnapshotKeepsTheImageNameOfCreationAndTheRunningFileIsProtected) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", u"C:\\t\\qzUpdater.exe");
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  HANDLE child = Start(u"C:\\t\\qzUpdater.exe sleep 600000");
  ASSERT_NE(child, nullptr);
  auto names = [] {
    std::vector<PROCESSENTRY32W> e;
    EXPECT_TRUE(Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &e));
    return e;
  };
  auto snap = names();
  ASSERT_GE(snap.size(), 2u);
  EXPECT_EQ(snap[0].th32ProcessID, 0u);
  auto count = [&](std::u16string_view n) {
    int c = 0;
    for (const auto& e : names()) c += EqualsNoCase(e.szExeFile, n);
    return c;
  };
  EXPECT_EQ(count(u"qzUpdater.exe"), 1);
  // A running program's file cannot be deleted, but it can be renamed, and the process keeps its name.
  EXPECT_FALSE(Files().DeleteFileW(u"C:\\t\\qzUpdater.exe"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Files().MoveFileW(u"C:\\t\\qzUpdater.exe", u"C:\\t\\old.exe"));
  EXPECT_FALSE(Files().DeleteFileW(u"C:\\t\\old.exe"));
  EXPECT_EQ(count(u"qzUpdater.exe"), 1);

  // Another machine sees none of it.
  TestMachine other("win10-x64");
  {
    winsim::ProcessIdentity id;
    id.imagePath = u"C:\\Windows\\explorer.exe";
    auto p = winsim::OpenPlatform(other.root(), id);
    std::vector<PROCESSENTRY32W> e;
    EXPECT_TRUE(p->Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &e));
    EXPECT_EQ(e.size(), 1u);
  }

  Processes().TerminateProcess(child, 0);
  Time().WaitForSingleObject(child, INFINITE);
  CloseHandle(child);
  EXPECT_EQ(count(u"qzUpdater.exe"), 0);
  EXPECT_TRUE(Files().DeleteFileW(u"C:\\t\\old.exe"));
}

TEST(Processes, AFileHeldWithoutDeleteSharingByAnotherProcess) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", kProbe);
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  HANDLE holder = Start(std::u16string(kProbe) + u" hold C:\\t\\held.txt 600000");
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(Eventually([] {
    return !Files().DeleteFileW(u"C:\\t\\held.txt") && GetLastError() == ERROR_SHARING_VIOLATION;
  }));
  EXPECT_FALSE(Files().MoveFileW(u"C:\\t\\held.txt", u"C:\\t\\moved.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  Processes().TerminateProcess(holder, 1);
  Time().WaitForSingleObject(holder, INFINITE);
  CloseHandle(holder);
  // The dead process's handles are gone with it.
  EXPECT_TRUE(Files().DeleteFileW(u"C:\\t\\held.txt"));
}

TEST(Processes, CommandLineIsExactlyWhatTheCreatorPassed) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", kProbe);
  for (std::string cl : {"C:\\t\\wsprobe.exe cmdline", "\"C:\\t\\wsprobe.exe\"   cmdline  \"a b\" c\\\\\"d  ",
                         "c:\\T\\WSPROBE.EXE cmdline"}) {
    SCOPED_TRACE(cl);
    std::string out = qztest::RunWinsim({"run", m.root(), "--", cl});
    EXPECT_EQ(out, "[" + cl + "]\n0\n");
  }
}

TEST(Processes, Wow64GivesAThirtyTwoBitProgramItsOwnView) {
  struct Row {
    const char* profile;
    const char* programFiles;
    const char* wow64;
  };
  for (const Row& r : {Row{"win10-x64", "C:\\Program Files (x86)", "yes"}, Row{"win10", "C:\\Program Files", "no"},
                       Row{"winxp-sp3", "C:\\Program Files", "no"}}) {
    SCOPED_TRACE(r.profile);
    TestMachine m(r.profile);
    m.Install("wsprobe", kProbe);
    std::string out = qztest::RunWinsim({"run", m.root(), "--cwd", "C:\\t", "--", "C:\\t\\wsprobe.exe facts"});
    EXPECT_NE(out.find(std::string("ProgramFiles: ") + r.programFiles + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("wow64: ") + r.wow64 + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("module: C:\\t\\wsprobe.exe\n"), std::string::npos) << out;
    EXPECT_NE(out.find("cwd: C:\\t\n"), std::string::npos) << out;
  }
}

}  // namespace
