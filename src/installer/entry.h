// The installer's start-up: single-instance test, preparation, the flow of its build mode,
// the end after the preparation and the Windows version gate.
#pragma once

#include "platform/types.h"

namespace qz {

// Shown in text 303 when the install window cannot be created (its dialog template's id).
inline constexpr int kInstallWindowMissing = 129;

// Exit code when the install window was closed before the install started.
inline constexpr int kExitCancelled = 2;

// The process's exit code: 0 after the install window was closed once the install ran, 2 when it
// was closed before, 1 after every other end.
int InstallerMain(win::HINSTANCE instance);

}  // namespace qz
