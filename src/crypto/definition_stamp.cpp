#include "crypto/definition_stamp.h"

#include <tinyxml2.h>

#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

bool ParseBuildText(std::string_view text, uint32_t* build) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return false;
  }
  if (value == 0) return false;
  *build = static_cast<uint32_t>(value);
  return true;
}

bool ParseExpiryText(std::string_view text, uint64_t* unixMs) {
  // Positions of the digits and of the fixed characters of YYYY-MM-DDThh:mm:ssZ.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return false;
  auto number = [&](size_t at, size_t n, int* out) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
  };
  int year, month, day, hour, minute, second;
  if (!number(0, 4, &year) || !number(5, 2, &month) || !number(8, 2, &day) || !number(11, 2, &hour) ||
      !number(14, 2, &minute) || !number(17, 2, &second))
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 || second > 59)
    return false;
  win::SYSTEMTIME st{};
  st.wYear = static_cast<win::WORD>(year);
  st.wMonth = static_cast<win::WORD>(month);
  st.wDay = static_cast<win::WORD>(day);
  st.wHour = static_cast<win::WORD>(hour);
  st.wMinute = static_cast<win::WORD>(minute);
  st.wSecond = static_cast<win::WORD>(second);
  *unixMs = win::UnixMsFromSystemTime(st);
  return true;
}

std::string FormatExpiry(uint64_t unixMs) {
  const win::SYSTEMTIME st = win::SystemTimeFromUnixMs(unixMs);
  return win::FmtA("%04d-%02d-%02dT%02d:%02d:%02dZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                   st.wSecond);
}

StampError ReadDefinitionStamp(const tinyxml2::XMLElement* root, DefinitionStamp* stamp) {
  *stamp = {};
  if (const char* build = root->Attribute(kBuildAttribute)) {
    if (!ParseBuildText(build, &stamp->build)) return StampError::BadBuild;
    stamp->hasBuild = true;
  }
  if (const char* expires = root->Attribute(kExpiresAttribute)) {
    if (!ParseExpiryText(expires, &stamp->expiresMs)) return StampError::BadExpiry;
    stamp->expires = expires;
    stamp->hasExpiry = true;
  }
  return StampError::None;
}

}  // namespace qz
