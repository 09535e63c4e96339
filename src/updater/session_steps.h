// The install and update modes' server steps before their module work.
#pragma once

#include "updater/run.h"

namespace qz {

// Binds the session, asks for temporary web usage (install mode), opens the certificates (update
// mode), queries the server settings and starts the alive cycle (update mode). False only when the
// certificates cannot be opened; every other failure is logged and the run goes on.
bool RunServerSessionSteps(UpdaterRun& u);

// The install-and-update branch: the server steps, the update mode's certificates, the module work
// and the outcome. The exit code of the run.
int RunInstallAndUpdate(UpdaterRun& u);

}  // namespace qz
