// The installer's start-up sequence.
#include "installer/entry.h"

#include "config/registry_layout.h"
#include "installer/payload.h"
#include "installer/removal.h"
#include "installer/startup.h"
#include "platform/platform.h"

namespace qz {

using namespace win;

int InstallerMain() {
  const bool korean = InstallerKoreanFlag();

  if (CountOwnInstances() >= 2) {
    const std::u16string text = InstallerText(300, korean);
    Ui().MessageBoxW(nullptr, text, InstallerText(320, korean), MB_ICONWARNING);
    WriteInstallerOutcome(text.c_str());
    return 1;
  }

  InstallerFolders folders;
  int r = PreparePayload(&folders);
  if (r == 0 && SplitBuildMode(InstallerBuildMode()).flow == InstallerFlow::Uninstall) {
    r = RunUninstallFlow(folders);
  }
  if (r != 0) {
    EndPreparation(r, folders, korean);
    return 1;
  }

  if (!WindowsVersionAccepted()) {
    // The setup folder stays on this path.
    const std::u16string text = InstallerText(304, korean);
    Ui().MessageBoxW(nullptr, text, u"VH-KSM Agent Installation", MB_ICONERROR);
    WriteInstallerOutcome(text.c_str());
    return 1;
  }

  // Nothing would use the unpacked payload, and no outcome is recorded: nothing was installed.
  DeleteSetupFolder(folders);
  return kExitInstallFlowMissing;
}

}  // namespace qz
