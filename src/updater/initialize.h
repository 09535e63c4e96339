// Each mode's initialisation: PrepareInstall for install mode, Initialize for the others.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/agent_query.h"
#include "updater/run.h"

namespace qz {

// Install mode, before the agent's tree is deleted: whether the setup folder's server.cfg reads
// as a configuration. When it does not, the reason is logged in the default install folder's log,
// which is left open.
bool CheckInstallConfig(UpdaterRun& u);

// Install mode, after the agent's tree was deleted: builds the tree, opens the log in the install
// folder and mirrors the setup folder's server.cfg into the registry and the stored server.cfg.
bool PrepareInstall(UpdaterRun& u);

// Every other mode: 0, 3001..3006 (the site settings could not be read) or 1 (no log).
int Initialize(UpdaterRun& u);

// The web query with the logger, its certificate hook and the management server.
bool SetUpServerSession(UpdaterRun& u);

}  // namespace qz
