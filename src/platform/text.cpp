#include "platform/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace win {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at bytes[i]; returns the number of bytes consumed (at least 1) and sets
// ok=false for a malformed sequence (which then consumes its longest valid-looking prefix, so one
// bad sequence gives exactly one U+FFFD).
size_t DecodeUtf8(std::string_view bytes, size_t i, char32_t* cp, bool* ok) {
  const auto b0 = static_cast<unsigned char>(bytes[i]);
  *ok = true;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t need;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    *ok = false;
    *cp = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (size_t k = 0; k < need; ++k) {
    if (i + used >= bytes.size()) {
      *ok = false;
      break;
    }
    const auto b = static_cast<unsigned char>(bytes[i + used]);
    const unsigned char min = k == 0 ? lo : 0x80;
    const unsigned char max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) {
      *ok = false;
      break;
    }
    value = (value << 6) | (b & 0x3F);
    ++used;
  }
  *cp = *ok ? value : kReplacement;
  return used;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::u16string Utf8ToWide(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp;
    bool ok;
    i += DecodeUtf8(utf8, i, &cp, &ok);
    AppendUtf16(out, cp);
  }
  return out;
}

std::string WideToUtf8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t cp = wide[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // unpaired surrogate
    }
    AppendUtf8(out, cp);
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    bool ok;
    i += DecodeUtf8(bytes, i, &cp, &ok);
    if (!ok) return false;
  }
  return true;
}

char16_t FoldChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  // Greek
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  // Cyrillic
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string FoldCase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = FoldChar(c);
  return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

bool EqualsNoCaseA(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

namespace {

bool MatchFrom(std::u16string_view p, std::u16string_view n) {
  // Greedy match with one backtrack point per star, which is enough for '*' and '?'.
  size_t pi = 0, ni = 0, starP = std::u16string_view::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == u'*') {
      starP = pi++;
      starN = ni;
    } else if (pi < p.size() && (p[pi] == u'?' || FoldChar(p[pi]) == FoldChar(n[ni]))) {
      ++pi;
      ++ni;
    } else if (starP != std::u16string_view::npos) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') ++pi;
  return pi == p.size();
}

}  // namespace

bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*" || pattern == u"*.*") return true;
  if (MatchFrom(pattern, name)) return true;
  // As on Windows, a trailing ".*" also matches a name without that extension ("readme.*" finds
  // "readme").
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*") {
    return MatchFrom(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

std::vector<std::u16string> CommandLineToArgv(std::u16string_view cmd) {
  std::vector<std::u16string> argv;
  // The program name follows its own rule: up to the next quote if it starts with one, else up
  // to the first blank; backslashes are never special in it.
  size_t i = 0;
  std::u16string first;
  if (!cmd.empty() && cmd[0] == u'"') {
    for (i = 1; i < cmd.size(); ++i) {
      if (cmd[i] == u'"') {
        ++i;
        break;
      }
      first.push_back(cmd[i]);
    }
  } else {
    while (i < cmd.size() && !IsBlank(cmd[i])) first.push_back(cmd[i++]);
  }
  argv.push_back(std::move(first));
  while (i < cmd.size() && IsBlank(cmd[i])) ++i;
  if (i >= cmd.size()) return argv;

  std::u16string cur;
  int quotes = 0;  // 0 outside quotes, 1 inside; the ""-inside-quotes state machine uses 2
  size_t backslashes = 0;
  while (i < cmd.size()) {
    const char16_t c = cmd[i];
    if (IsBlank(c) && quotes == 0) {
      argv.push_back(std::move(cur));
      cur.clear();
      backslashes = 0;
      while (i < cmd.size() && IsBlank(cmd[i])) ++i;
      if (i >= cmd.size()) return argv;
      continue;
    }
    if (c == u'\\') {
      cur.push_back(c);
      ++backslashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes: n of them, and the quote toggles the quoted state.
        cur.resize(cur.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1 backslashes: n of them and a literal quote.
        cur.resize(cur.size() - backslashes / 2 - 1);
        cur.push_back(u'"');
      }
      ++i;
      backslashes = 0;
      // Runs of quotes: every third one is literal.
      while (i < cmd.size() && cmd[i] == u'"') {
        if (++quotes == 3) {
          cur.push_back(u'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    cur.push_back(c);
    backslashes = 0;
    ++i;
  }
  argv.push_back(std::move(cur));
  return argv;
}

std::u16string QuoteArg(std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) return std::u16string(arg);
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
    } else {
      out.append(backslashes, u'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // Backslashes before the closing quote must be doubled so it stays a quote.
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

// ---------------------------------------------------------------------------------------------
// printf

int64_t FmtArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed:
      return i_;
    case Kind::Unsigned:
    case Kind::Pointer:
      return static_cast<int64_t>(u_);
    case Kind::Double:
      if (!(d_ >= -9.2233720368547758e18 && d_ < 9.2233720368547758e18)) return 0;
      return static_cast<int64_t>(d_);
    default:
      return 0;
  }
}

uint64_t FmtArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<uint64_t>(i_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return u_;
    case Kind::Double:
      if (d_ < 0) return static_cast<uint64_t>(AsSigned());
      if (!(d_ < 1.8446744073709552e19)) return 0;
      return static_cast<uint64_t>(d_);
    default:
      return 0;
  }
}

double FmtArg::AsDouble() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(i_);
    case Kind::Unsigned:
    case Kind::Pointer:
      return static_cast<double>(u_);
    case Kind::Double:
      return d_;
    default:
      return 0;
  }
}

namespace {

enum class Width { Default, Char, Short, Long64 };

struct Conversion {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  Width size = Width::Default;
  bool wideMod = false;  // 'l' or 'w': matters only for %c in a narrow result
  char conv = 0;
};

// Integer conversions built as ASCII text, then padded.
std::string FormatInteger(const Conversion& s, const FmtArg& arg) {
  const bool isSigned = s.conv == 'd' || s.conv == 'i';
  bool negative = false;
  uint64_t mag;
  if (isSigned) {
    int64_t v = arg.AsSigned();
    switch (s.size) {
      case Width::Char:
        v = static_cast<int8_t>(v);
        break;
      case Width::Short:
        v = static_cast<int16_t>(v);
        break;
      case Width::Default:
        v = static_cast<int32_t>(v);
        break;
      case Width::Long64:
        break;
    }
    negative = v < 0;
    mag = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  } else {
    mag = arg.AsUnsigned();
    switch (s.size) {
      case Width::Char:
        mag = static_cast<uint8_t>(mag);
        break;
      case Width::Short:
        mag = static_cast<uint16_t>(mag);
        break;
      case Width::Default:
        mag = static_cast<uint32_t>(mag);
        break;
      case Width::Long64:
        break;
    }
  }
  const unsigned base = (s.conv == 'x' || s.conv == 'X') ? 16 : s.conv == 'o' ? 8 : 10;
  const char* digitSet = s.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string digits;
  for (uint64_t v = mag; v != 0; v /= base) digits.insert(digits.begin(), digitSet[v % base]);
  const int precision = s.precision < 0 ? 1 : s.precision;
  if (static_cast<int>(digits.size()) < precision) digits.insert(0, precision - digits.size(), '0');
  if (s.alt && base == 8 && (digits.empty() || digits[0] != '0')) digits.insert(digits.begin(), '0');

  std::string prefix;
  if (isSigned) {
    if (negative) {
      prefix = "-";
    } else if (s.plus) {
      prefix = "+";
    } else if (s.space) {
      prefix = " ";
    }
  }
  if (s.alt && base == 16 && mag != 0) prefix += s.conv == 'X' ? "0X" : "0x";

  const size_t len = prefix.size() + digits.size();
  const size_t width = static_cast<size_t>(s.width);
  if (len >= width) return prefix + digits;
  if (s.left) return prefix + digits + std::string(width - len, ' ');
  if (s.zero && s.precision < 0) return prefix + std::string(width - len, '0') + digits;
  return std::string(width - len, ' ') + prefix + digits;
}

std::string FormatDouble(const Conversion& s, double v) {
  std::string f = "%";
  if (s.left) f += '-';
  if (s.plus) f += '+';
  if (s.space) f += ' ';
  if (s.alt) f += '#';
  if (s.zero) f += '0';
  f += "*.*";
  f += s.conv;
  const int precision = s.precision < 0 ? 6 : std::min(s.precision, 400);
  const int width = std::min(s.width, 100000);
  const int n = std::snprintf(nullptr, 0, f.c_str(), width, precision, v);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), f.c_str(), width, precision, v);
  out.resize(static_cast<size_t>(n));
  return out;
}

template <class Ch>
void AppendAscii(std::basic_string<Ch>& out, std::string_view ascii) {
  for (char c : ascii) out.push_back(static_cast<Ch>(static_cast<unsigned char>(c)));
}

template <class Ch>
std::basic_string<Ch> ArgText(const FmtArg& arg);

template <>
std::u16string ArgText<char16_t>(const FmtArg& arg) {
  return arg.kind() == FmtArg::Kind::Wide ? std::u16string(arg.wide()) : Utf8ToWide(arg.narrow());
}

template <>
std::string ArgText<char>(const FmtArg& arg) {
  return arg.kind() == FmtArg::Kind::Narrow ? std::string(arg.narrow()) : WideToUtf8(arg.wide());
}

template <class Ch>
void Pad(std::basic_string<Ch>& out, const std::basic_string<Ch>& body, const Conversion& s, Ch fill = Ch(' ')) {
  const size_t width = static_cast<size_t>(s.width);
  if (body.size() >= width) {
    out += body;
  } else if (s.left) {
    out += body;
    out.append(width - body.size(), Ch(' '));
  } else {
    out.append(width - body.size(), fill);
    out += body;
  }
}

template <class Ch>
std::basic_string<Ch> FormatImpl(std::basic_string_view<Ch> fmt, FmtArgs args) {
  std::basic_string<Ch> out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t next = 0;
  auto take = [&]() -> const FmtArg* { return next < args.size() ? &args[next++] : nullptr; };
  // Width and precision stay sane even for absurd arguments.
  constexpr int kMaxWidth = 1 << 20;

  for (size_t i = 0; i < fmt.size();) {
    const Ch c = fmt[i];
    if (c != Ch('%')) {
      out.push_back(c);
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < fmt.size() && fmt[i] == Ch('%')) {
      out.push_back(Ch('%'));
      ++i;
      continue;
    }
    Conversion s;
    for (; i < fmt.size(); ++i) {
      const Ch f = fmt[i];
      if (f == Ch('-')) s.left = true;
      else if (f == Ch('+')) s.plus = true;
      else if (f == Ch(' ')) s.space = true;
      else if (f == Ch('#')) s.alt = true;
      else if (f == Ch('0')) s.zero = true;
      else break;
    }
    if (i < fmt.size() && fmt[i] == Ch('*')) {
      ++i;
      const FmtArg* a = take();
      int64_t w = a ? a->AsSigned() : 0;
      w = static_cast<int32_t>(w);
      if (w < 0) {
        s.left = true;
        w = -w;
      }
      s.width = static_cast<int>(std::min<int64_t>(w, kMaxWidth));
    } else {
      int64_t w = 0;
      while (i < fmt.size() && fmt[i] >= Ch('0') && fmt[i] <= Ch('9')) {
        w = std::min<int64_t>(w * 10 + (fmt[i] - Ch('0')), kMaxWidth);
        ++i;
      }
      s.width = static_cast<int>(w);
    }
    if (i < fmt.size() && fmt[i] == Ch('.')) {
      ++i;
      if (i < fmt.size() && fmt[i] == Ch('*')) {
        ++i;
        const FmtArg* a = take();
        const int64_t p = a ? static_cast<int32_t>(a->AsSigned()) : 0;
        s.precision = p < 0 ? -1 : static_cast<int>(std::min<int64_t>(p, kMaxWidth));
      } else {
        int64_t p = 0;
        while (i < fmt.size() && fmt[i] >= Ch('0') && fmt[i] <= Ch('9')) {
          p = std::min<int64_t>(p * 10 + (fmt[i] - Ch('0')), kMaxWidth);
          ++i;
        }
        s.precision = static_cast<int>(p);
      }
    }
    // Length modifiers.
    auto at = [&](size_t k) -> Ch { return i + k < fmt.size() ? fmt[i + k] : Ch(0); };
    if (at(0) == Ch('h')) {
      s.size = at(1) == Ch('h') ? Width::Char : Width::Short;
      i += at(1) == Ch('h') ? 2 : 1;
    } else if (at(0) == Ch('l')) {
      if (at(1) == Ch('l')) {
        s.size = Width::Long64;
        i += 2;
      } else {
        s.wideMod = true;  // long is 32 bits on Windows
        i += 1;
      }
    } else if (at(0) == Ch('I') && at(1) == Ch('6') && at(2) == Ch('4')) {
      s.size = Width::Long64;
      i += 3;
    } else if (at(0) == Ch('I') && at(1) == Ch('3') && at(2) == Ch('2')) {
      i += 3;
    } else if (at(0) == Ch('z') || at(0) == Ch('j') || at(0) == Ch('t')) {
      s.size = sizeof(size_t) == 8 ? Width::Long64 : Width::Default;
      i += 1;
    } else if (at(0) == Ch('w')) {
      s.wideMod = true;
      i += 1;
    } else if (at(0) == Ch('L')) {
      i += 1;
    }
    if (i >= fmt.size()) {
      // A dangling conversion is kept as written.
      out.append(fmt.substr(start));
      break;
    }
    const Ch conv = fmt[i++];
    s.conv = static_cast<char>(conv);
    switch (conv) {
      case Ch('d'):
      case Ch('i'):
      case Ch('u'):
      case Ch('x'):
      case Ch('X'):
      case Ch('o'): {
        if (const FmtArg* a = take()) AppendAscii(out, FormatInteger(s, *a));
        break;
      }
      case Ch('p'): {
        if (const FmtArg* a = take()) {
          Conversion p = s;
          p.conv = 'X';
          p.size = sizeof(void*) == 8 ? Width::Long64 : Width::Default;
          p.precision = static_cast<int>(2 * sizeof(void*));
          p.alt = false;
          AppendAscii(out, FormatInteger(p, *a));
        }
        break;
      }
      case Ch('e'):
      case Ch('E'):
      case Ch('f'):
      case Ch('F'):
      case Ch('g'):
      case Ch('G'):
      case Ch('a'):
      case Ch('A'): {
        if (const FmtArg* a = take()) AppendAscii(out, FormatDouble(s, a->AsDouble()));
        break;
      }
      case Ch('c'):
      case Ch('C'): {
        const FmtArg* a = take();
        if (!a) break;
        const uint64_t v = a->AsUnsigned();
        std::basic_string<Ch> body;
        if constexpr (sizeof(Ch) == 2) {
          body.push_back(static_cast<Ch>(v & 0xFFFF));
        } else {
          if ((s.wideMod || conv == Ch('C')) && (v & 0xFFFF) >= 0x80) {
            body = WideToUtf8(std::u16string(1, static_cast<char16_t>(v & 0xFFFF)));
          } else {
            body.push_back(static_cast<Ch>(v & 0xFF));
          }
        }
        Pad(out, body, s);
        break;
      }
      case Ch('s'):
      case Ch('S'): {
        const FmtArg* a = take();
        if (!a || a->kind() == FmtArg::Kind::None) break;
        std::basic_string<Ch> body;
        if (a->kind() == FmtArg::Kind::Narrow || a->kind() == FmtArg::Kind::Wide) {
          body = ArgText<Ch>(*a);
        } else if (a->kind() == FmtArg::Kind::Double) {
          Conversion g;
          g.conv = 'g';
          AppendAscii(body, FormatDouble(g, a->AsDouble()));
        } else {
          // A number where text was expected: show the number rather than garbage.
          Conversion d;
          d.conv = a->kind() == FmtArg::Kind::Signed ? 'd' : 'u';
          d.size = Width::Long64;
          AppendAscii(body, FormatInteger(d, *a));
        }
        if (s.precision >= 0 && body.size() > static_cast<size_t>(s.precision)) body.resize(s.precision);
        Pad(out, body, s);
        break;
      }
      case Ch('n'):
        take();  // never writes through a pointer
        break;
      default:
        // Unknown conversion: the text stays as written.
        out.append(fmt.substr(start, i - start));
        break;
    }
  }
  return out;
}

}  // namespace

std::u16string FormatW(std::u16string_view fmt, FmtArgs args) { return FormatImpl<char16_t>(fmt, args); }
std::string FormatA(std::string_view fmt, FmtArgs args) { return FormatImpl<char>(fmt, args); }

}  // namespace win
