// The update's module work before installation: the signed module definition file, the modules it
// names for this Windows, removal of retired modules, download, unpacking and check of each changed
// module into the module folder, and stopping the drivers the update replaces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/digest.h"
#include "crypto/module_name.h"
#include "updater/run.h"

namespace tinyxml2 {
class XMLElement;
}

namespace qz {

// Results of InstallAgentModule besides the unpacking results.
inline constexpr int kModuleReady = 0;
inline constexpr int kModuleDownloadError = 6;
inline constexpr int kModuleChecksumError = 7;

inline constexpr int kModuleAttempts = 5;
inline constexpr win::DWORD kModuleRetryPause = 500;


// Reads qzAgent.xmd in the install folder and prepares every changed module that applies to this
// Windows in the module folder. False at the first module that fails.
bool DownloadAgentModules(UpdaterRun& u);
// One module element; plain chooses the plain download.
bool DownloadAgentModule(UpdaterRun& u, const tinyxml2::XMLElement* module, bool plain);
// Fetches name.qz into the module folder, unpacks it there and checks name against expected:
// kModuleReady, kModuleDownloadError, kModuleChecksumError or an unpacking result.
int InstallAgentModule(UpdaterRun& u, std::u16string_view name, const Digest& expected, bool plain);
// InstallAgentModule until it gives something other than a download error, pausing after each
// download error; the last result.
int DownloadWithRetry(UpdaterRun& u, std::u16string_view name, const Digest& expected, int attempts, bool plain);
bool IsPlainDownload(UpdaterRun& u);
// Stops and deletes the running drivers that the definition's root marks as replaced.
void StopDriverIfNeedUpdate(UpdaterRun& u, const tinyxml2::XMLElement* root);

// The element's text as UTF-16; false when it has none.
bool ReadModuleName(const tinyxml2::XMLElement* element, std::u16string* name);

}  // namespace qz
