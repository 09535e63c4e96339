// Rollback and freeze protection: the build number and expiry a release signs on the module
// definition's root, checked before anything of the update is stopped or fetched, and the highest
// signed build installed, kept sealed.
#pragma once

#include <cstdint>

#include "updater/run.h"

namespace tinyxml2 {
class XMLElement;
}

namespace qz {

// False (logged) for a build or expiry attribute not in its form, a passed expiry, or a build below
// the highest installed; otherwise the signed build, if any, goes into u.plan.
bool AcceptDefinitionStamp(UpdaterRun& u, const tinyxml2::XMLElement* root);
// The highest signed build installed; 0 when none is recorded.
uint32_t ReadHighestBuild(UpdaterRun& u);
// Raises the recorded highest build to build (never lowers it).
bool RecordHighestBuild(UpdaterRun& u, uint32_t build);

}  // namespace qz
