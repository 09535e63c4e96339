// The module workflow of the install and update modes: stop the agent, place or fetch its files,
// report the outcome to the server, record the build and start the agent again; and the
// install-and-update branch of a run around it.
#pragma once

#include <cstdint>

#include "updater/run.h"

namespace qz {

inline constexpr char16_t kCaptionInstalled[] = u"VH-KSM";
inline constexpr char16_t kTextInstalled[] = u"VH-KSM 에이전트를 성공적으로 설치하였습니다..";

// The installed build: the sealed DWORD value05 of the Agent key; 0 when it cannot be read.
uint32_t ReadAgentBuildNumber(UpdaterRun& u);
bool WriteAgentBuildNumber(UpdaterRun& u, uint32_t build);

// Stops the agent, places (install mode) or fetches and installs (update mode) its files in the
// install folder, reports the outcome, records the build and, unless the command says otherwise,
// starts the service again.
bool UpdateAgentModule(UpdaterRun& u);

}  // namespace qz
