// The installer's start-up sequence.
#include "installer/entry.h"

#include "config/registry_layout.h"
#include "installer/install_state.h"
#include "installer/payload.h"
#include "installer/removal.h"
#include "installer/startup.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

// Process-wide, as the worker and the window's threads share it until the process ends.
InstallerState& State() {
  static InstallerState* state = new InstallerState;
  return *state;
}

}  // namespace

int InstallerMain() {
  InstallerState& state = State();
  state.korean = InstallerKoreanFlag();
  const bool korean = state.korean;

  if (CountOwnInstances() >= 2) {
    const std::u16string text = InstallerText(300, korean);
    Ui().MessageBoxW(nullptr, text, InstallerText(320, korean), MB_ICONWARNING);
    WriteInstallerOutcome(text.c_str());
    return 1;
  }

  int r = PreparePayload(&state.folders);
  if (r == 0) {
    const std::u16string mode = InstallerBuildMode();
    if (SplitBuildMode(mode).flow == InstallerFlow::Uninstall) {
      r = RunUninstallFlow(state.folders);
    } else {
      TakeOverSettings(state, mode);
    }
  }
  if (r != 0) {
    EndPreparation(r, state.folders, korean);
    return 1;
  }

  if (!WindowsVersionAccepted()) {
    // The setup folder stays on this path.
    const std::u16string text = InstallerText(304, korean);
    Ui().MessageBoxW(nullptr, text, u"VH-KSM Agent Installation", MB_ICONERROR);
    WriteInstallerOutcome(text.c_str());
    return 1;
  }

  if (state.showMode == u"false") {
    // Hidden: the worker installs and ends the process itself.
    RunInstallWorker(state);
    return 1;
  }
  // Nothing would use the unpacked payload, and no outcome is recorded: nothing was installed.
  DeleteSetupFolder(state.folders);
  return kExitInstallFlowMissing;
}

}  // namespace qz
