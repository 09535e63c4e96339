// The agent's identity: its GUID (Common\value08, backed up under SYSTEM so that it survives an
// uninstall) and its client ID (sealed Common\value01).
#pragma once

#include <string>
#include <string_view>

#include "config/config_context.h"
#include "platform/types.h"

namespace qz {

inline constexpr size_t kAgentGuidLength = 32;
// Stands for a GUID that could not be made.
inline constexpr char kZeroAgentGuid[] = "00000000000000000000000000000000";

// Data1..Data3 in lower-case hex, the eight bytes of Data4 in upper case.
std::string FormatAgentGuid(const win::GUID& guid);
bool IsZeroAgentGuid(std::string_view guid);

// Updater: value08, else the backup, else a new GUID (written to both); sets ctx.settings.agentGuid.
void GetAgentGUID(ConfigContext& ctx);
// Updater, every mode but install: makes sure the backup exists. False only when it is missing and
// cannot be written.
bool EnsureBackupGuid(ConfigContext& ctx);
// Stores 0 as the client ID.
bool SetClientID(ConfigContext& ctx);

// Installer, after the registry tree is written: keeps an existing backup and value08 as they are,
// else makes a GUID and writes it to both.
void InstallerGuidStep();

}  // namespace qz
