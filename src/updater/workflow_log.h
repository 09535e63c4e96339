// Log lines of the updater's file workflows, all under one tag.
#pragma once

#include <string_view>

#include "updater/run.h"

namespace qz {

inline constexpr char16_t kWorkflowTag[] = u"TarlinUpdater";

template <class... A>
void Log(UpdaterRun& u, std::u16string_view func, int level, std::u16string_view fmt, const A&... a) {
  if (u.logger) u.logger->Log(kWorkflowTag, func, level, fmt, a...);
}

}  // namespace qz
