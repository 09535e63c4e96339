// Moving the prepared files of the module folder into the install folder: each replaced file is
// first kept as "<name>.r<build>", the backups go once everything is in place and come back when a
// move fails. Also the clean-up of earlier downloads in the module folder.
#pragma once

#include <cstdint>
#include <string_view>

#include "updater/run.h"

namespace qz {

// True when everything in the module folder was installed (or there was nothing to install).
bool InstallAgentModules(UpdaterRun& u, uint32_t build);
void DeleteBackupFile(UpdaterRun& u, uint32_t build);
void ResotreAgentModules(UpdaterRun& u, uint32_t build);
// Deletes what matches the wildcard pattern in the module folder.
void DeleteDownloadesAgentFile(UpdaterRun& u, std::u16string_view pattern);

}  // namespace qz
