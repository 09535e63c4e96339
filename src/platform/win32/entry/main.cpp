// Process start on Windows: sets up the platform and calls the program's own wWinMain.
// <windows.h> stays out of this file: its declaration of wWinMain would clash with the program's.
//
// The program's wWinMain (platform/entry.h) gets C linkage from the compiler, like main, and the
// plain C calling convention. On i686 the run-time calls _wWinMain@16 (the Windows calling
// convention), a symbol of its own, which is defined here. On x86_64 both spellings are the same
// symbol, so the start there is wmain, which a -municode run-time calls before any wWinMain.
#include <cstdio>
#include <exception>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/win32/services.h"

namespace {

// The text after the program's name, as Windows hands it to wWinMain.
std::u16string ArgumentsOf(const std::u16string& cmd) {
  size_t i = 0;
  if (i < cmd.size() && cmd[i] == u'"') {
    size_t end = cmd.find(u'"', 1);
    i = end == std::u16string::npos ? cmd.size() : end + 1;
  } else {
    while (i < cmd.size() && cmd[i] != u' ' && cmd[i] != u'\t') ++i;
  }
  while (i < cmd.size() && (cmd[i] == u' ' || cmd[i] == u'\t')) ++i;
  return cmd.substr(i);
}

int Run(win::HINSTANCE instance, int show) {
  // Lives until the process ends: other threads may still use services while it exits.
  auto* platform = new win32::Win32Platform();
  win::Platform::SetCurrent(platform);
  std::u16string args = ArgumentsOf(win::Processes().GetCommandLineW());
  int rc;
  try {
    rc = wWinMain(instance, nullptr, args.data(), show);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "unhandled exception: %s\n", e.what());
    rc = static_cast<int>(0xE06D7363u);  // what an uncaught C++ exception ends a Windows program with
  }
  win::Processes().ExitProcess(static_cast<win::UINT>(rc));
  return rc;
}

}  // namespace

#if defined(__i386__)

int __attribute__((stdcall)) RunTimeEntry(void* instance, void* previous, wchar_t* cmdLine, int show)
    __asm__("_wWinMain@16");

int __attribute__((stdcall)) RunTimeEntry(void* instance, void*, wchar_t*, int show) {
  return Run(static_cast<win::HINSTANCE>(instance), show);
}

#else

extern "C" char __ImageBase;  // the linker's name for the program's own image, its HINSTANCE

int wmain(int, wchar_t**) {
  constexpr int kShowDefault = 10;  // SW_SHOWDEFAULT: the window shows as the starter asked
  return Run(reinterpret_cast<win::HINSTANCE>(&__ImageBase), kShowDefault);
}

#endif
