// qzUpdater's entry: the command-line grammar, the single-instance test, the OS gate and the
// dispatch to each mode's work.
#pragma once

#include <string>
#include <string_view>

#include "protocol/os_identity.h"

namespace qz {

enum class UpdaterMode { Install, Uninstall, Expunge, Stop, DriverStop, Restart, ServiceCheck, Update };

struct UpdaterCommand {
  UpdaterMode mode = UpdaterMode::Update;
  bool install = false;  // "--install" anywhere in the text
  bool uninstall = false;
  bool expunge = false;
  bool restart = true;  // unless the whole text is exactly "--update"
};

// The text after the program's name, tested as a whole and case-sensitively.
UpdaterCommand ParseUpdaterCommand(std::u16string_view text);

// More than one process named qzUpdater.exe (this one included) on the machine.
bool IsAnotherUpdaterRunning();

// Install mode refuses unknown systems, XP before SP3 and Server 2003 before SP2.
bool IsOsRefusedForInstall(const OsInformation& os);

// Exit codes of a run.
constexpr int kExitDone = 0;
constexpr int kExitAnotherUpdater = -1;
constexpr int kExitPrepareFailed = -3;
constexpr int kExitInformalSwPolicy = -4;
constexpr int kExitBackupGuid = -5;
constexpr int kExitCertificates = -6;
constexpr int kExitOsRefused = -999;
// -10000 minus Initialize's result: -10001 (no log), -13001..-13006 (site settings).
constexpr int kExitInitializeBase = -10000;

int UpdaterMain(std::u16string_view commandText);

}  // namespace qz
