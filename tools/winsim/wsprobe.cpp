// wsprobe: a small program of a simulated machine that tests and people use to look at what a
// process sees and to play a process that exits, waits or holds a file.
//   exit N            end with exit code N (any 32-bit value)
//   sleep MS          pause (through the machine's clock and time scale)
//   hold WINPATH MS   keep a file open without delete sharing for MS milliseconds
//   spawn CMDLINE     start a program, wait, print "child exit: N" and end with the same code
//   cmdline           print the command line between brackets
//   facts             print what this process sees: bitness, WOW64, environment, module path
//   fileops WINDIR    in WINDIR: create a.txt, write "1" "2" "3" in three calls (the file held without
//                     sharing), copy it to b.txt, move b.txt to c.txt, c.txt to d.txt, delete a.txt
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"

using namespace win;

namespace {
void Print(const std::u16string& s) { std::printf("%s\n", WideToUtf8(s).c_str()); }
}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  std::u16string args = cmdLine;
  auto argv = CommandLineToArgv(u"wsprobe " + args);
  if (argv.size() < 2) return 2;
  const std::u16string& verb = argv[1];
  if (verb == u"exit" && argv.size() > 2) {
    return static_cast<int>(std::strtoll(WideToUtf8(argv[2]).c_str(), nullptr, 0));
  }
  if (verb == u"sleep" && argv.size() > 2) {
    Time().Sleep(static_cast<DWORD>(std::strtoul(WideToUtf8(argv[2]).c_str(), nullptr, 10)));
    return 0;
  }
  if (verb == u"hold" && argv.size() > 3) {
    HANDLE h = Files().CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, 0);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    std::printf("holding\n");
    std::fflush(stdout);
    Time().Sleep(static_cast<DWORD>(std::strtoul(WideToUtf8(argv[3]).c_str(), nullptr, 10)));
    CloseHandle(h);
    return 0;
  }
  if (verb == u"spawn" && argv.size() > 2) {
    size_t at = args.find(u"spawn") + 5;
    while (at < args.size() && args[at] == u' ') ++at;
    PROCESS_INFORMATION pi;
    STARTUPINFOW si;
    if (!Processes().CreateProcessW(u"", args.substr(at), 0, u"", si, &pi)) return static_cast<int>(GetLastError());
    Time().WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    Processes().GetExitCodeProcess(pi.hProcess, &code);
    std::printf("child exit: %d\n", static_cast<int32_t>(code));
    return static_cast<int>(code);
  }
  if (verb == u"cmdline") {
    Print(u"[" + Processes().GetCommandLineW() + u"]");
    return 0;
  }
  if (verb == u"fileops" && argv.size() > 2) {
    const std::u16string dir = argv[2] + u"\\";
    HANDLE h = Files().CreateFileW(dir + u"a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    for (const char* part : {"1", "2", "3"}) {
      DWORD written = 0;
      if (!Files().WriteFile(h, part, 1, &written)) return static_cast<int>(GetLastError());
    }
    CloseHandle(h);
    if (!Files().CopyFileW(dir + u"a.txt", dir + u"b.txt", FALSE) ||
        !Files().MoveFileExW(dir + u"b.txt", dir + u"c.txt", 0) ||
        !Files().MoveFileExW(dir + u"c.txt", dir + u"d.txt", 0) || !Files().DeleteFileW(dir + u"a.txt")) {
      return static_cast<int>(GetLastError());
    }
    return 0;
  }
  if (verb == u"facts") {
    BOOL wow = FALSE;
    Os().IsWow64Process(&wow);
    Print(u"module: " + Files().GetModuleFileNameW());
    Print(u"wow64: " + std::u16string(wow ? u"yes" : u"no"));
    Print(u"ProgramFiles: " + Files().ExpandEnvironmentStringsW(u"%ProgramFiles%"));
    Print(u"cwd: " + Files().GetCurrentDirectoryW());
    return 0;
  }
  return 2;
}
