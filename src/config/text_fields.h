// Field conversions shared by the configuration readers and writers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz {

// C atoi: leading blanks, a sign, the leading digits; 0 when none. Saturates at the int32 limits.
int32_t ParseDecimalField(std::string_view text);
// C strtoul with base 16 ("0x" allowed); saturates at 0xFFFFFFFF, a '-' negates.
uint32_t ParseHexField(std::string_view text);

// UTF-8 to the ANSI code page; nullopt when the result with its terminator exceeds fieldBytes.
std::optional<std::string> Utf8ToAnsiField(std::string_view utf8, size_t fieldBytes);
// UTF-8 to UTF-16; nullopt when the result with its terminator exceeds fieldChars.
std::optional<std::u16string> Utf8ToWideField(std::string_view utf8, size_t fieldChars);

// An ANSI field as element text of a UTF-8 document: converted, and with & < > escaped so that
// the document reads back to the same value.
std::string XmlText(std::string_view ansi);


}  // namespace qz
