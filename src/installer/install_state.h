// One run of the installer: what the preparation took over from the settings document, and what
// the install worker and the install window share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config/installer_settings.h"
#include "installer/payload.h"
#include "platform/types.h"
#include "syscontrol/driver_service.h"

namespace qz {

// What the install worker shows while it works. The install window implements it; without a
// window (or before it shows status texts) nothing is shown.
class InstallView {
 public:
  virtual ~InstallView() = default;
  // The status line (control 1006); ignored until the window shows status texts.
  virtual void SetStatusText(std::u16string_view text) = 0;
  // Bitmap 181 into the status picture (control 1014).
  virtual void ShowFinishedPicture() = 0;
  // Owner of the worker's message box; null without a window.
  virtual win::HWND Owner() = 0;
};

struct InstallerState {
  bool korean = false;
  // Guards installing and done.
  std::recursive_mutex flagLock;
  int32_t installing = 0;
  int32_t done = 0;

  InstallerFolders folders;

  // Taken over from the settings document by the preparation.
  std::u16string message;
  std::u16string companyName;
  std::string productKind;
  bool showLogo = false;
  std::u16string showMode;
  std::vector<ExtraProgram> extras;
  // The document as the preparation read it; the registry step and server.cfg are made from it.
  InstallerSettings settings;

  // Filled by the install worker.
  int processorWidth = 0;  // 1: 32-bit Windows, 2: 64-bit Windows
  int osNumber = 0;        // major * 10 + minor
  std::u16string logArchiveName;

  InstallView* view = nullptr;
  // The drivers the removal stopped and the worker starts again.
  DriverRecords drivers;
};

// The install branch of the preparation: reads the settings document of the setup folder and,
// when it reads, keeps it, takes its values over and fixes the show mode from the build mode.
// 0, or the reading's code (31..38): then nothing is taken over and the install must not begin.
int TakeOverSettings(InstallerState& state, std::u16string_view buildMode);

// The driver files the worker places for a product kind, OS number (major * 10 + minor) and
// processor width (2: 64-bit Windows); null when none.
const char16_t* NetworkFilterDriverFile(const std::string& productKind, int osNumber, int processorWidth);
const char16_t* ProcessCutDriverFile(const std::string& productKind, int osNumber, int processorWidth);

// Install failures found at the worker's end, shown in the not-installed text.
inline constexpr int kInstallFileCheckFailed = 40;     // a copy-list file missing or not the payload's
inline constexpr int kInstallServiceCheckFailed = 41;  // the agent's service not registered and running

// The copy-list files that the setup folder holds: 0 when each is in place with the same bytes,
// else kInstallFileCheckFailed.
int CheckPlacedFiles(const InstallerFolders& folders);

// 0 when the agent's service is registered and running (a start still pending is given up to
// 30 s), else kInstallServiceCheckFailed.
int CheckAgentService();

// Creates and starts the network filter found by the removal again, from the file this install
// placed (placedFilter, null when it placed none). Nothing when the removal found none, when it
// placed none, or when the old service could not be deleted.
void RestartNetworkFilter(DriverService& filter, const char16_t* placedFilter, const InstallerFolders& folders);

// The install worker: removes a previous agent, rebuilds the registry, places the agent's files
// and starts its service. Ends the process itself (exit code 1) after a registry-step failure,
// after a failed file or service check, and at its end in the show mode "false"; otherwise
// returns 0 with installing 0 and done 1.
int RunInstallWorker(InstallerState& state);

}  // namespace qz
