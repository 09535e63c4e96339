// The installer's start-up: single-instance test, preparation, the flow of its build mode,
// the end after the preparation and the Windows version gate.
#pragma once

namespace qz {

// An install build reached the point where its install window would start; this program has none.
inline constexpr int kExitInstallFlowMissing = 3;

// The process's exit code: 1 after every message end, kExitInstallFlowMissing as above.
int InstallerMain();

}  // namespace qz
