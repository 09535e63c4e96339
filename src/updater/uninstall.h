// Removing the agent: the uninstall mode ("--uninstall", or "--makeExpunge_byagent" when the agent
// asks for its own removal), the registry and folder clean-up it runs, the folder deletions that
// end the install and uninstall modes, and the start of a legacy product's uninstaller.
#pragma once

#include <cstdint>
#include <string_view>

#include "updater/run.h"

namespace qz {

inline constexpr char16_t kUninstallFolderTemplate[] = u"%SystemDrive%\\5985b9ffb5ac4b2b9ff13f56a66435db";
inline constexpr char16_t kAssistantFolderTemplate[] = u"%AppData%\\varnholt\\KSM";
inline constexpr char16_t kOrletUninstaller[] = u"OrletUninstaller_Win.exe";
inline constexpr char16_t kPostPlatformKey[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\5.0\\User Agent\\Post Platform";
// Windows XP and Server 2003 of either processor width.
inline constexpr uint32_t kOsMaskXpOr2003 = 0x01010101u;

// The uninstall mode's work after the run's initialisation; the run's exit code (always 0: every
// failure is logged and the next step runs).
int RunUninstallMode(UpdaterRun& u);

// Menu entries, processes, service, media blocks, drivers, registry and folders.
void UninstallAgent(UpdaterRun& u);
void RemoveAgentRegistry(UpdaterRun& u);
// On XP and Server 2003: the first "Q-T$" value of the browser's Post Platform key.
void RemovePostPlatformMark(UpdaterRun& u);

// Deletes a folder with everything in it; what cannot be deleted now (files in use, the folder
// itself) is scheduled for deletion at the next restart. listFailure is the result when the folder
// cannot be listed (true for subfolders, so one that vanished counts as deleted). False when an
// entry could be neither deleted nor scheduled; the last error then tells why.
bool DeleteFolderTree(UpdaterRun& u, std::u16string_view path, bool listFailure);

// End of install mode: the setup folder the updater ran from (its own file goes at the restart).
void RemoveSetupFolder(UpdaterRun& u);
// End of uninstall mode, when that folder exists.
void RemoveUninstallFolder(UpdaterRun& u);

// Starts folder\OrletUninstaller_Win.exe, when it is there, without waiting for it.
void RunOrletUninstallerIfPossible(UpdaterRun& u, std::u16string_view folder);

}  // namespace qz
