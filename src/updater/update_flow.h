// The module workflow of the install and update modes: stop the agent, place or fetch its files,
// report the outcome to the server, record the build and start the agent again; and the
// install-and-update branch of a run around it.
#pragma once

#include <cstdint>

#include "updater/context.h"

namespace qz {

inline constexpr char16_t kCaptionInstalled[] = u"VH-KSM";
inline constexpr char16_t kTextInstalled[] = u"VH-KSM 에이전트를 성공적으로 설치하였습니다..";

// The installed build: the sealed DWORD value05 of the Agent key; 0 when it cannot be read.
uint32_t ReadAgentBuildNumber(UpdaterContext& u);
bool WriteAgentBuildNumber(UpdaterContext& u, uint32_t build);

bool UpdateAgentModule(UpdaterContext& u, const OsInformation& os, bool restart);

}  // namespace qz
