// Processes as Windows answers for them, on whichever backend the test program is built for:
// 32-bit exit codes through cmd.exe's exit, a process another handle opened and ended, the
// snapshot's entries, ShellExecuteExW's process handle and the errors of a program that is not
// there. What only a simulated machine shows is in process_winsim_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/conformance_host.h"
#include "support/wine_differences.h"

namespace {

using namespace win;
using qztest::ConformanceHost;

struct Started {
  HANDLE process = nullptr;
  DWORD pid = 0;
};

Started Start(std::u16string_view cmd) {
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  if (!Processes().CreateProcessW(u"", cmd, 0, u"", si, &pi)) return {};
  CloseHandle(pi.hThread);
  return {pi.hProcess, pi.dwProcessId};
}

DWORD WaitForCode(HANDLE process) {
  EXPECT_EQ(Time().WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(Processes().GetExitCodeProcess(process, &code));
  return code;
}

TEST(ProcessesConformance, ExitCodesKeepAllThirtyTwoBits) {
  ConformanceHost host;
  for (int32_t code : {0, 1, -1, -13001, -999, 0x7FFFFFFF, static_cast<int32_t>(0x80000000u)}) {
    SCOPED_TRACE(code);
    Started child = Start(u"cmd.exe /c exit " + Utf8ToWide(std::to_string(code)));
    ASSERT_NE(child.process, nullptr) << GetLastError();
    EXPECT_EQ(Processes().GetProcessId(child.process), child.pid);
    EXPECT_EQ(static_cast<int32_t>(WaitForCode(child.process)), code);
    // The code stays readable for as long as a handle is open.
    DWORD again = 0;
    EXPECT_TRUE(Processes().GetExitCodeProcess(child.process, &again));
    EXPECT_EQ(static_cast<int32_t>(again), code);
    EXPECT_TRUE(CloseHandle(child.process));
  }
}

TEST(ProcessesConformance, NonParentReadsExitCodeAndTerminateRecordsIt) {
  ConformanceHost host;
  Started child = Start(host.LongRunner());
  ASSERT_NE(child.process, nullptr) << GetLastError();
  HANDLE other = Processes().OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, child.pid);
  ASSERT_NE(other, nullptr) << GetLastError();
  EXPECT_EQ(Processes().GetProcessId(other), child.pid);
  DWORD code = 0;
  EXPECT_TRUE(Processes().GetExitCodeProcess(other, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(Time().WaitForSingleObject(other, 0), WAIT_TIMEOUT);

  // A handle without the right to end the process cannot end it.
  HANDLE weak = Processes().OpenProcess(SYNCHRONIZE, FALSE, child.pid);
  ASSERT_NE(weak, nullptr) << GetLastError();
  EXPECT_FALSE(Processes().TerminateProcess(weak, 1));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Time().WaitForSingleObject(child.process, 0), WAIT_TIMEOUT);
  CloseHandle(weak);

  EXPECT_TRUE(Processes().TerminateProcess(other, 0xC0DE1234u));
  EXPECT_EQ(WaitForCode(child.process), 0xC0DE1234u);
  EXPECT_EQ(WaitForCode(other), 0xC0DE1234u);
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_TRUE(CloseHandle(child.process));
}

TEST(ProcessesConformance, SnapshotStartsWithTheIdleProcessAndListsARunningProgram) {
  ConformanceHost host;
  Started child = Start(host.LongRunner());
  ASSERT_NE(child.process, nullptr) << GetLastError();
  std::vector<PROCESSENTRY32W> entries;
  ASSERT_TRUE(Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries)) << GetLastError();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].th32ProcessID == 0, qztest::Expected(qztest::WineDifference::SnapshotListsIdleProcess) != 0);
  const PROCESSENTRY32W* found = nullptr;
  for (const auto& e : entries) {
    if (e.th32ProcessID == child.pid) found = &e;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(EqualsNoCase(found->szExeFile, host.LongRunnerImage())) << WideToUtf8(found->szExeFile);
  EXPECT_EQ(found->th32ParentProcessID, Processes().GetCurrentProcessId());

  HANDLE h = Processes().OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child.pid);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(Processes().TerminateProcess(h, 0));
  EXPECT_EQ(Time().WaitForSingleObject(child.process, INFINITE), WAIT_OBJECT_0);
  CloseHandle(h);
  CloseHandle(child.process);
  ASSERT_TRUE(Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries));
  for (const auto& e : entries) EXPECT_NE(e.th32ProcessID, child.pid) << "an ended process is listed";
}

TEST(ProcessesConformance, ShellExecuteHandsBackTheProcessWhenAsked) {
  ConformanceHost host;
  SHELLEXECUTEINFOW info;
  info.cbSize = 60;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
  info.lpVerb = u"open";
  info.lpFile = u"cmd.exe";
  info.lpParameters = u"/c exit 7";
  info.nShow = SW_HIDE;
  ASSERT_TRUE(Processes().ShellExecuteExW(&info)) << GetLastError();
  EXPECT_GT(reinterpret_cast<uintptr_t>(info.hInstApp), 32u);
  ASSERT_NE(info.hProcess, nullptr);
  EXPECT_EQ(WaitForCode(info.hProcess), 7u);
  CloseHandle(info.hProcess);
}

TEST(ProcessesConformance, AProgramThatIsNotThereIsFileNotFound) {
  ConformanceHost host;
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  for (std::u16string cmd : {u"qz-no-such-program.exe", u"qz-no-such-program --flag", u"\"qz no such program.exe\" a"}) {
    SCOPED_TRACE(WideToUtf8(cmd));
    SetLastError(0);
    EXPECT_FALSE(Processes().CreateProcessW(u"", cmd, 0, u"", si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(Processes().OpenProcess(PROCESS_TERMINATE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ProcessesConformance, DuplicatedProcessHandleWaitsForTheSameProcess) {
  ConformanceHost host;
  Started child = Start(host.LongRunner());
  ASSERT_NE(child.process, nullptr) << GetLastError();
  HANDLE copy = nullptr;
  ASSERT_TRUE(Processes().DuplicateHandle(GetCurrentProcess(), child.process, GetCurrentProcess(), &copy, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS))
      << GetLastError();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, child.process);
  EXPECT_TRUE(Processes().TerminateProcess(copy, 42));
  EXPECT_TRUE(CloseHandle(copy));
  EXPECT_EQ(WaitForCode(child.process), 42u);
  CloseHandle(child.process);
}

}  // namespace
