// A child process writing its output into an anonymous pipe: the program it runs is installed on a
// simulated machine.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kProbe[] = u"C:\\t\\wsprobe.exe";

// Starts cmd with its output into a pipe (write end inheritable or not) and reads until the end.
std::string RunCapturing(std::u16string_view cmd, bool inheritable, DWORD* lastError) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(Files().CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  HANDLE out = nullptr;
  EXPECT_TRUE(Processes().DuplicateHandle(GetCurrentProcess(), writeEnd, GetCurrentProcess(), &out, 0,
                                          inheritable ? TRUE : FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
  STARTUPINFOW si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi;
  EXPECT_TRUE(Processes().CreateProcessW(u"", cmd, CREATE_NO_WINDOW, u"C:\\", si, &pi));
  CloseHandle(out);
  std::string output;
  char piece[7];
  DWORD got = 0;
  while (Files().ReadFile(readEnd, piece, sizeof piece, &got)) output.append(piece, got);
  *lastError = GetLastError();
  CloseHandle(readEnd);
  Time().WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return output;
}

TEST(Pipes, ChildWritesIntoAnInheritedWriteEndOnly) {
  TestMachine m("win10-x64");
  m.Install("wsprobe", kProbe);
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  const std::u16string cmd = std::u16string(kProbe) + u" cmdline";
  DWORD err = 0;
  EXPECT_EQ(RunCapturing(cmd, true, &err), "[" + WideToUtf8(cmd) + "]\n");
  EXPECT_EQ(err, ERROR_BROKEN_PIPE);
  // A handle that is not inheritable never reaches the child: the pipe ends with nothing in it.
  EXPECT_EQ(RunCapturing(cmd, false, &err), "");
  EXPECT_EQ(err, ERROR_BROKEN_PIPE);
}

}  // namespace
