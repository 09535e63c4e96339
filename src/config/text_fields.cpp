#include "config/text_fields.h"

#include <limits>

#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int32_t ParseDecimalField(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > int64_t{1} << 32) v = int64_t{1} << 32;  // past either limit already
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

uint32_t ParseHexField(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // "0x" counts only when a digit follows, as strtoul reads "0x" alone as 0.
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && HexDigit(text[i + 2]) >= 0)
    i += 2;
  uint64_t v = 0;
  bool overflow = false;
  for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
    v = v * 16 + static_cast<uint64_t>(HexDigit(text[i]));
    if (v > 0xFFFFFFFFull) {
      overflow = true;
      v = 0xFFFFFFFFull;
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  const auto u = static_cast<uint32_t>(v);
  return negative ? 0u - u : u;
}

std::optional<std::string> Utf8ToAnsiField(std::string_view utf8, size_t fieldBytes) {
  std::u16string wide = win::Utf8ToWide(utf8);
  if (wide.size() + 1 > fieldBytes) return std::nullopt;
  std::string ansi = win::WideToAnsi(wide);
  if (ansi.size() + 1 > fieldBytes) return std::nullopt;
  return ansi;
}

std::optional<std::u16string> Utf8ToWideField(std::string_view utf8, size_t fieldChars) {
  std::u16string wide = win::Utf8ToWide(utf8);
  if (wide.size() + 1 > fieldChars) return std::nullopt;
  return wide;
}

std::string XmlText(std::string_view ansi) {
  const std::string utf8 = win::WideToUtf8(win::AnsiToWide(ansi));
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace qz
