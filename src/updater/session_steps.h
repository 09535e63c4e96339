// The install and update modes' server steps before their module work.
#pragma once

#include "updater/context.h"

namespace qz {

// Binds the session, asks for temporary web usage (install mode), queries the server settings and
// starts the alive cycle (update mode). Failures are logged; none stops the run.
void RunServerSessionSteps(UpdaterContext& u);

}  // namespace qz
