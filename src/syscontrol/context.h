// What the system-control work needs from the program that runs it.
#pragma once

#include <functional>
#include <string>

#include "config/reg_key.h"
#include "logging/ilogger.h"
#include "platform/platform.h"
#include "syscontrol/agent_ipc.h"

namespace qz {

// Reads the install folder from the open Common key (the sealed store's reader: the sealed
// value, or the default folder when it is empty); false when the value cannot be read.
using InstallFolderReader = std::function<bool(const CommonRegKey& common, std::u16string* folder)>;

struct SysContext {
  ILogger* logger = nullptr;
  // Absent in install mode: every remote call then takes the exception path.
  const AgentBindings* bindings = nullptr;
  InstallFolderReader readInstallFolder;
};

}  // namespace qz
