// What a release signs on the module definition's root besides the module list: its build number
// and, optionally, the moment after which it is no longer to be installed. The agent and the
// publisher tool read them by the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tinyxml2 {
class XMLElement;
}

namespace qz {

inline constexpr char kBuildAttribute[] = "build";
inline constexpr char kExpiresAttribute[] = "expires";

struct DefinitionStamp {
  bool hasBuild = false;
  uint32_t build = 0;
  bool hasExpiry = false;
  uint64_t expiresMs = 0;  // milliseconds since 1970-01-01 UTC
  std::string expires;     // as written
};

enum class StampError { None, BadBuild, BadExpiry };

// Decimal digits only, 1 to 4294967295.
bool ParseBuildText(std::string_view text, uint32_t* build);
// "YYYY-MM-DDThh:mm:ssZ" (UTC), a real date and time from 1970 on.
bool ParseExpiryText(std::string_view text, uint64_t* unixMs);
std::string FormatExpiry(uint64_t unixMs);

// The root's attributes; an attribute that is present but not in its form is an error.
StampError ReadDefinitionStamp(const tinyxml2::XMLElement* root, DefinitionStamp* stamp);

}  // namespace qz
