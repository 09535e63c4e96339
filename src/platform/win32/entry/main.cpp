// Process start on Windows: sets up the platform and calls the program's own wWinMain.
// <windows.h> stays out of this file: its declaration of wWinMain would clash with the program's.
//
// The program's wWinMain (platform/entry.h) gets C linkage from the compiler, like main, and the
// plain C calling convention. On i686 the run-time's wWinMain is _wWinMain@16 (the Windows calling
// convention), a symbol of its own, defined here. On x86_64 both are the same symbol, so there is
// no second wWinMain. On both, this file's wmain is what a -municode run-time starts: the run-time
// startup asks for wmain before any library is searched, so this file is linked even from a static
// library (the run-time's own wmain, which would ask for _wWinMain@16 only after the libraries were
// searched, is then not needed; without this, ld's stdcall fix-up would bind the run-time straight
// to the program's wWinMain, with no platform and the wrong calling convention).
#include <cstdio>
#include <exception>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/win32/services.h"

namespace {

int Run(win::HINSTANCE instance, int show) {
  // Lives until the process ends: other threads may still use services while it exits.
  auto* platform = new win32::Win32Platform();
  win::Platform::SetCurrent(platform);
  std::u16string args = win::CommandLineArguments(win::Processes().GetCommandLineW());
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

extern "C" char __ImageBase;                        // the linker's name for the program's image: its HINSTANCE
extern "C" unsigned long __mingw_winmain_nShowCmd;  // the run-time's reading of the start-up info

#if defined(__i386__)

int __attribute__((stdcall)) RunTimeEntry(void* instance, void* previous, wchar_t* cmdLine, int show)
    __asm__("_wWinMain@16");

int __attribute__((stdcall)) RunTimeEntry(void* instance, void*, wchar_t*, int show) {
  return Run(static_cast<win::HINSTANCE>(instance), show);
}

// As the run-time's own wmain does: the Windows wWinMain with the run-time's values.
int wmain(int, wchar_t**) {
  return RunTimeEntry(&__ImageBase, nullptr, nullptr, static_cast<int>(__mingw_winmain_nShowCmd));
}

#else

int wmain(int, wchar_t**) {
  return Run(reinterpret_cast<win::HINSTANCE>(&__ImageBase), static_cast<int>(__mingw_winmain_nShowCmd));
}

#endif
