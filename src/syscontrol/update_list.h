// Showing the installed Windows updates again at uninstall: the per-user policy on Vista and later,
// the grouping policy and the hidden display names on XP and Server 2003; then asking the desktop
// to pick the change up. Log lines: empty tag, level 0.
#pragma once

#include "logging/ilogger.h"

namespace qz {

// Always true.
bool SetEnablePatchUninstallable(ILogger& log);
// Vista and later: NoInstalledUpdates removed for every loaded S-1-5-21- user.
void removeAllUser(ILogger& log);
// XP and Server 2003: DontGroupPatches removed, hidden Microsoft update names restored.
void ShowPatchesXp();
// Always true.
bool RefreshExplorer(ILogger& log);
bool IsWow64();

}  // namespace qz
