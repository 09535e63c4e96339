// The install window: the installer's picture window with its Install and Done buttons, status
// picture and line, logo or company name, the animation while the worker runs, and its message
// loop.
#pragma once

#include <functional>

#include "installer/install_state.h"
#include "platform/types.h"

namespace qz {

struct InstallWindowOptions {
  // The program's own module, where the pictures, icons and dialog come from.
  win::HINSTANCE instance = nullptr;
  // The install worker; RunInstallWorker when empty.
  std::function<int(InstallerState&)> worker;
  // Ends the process after the automatic close; the platform's ExitProcess when empty.
  std::function<void(win::UINT)> exitProcess;
  // Told the window handle once the dialog exists, before the message loop starts.
  std::function<void(win::HWND)> created;
};

// The window was closed before any install started.
inline constexpr int kInstallWindowCancelled = 2;

// Creates the install window from dialog 129 and runs the message loop until it is destroyed;
// 0 then, once the install worker has ended, or kInstallWindowCancelled when none was started. 1
// when the dialog could not be created (no loop).
int RunInstallWindow(InstallerState& state, const InstallWindowOptions& options = {});

}  // namespace qz
