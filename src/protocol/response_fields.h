// Typed values out of the server's XML answers, and the answer's time-stamp check. Each reader
// returns false when its element or attribute is absent, true otherwise (even for empty text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "crypto/crypto_util.h"
#include "crypto/digest.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}

namespace qz {

constexpr size_t kCheckTextMax = 72;
constexpr size_t kStampTextMax = 79;

// Parses an answer terminated within its buffer; the root is null when the document has none.
const tinyxml2::XMLElement* ParseAnswer(tinyxml2::XMLDocument& doc, std::span<const char> answer);

// Child "chk" as UTF-16, at most 72 characters.
bool ReadCheckText(const tinyxml2::XMLElement* answer, std::u16string* out);
// Named child's text in the ANSI code page, cut to fit outSize bytes with a terminator.
bool ReadChildTextA(const tinyxml2::XMLElement* parent, const char* name, std::string* out, size_t outSize);
// Child "showMsg": true when its text is "true" in any case.
bool ReadMessageFlag(const tinyxml2::XMLElement* answer, bool* flag);
// Named child's text as a decimal number (atoi) or an unsigned number in `base` (strtoul).
bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, int32_t* value);
// The same in 64 bits (sizes of files).
bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, int64_t* value);
bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, uint32_t* value, int base);
// The element's own text as UTF-16.
bool ReadOwnText(const tinyxml2::XMLElement* element, std::u16string* out);
// Named attribute in the ANSI code page, cut to fit outSize bytes with a terminator.
bool ReadAttributeTextA(const tinyxml2::XMLElement* element, const char* name, std::string* out, size_t outSize);
// Named attribute: true when it is "true" in any case.
bool ReadAttributeFlag(const tinyxml2::XMLElement* element, const char* name, bool* flag);
// Attribute "_t" as an unsigned 64-bit decimal (0 when it is no number).
bool ReadTimeAttribute(const tinyxml2::XMLElement* element, uint64_t* value);
// Attribute "cks": 64 hex characters to 32 bytes; false as well when it is too short to decode.
bool ReadChecksumAttribute(const tinyxml2::XMLElement* element, Digest* out);

// True (the answer is not authentic) only when the answer carries "_t" and "_th", "_t" is above
// the floor, and DigestB of "_t" differs from "_th".
bool IsResponseStampInvalid(const tinyxml2::XMLElement* answer, uint64_t floor, ICryptoUtil& util);

}  // namespace qz
