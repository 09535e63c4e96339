// cmd.exe of a simulated machine: "/c COMMAND LINE" runs one command line and ends with its exit
// code. Built in: echo and exit; anything else is a program found as CreateProcess finds it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"

using namespace win;

namespace {

std::u16string TrimLeft(std::u16string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == u' ' || s[i] == u'\t')) ++i;
  return std::u16string(s.substr(i));
}

int RunLine(const std::u16string& line) {
  std::u16string text = TrimLeft(line);
  if (text.empty()) return 0;
  auto argv = CommandLineToArgv(text);
  std::u16string verb = argv.empty() ? u"" : FoldCase(argv[0]);
  if (verb == u"ECHO") {
    std::printf("%s\n", WideToUtf8(TrimLeft(text.substr(4))).c_str());
    return 0;
  }
  if (verb == u"EXIT") {
    size_t i = 1;
    if (i < argv.size() && EqualsNoCase(argv[i], u"/b")) ++i;
    return i < argv.size() ? static_cast<int>(std::strtol(WideToUtf8(argv[i]).c_str(), nullptr, 10)) : 0;
  }
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  if (!Processes().CreateProcessW(u"", text, 0, u"", si, &pi)) {
    std::printf("'%s' is not recognized as an internal or external command,\noperable program or batch file.\n",
                WideToUtf8(argv.empty() ? text : argv[0]).c_str());
    return 9009;
  }
  Time().WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  Processes().GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return static_cast<int>(code);
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, char16_t* cmdLine, int) {
  std::u16string args = TrimLeft(cmdLine);
  if (args.size() >= 2 && args[0] == u'/' && (args[1] == u'c' || args[1] == u'C')) {
    std::u16string rest = args.substr(2);
    // cmd strips one pair of quotes around the whole command when it starts with a quote.
    std::u16string line = TrimLeft(rest);
    if (line.size() >= 2 && line.front() == u'"' && line.back() == u'"' &&
        line.find(u'"', 1) != line.size() - 1) {
      // Several quoted parts: keep them as they are.
    } else if (line.size() >= 2 && line.front() == u'"' && line.back() == u'"') {
      line = line.substr(1, line.size() - 2);
    }
    std::fflush(stdout);
    return RunLine(line);
  }
  std::printf("Microsoft Windows (winsim)\n");
  return 0;
}
