// The installer's start-up sequence.
#include "installer/entry.h"

#include "config/registry_layout.h"
#include "installer/install_state.h"
#include "installer/install_window.h"
#include "installer/payload.h"
#include "installer/removal.h"
#include "installer/startup.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

using namespace win;

int InstallerMain(HINSTANCE instance) {
  // Never freed: the worker thread can still be at work when the window ends this function, and
  // the process ends right after.
  InstallerState& state = *new InstallerState;
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
      EndUninstallFlow(RunUninstallFlow(state.folders, state.drivers), state.folders, korean);
      return 1;
    } else {
      // The install begins only with a complete payload and a settings document that reads;
      // otherwise it ends here, before anything of a previous agent is touched.
      int code = CheckInstallPayload(state.folders);
      if (code == 0) code = TakeOverSettings(state, mode);
      if (code != 0) {
        DeleteSetupFolder(state.folders);
        const InstallerMessage m = SettingsMessage(code, korean);
        Ui().MessageBoxW(nullptr, m.text, m.caption, m.icon);
        WriteInstallerOutcome(m.text.c_str());
        return 1;
      }
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

  InstallWindowOptions options;
  options.instance = instance;
  const int window = RunInstallWindow(state, options);
  if (window == kInstallWindowCancelled) {
    // Nothing was removed or placed; no box, the administrator closed the window.
    DeleteSetupFolder(state.folders);
    WriteInstallerOutcome(InstallerOutcomeText(InstallerOutcome::Cancelled, korean).c_str());
    return kExitCancelled;
  }
  if (window != 0) {
    // A build whose dialog is missing: nothing is installed, and the administrator is told so.
    DeleteSetupFolder(state.folders);
    const std::u16string text = Fmt(InstallerText(303, korean), kInstallWindowMissing);
    Ui().MessageBoxW(nullptr, text, InstallerText(322, korean), MB_ICONERROR);
    WriteInstallerOutcome(text.c_str());
    return 1;
  }
  WriteInstallerOutcome(u"0");
  return 0;
}

}  // namespace qz
