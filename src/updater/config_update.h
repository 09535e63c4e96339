// A new server.cfg named by the module definition file: fetched when its checksum differs from the
// one recorded after the last configuration update, applied to the registry and to this run, and
// written in its stored form into the module folder, from where it is installed with the modules.
#pragma once

#include "crypto/digest.h"
#include "updater/run.h"

namespace tinyxml2 {
class XMLElement;
}

namespace qz {

inline constexpr int kConfigAttempts = 3;

// Fetches into the module folder and writes the stored form there.
void UpdateConfigFileAndApply(UpdaterRun& u, const tinyxml2::XMLElement* root);
// Zeros when nothing can be read.
void ReadServerConfigChecksum(UpdaterRun& u, Digest* checksum);
void WriteServerConfigChecksum(UpdaterRun& u, const Digest& checksum);

}  // namespace qz
