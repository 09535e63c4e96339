// The agent's registry tree under HKEY_LOCAL_MACHINE and the helpers both programs use on it:
// the key tree, the installer's outcome, the start-up read of the site settings, the removal of
// the tree and the clean-up of outdated InformalSw policies.
#pragma once

#include <string>

#include "config/config_context.h"
#include "config/reg_key.h"
#include "config/registry_keys.h"
#include "platform/types.h"

namespace qz {

inline constexpr char16_t kDefaultInstallFolder[] = u"%ProgramFiles%\\varnholt\\KSM";
std::u16string DefaultInstallFolder();

// Builds the product tree with Product and hands back the open Common key. 0, or the step that
// failed: 1 product key, 2 Product, 3..8 Client, Font, Patch, Current\InformalSw,
// Policy\InformalSw, Agent, 9 Common.
int CreateKeyTree(CommonRegKey* common);

// Install\value01 (REG_SZ with its terminator). False when the key does not open or text is null.
bool WriteInstallerOutcome(const char16_t* text);

// Start of every updater mode but install: 0, or 1 (Common does not open), 2 (no install folder
// while a serial is registered), 3 (neither), 4 (server), 5 (HTTP port), 6 (HTTPS port).
int ReadSiteSettings(ConfigContext& ctx);

// SHDeleteKeyW of the product tree under root (HKEY_LOCAL_MACHINE, or a user's hive); its result.
win::LONG DeleteProductTree(win::HKEY root);

// Deletes Policy\InformalSw when one of its subkeys has no slot01. False only when that deletion fails.
bool CleanInformalSwPolicy();

}  // namespace qz
