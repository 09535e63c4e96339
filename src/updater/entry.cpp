#include "updater/entry.h"

#include <memory>

#include "config/agent_identity.h"
#include "config/registry_layout.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "updater/initialize.h"
#include "updater/install_transaction.h"
#include "updater/messages.h"
#include "updater/run.h"
#include "updater/session_steps.h"
#include "updater/uninstall.h"
#include "syscontrol/agent_stop.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

struct Switch {
  std::u16string_view text;
  UpdaterMode mode;
};
constexpr Switch kSwitches[] = {
    {u"--uninstall", UpdaterMode::Uninstall}, {u"--makeExpunge_byagent", UpdaterMode::Expunge},
    {u"--stopMe", UpdaterMode::Stop},         {u"--stopPrtProc", UpdaterMode::DriverStop},
    {u"--restart", UpdaterMode::Restart},     {u"--chksvc", UpdaterMode::ServiceCheck},
    {u"--update", UpdaterMode::Update},
};

}  // namespace

UpdaterCommand ParseUpdaterCommand(std::u16string_view text) {
  UpdaterCommand c;
  c.install = text.find(u"--install") != std::u16string_view::npos;
  c.restart = text != u"--update";
  if (c.install) {
    c.mode = UpdaterMode::Install;
    return c;
  }
  for (const auto& s : kSwitches) {
    if (text == s.text) {
      c.mode = s.mode;
      break;
    }
  }
  c.uninstall = c.mode == UpdaterMode::Uninstall || c.mode == UpdaterMode::Expunge;
  c.expunge = c.mode == UpdaterMode::Expunge;
  return c;
}

bool IsAnotherUpdaterRunning() {
  std::vector<PROCESSENTRY32W> entries;
  if (!Processes().SnapshotProcesses(TH32CS_SNAPPROCESS, &entries)) return false;
  int count = 0;
  for (const auto& e : entries) {
    if (EqualsNoCase(e.szExeFile, u"qzUpdater.exe")) ++count;
  }
  return count > 1;
}

bool IsOsRefusedForInstall(const OsInformation& os) {
  if (os.osCode == 0) return true;
  if ((os.osCode & kOsMaskXpFamily) && os.servicePack < 3) return true;
  if ((os.osCode & kOsMaskServer2003Family) && os.servicePack < 2) return true;
  return false;
}

int UpdaterMain(std::u16string_view commandText) {
  const UpdaterCommand cmd = ParseUpdaterCommand(commandText);

  if (IsAnotherUpdaterRunning()) {
    if (cmd.install) Ui().MessageBoxW(nullptr, kTextAnotherUpdater, kCaptionAgent, MB_OK);
    return kExitAnotherUpdater;
  }

  UpdaterRun u(cmd);
  IdentifyOs(&u.os);

  if (cmd.install && IsOsRefusedForInstall(u.os)) {
    Ui().MessageBoxW(nullptr, kTextOsRefused, kCaptionAgent, MB_OK);
    return kExitOsRefused;
  }

  if (cmd.install) {
    // The agent's tree goes only once the configuration that rebuilds it is known to read.
    if (!CheckInstallConfig(u)) {
      u.logger->Close();
      Ui().MessageBoxW(nullptr, kTextPrepareFailed, kCaptionError, MB_OK);
      return kExitPrepareFailed;
    }
    // Its result does not matter: PrepareInstall rebuilds the tree either way.
    DeleteProductTree(HKEY_LOCAL_MACHINE);
    if (!PrepareInstall(u)) {
      u.logger->Close();
      Ui().MessageBoxW(nullptr, kTextPrepareFailed, kCaptionError, MB_OK);
      return kExitPrepareFailed;
    }
  } else {
    if (!CleanInformalSwPolicy()) return kExitInformalSwPolicy;
    if (const int r = Initialize(u)) {
      u.logger->Close();
      return kExitInitializeBase - r;
    }
    if (!EnsureBackupGuid(u.config)) {
      u.logger->Close();
      return kExitBackupGuid;
    }
    // Before the server is asked anything: an installation cut short is finished or undone.
    if (cmd.mode == UpdaterMode::Update || cmd.uninstall) RecoverInterruptedInstall(u);
  }

  int exitCode = kExitDone;
  switch (cmd.mode) {
    case UpdaterMode::Stop:
      RunStopMode(u.sys, u.drivers);
      break;
    case UpdaterMode::DriverStop:
      RunDriverStopMode(u.drivers);
      break;
    case UpdaterMode::Restart:
      RunRestartMode(u.sys);
      break;
    case UpdaterMode::ServiceCheck:
      RunServiceCheckMode(u.sys);
      break;
    case UpdaterMode::Install:
    case UpdaterMode::Update:
      exitCode = RunInstallAndUpdate(u);
      break;
    case UpdaterMode::Uninstall:
    case UpdaterMode::Expunge:
      exitCode = RunUninstallMode(u);
      break;
  }

  // The end of every run: in install mode a failure is shown; the alive cycle is stopped, the
  // bindings that exist are freed and the log is closed.
  if (cmd.install && !u.success) Ui().MessageBoxW(nullptr, kTextInstallFailed, kCaptionError, MB_OK);
  u.alive.Stop();
  u.bindings.Free();
  u.logger->Close();
  return exitCode;
}

}  // namespace qz
