#include "protocol/response_fields.h"

#include <tinyxml2.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

namespace {

const char* ChildText(const tinyxml2::XMLElement* parent, const char* name, bool* found) {
  const tinyxml2::XMLElement* child = parent ? parent->FirstChildElement(name) : nullptr;
  *found = child != nullptr;
  if (!child) return nullptr;
  const char* text = child->GetText();
  return text ? text : "";
}

const char* AttributeText(const tinyxml2::XMLElement* element, const char* name) {
  return element ? element->Attribute(name) : nullptr;
}

// Drops whole UTF-16 characters from the end until at most max units remain.
void CutWide(std::u16string* s, size_t max) {
  if (s->size() <= max) return;
  s->resize(max);
  if (!s->empty() && s->back() >= 0xD800 && s->back() <= 0xDBFF) s->pop_back();
}

// UTF-8 -> UTF-16 -> ANSI code page; whole characters are dropped until it fits with a terminator.
std::string ToAnsiCut(const char* utf8, size_t outSize) {
  if (outSize == 0) return {};
  std::u16string wide = win::Utf8ToWide(utf8);
  std::string ansi = win::WideToAnsi(wide);
  while (ansi.size() > outSize - 1 && !wide.empty()) {
    CutWide(&wide, wide.size() - 1);
    ansi = win::WideToAnsi(wide);
  }
  return ansi;
}

bool IsTrue(const char* text) { return win::EqualsNoCaseA(text, "true"); }

}  // namespace

const tinyxml2::XMLElement* ParseAnswer(tinyxml2::XMLDocument& doc, std::span<const char> answer) {
  doc.Parse(answer.data(), strnlen(answer.data(), answer.size()));
  return doc.RootElement();
}

bool ReadCheckText(const tinyxml2::XMLElement* answer, std::u16string* out) {
  bool found = false;
  const char* text = ChildText(answer, "chk", &found);
  if (!found) return false;
  *out = win::Utf8ToWide(text);
  CutWide(out, kCheckTextMax);
  return true;
}

bool ReadChildTextA(const tinyxml2::XMLElement* parent, const char* name, std::string* out, size_t outSize) {
  bool found = false;
  const char* text = ChildText(parent, name, &found);
  if (!found) return false;
  *out = ToAnsiCut(text, outSize);
  return true;
}

bool ReadMessageFlag(const tinyxml2::XMLElement* answer, bool* flag) {
  bool found = false;
  const char* text = ChildText(answer, "showMsg", &found);
  if (!found) return false;
  *flag = IsTrue(text);
  return true;
}

bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, int32_t* value) {
  bool found = false;
  const char* text = ChildText(parent, name, &found);
  if (!found) return false;
  // atoi, but saturating instead of undefined on overflow.
  long long v = std::strtoll(text, nullptr, 10);
  *value = static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
  return true;
}

bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, int64_t* value) {
  bool found = false;
  const char* text = ChildText(parent, name, &found);
  if (!found) return false;
  *value = std::strtoll(text, nullptr, 10);
  return true;
}

bool ReadChildNumber(const tinyxml2::XMLElement* parent, const char* name, uint32_t* value, int base) {
  bool found = false;
  const char* text = ChildText(parent, name, &found);
  if (!found) return false;
  // strtoul with a 32-bit unsigned long, as on Windows: out of range gives 0xFFFFFFFF, a leading
  // minus negates.
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(p, &end, base);
  if (end == p || *p == '-' || *p == '+') {
    *value = 0;
  } else if (errno == ERANGE || v > UINT32_MAX) {
    *value = UINT32_MAX;
  } else {
    *value = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(v)) : static_cast<uint32_t>(v);
  }
  return true;
}

bool ReadOwnText(const tinyxml2::XMLElement* element, std::u16string* out) {
  if (!element) return false;
  const char* text = element->GetText();
  *out = win::Utf8ToWide(text ? text : "");
  return true;
}

bool ReadAttributeTextA(const tinyxml2::XMLElement* element, const char* name, std::string* out, size_t outSize) {
  const char* text = AttributeText(element, name);
  if (!text) return false;
  *out = ToAnsiCut(text, outSize);
  return true;
}

bool ReadAttributeFlag(const tinyxml2::XMLElement* element, const char* name, bool* flag) {
  const char* text = AttributeText(element, name);
  if (!text) return false;
  *flag = IsTrue(text);
  return true;
}

bool ReadTimeAttribute(const tinyxml2::XMLElement* element, uint64_t* value) {
  const char* text = AttributeText(element, "_t");
  if (!text) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  *value = end == text ? 0 : v;
  return true;
}

bool ReadChecksumAttribute(const tinyxml2::XMLElement* element, Digest* out) {
  const char* text = AttributeText(element, "cks");
  return text && HexDecode64(text, out);
}

bool IsResponseStampInvalid(const tinyxml2::XMLElement* answer, uint64_t floor, ICryptoUtil& util) {
  uint64_t stamp = 0;
  if (!ReadTimeAttribute(answer, &stamp)) return false;
  std::string signature;
  if (!ReadAttributeTextA(answer, "_th", &signature, kStampTextMax + 1)) return false;
  if (stamp <= floor) return false;
  std::string expected;
  if (!util.DigestB(&expected, 65, stamp)) return true;
  return expected != signature;
}

}  // namespace qz
