// Resources an installer carries: set when a site's installer is built, read when it runs.
#pragma once

namespace qz {

// The payload: type "FILE", the archive tool and the archive.
inline constexpr char16_t kPayloadResourceType[] = u"FILE";
inline constexpr int kArchiveToolResourceId = 172;
inline constexpr int kPayloadArchiveResourceId = 173;

// The build mode: UTF-8 text without terminator, as raw data (RT_RCDATA) named BUILDMODE.
inline constexpr char16_t kBuildModeResourceType[] = u"#10";
inline constexpr char16_t kBuildModeResourceName[] = u"BUILDMODE";

}  // namespace qz
