// Moving the prepared files of the module folder into the install folder: each replaced (or
// retired) file is first kept as "<name>.r<build>", the backups go once everything is in place and
// come back when a move fails. A journal in the install folder records the steps before the first
// move, so that the next run finishes or undoes an installation that was cut short. Also the
// clean-up of earlier downloads in the module folder.
#pragma once

#include <cstdint>
#include <string_view>

#include "updater/run.h"

namespace qz {

// Installs what the run's plan names from the module folder (a prepared file whose SHA-256 is not
// the plan's is dropped, as is anything the plan does not name) and retires the plan's removals.
// True when everything was installed (or there was nothing to install).
bool InstallAgentModules(UpdaterRun& u, uint32_t build);
void DeleteBackupFile(UpdaterRun& u, uint32_t build);
void ResotreAgentModules(UpdaterRun& u, uint32_t build);
// Deletes what matches the wildcard pattern in the module folder.
void DeleteDownloadesAgentFile(UpdaterRun& u, std::u16string_view pattern);

// Start-up recovery, before the run does anything else with the agent's files: an installation
// that a journal shows cut short is completed when every new file is at hand and verified, else
// rolled back to the previous build; then backups and prepared files that belong to no pending
// installation are cleared (partial downloads stay for the download to resume).
void RecoverInterruptedInstall(UpdaterRun& u);

// The SHA-256 of the module folder's file name, as DigestFile gives it. The install step then takes
// that file without reading it again, as long as its size and write time are still those it had
// before it was read.
bool DigestPreparedFile(UpdaterRun& u, std::u16string_view name, Digest* digest);

// "<name>.r<digits>": a backup the install step made.
bool IsBackupName(std::u16string_view name);

}  // namespace qz
