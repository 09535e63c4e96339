// Text helpers shared by every module: UTF-8/UTF-16 conversion, Windows-style case folding,
// wildcard matching and command-line splitting, and printf-style formatting over typed arguments
// (so a wide format can be filled safely from any mix of narrow and wide strings and numbers).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace win {

// UTF conversions; malformed input becomes U+FFFD, as WideCharToMultiByte/MultiByteToWideChar do.
std::u16string Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::u16string_view wide);
bool IsValidUtf8(std::string_view bytes);

// Windows compares names by upper-casing them.
char16_t FoldChar(char16_t c);
std::u16string FoldCase(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
bool EqualsNoCaseA(std::string_view a, std::string_view b);  // ASCII letters only
bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix);

// FindFirstFile-style matching: '*' any run, '?' one character, case-insensitive; "*.*" and "*"
// match every name.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name);

// CommandLineToArgvW rules (backslashes before quotes, "" inside quotes).
std::vector<std::u16string> CommandLineToArgv(std::u16string_view cmdline);
// Quotes one argument so that CommandLineToArgv gives it back unchanged.
std::u16string QuoteArg(std::u16string_view arg);

// A typed printf argument.
class FmtArg {
 public:
  enum class Kind { Signed, Unsigned, Double, Pointer, Narrow, Wide, None };

  FmtArg() : kind_(Kind::None) {}
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char16_t> &&
             !std::is_same_v<T, char>)
  FmtArg(T v) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      i_ = static_cast<int64_t>(v);
    } else {
      kind_ = Kind::Unsigned;
      u_ = static_cast<uint64_t>(v);
    }
  }
  FmtArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
  FmtArg(char c) : kind_(Kind::Signed), i_(static_cast<unsigned char>(c)) {}
  FmtArg(char16_t c) : kind_(Kind::Unsigned), u_(c) {}
  FmtArg(double d) : kind_(Kind::Double), d_(d) {}
  FmtArg(const void* p) : kind_(Kind::Pointer), u_(reinterpret_cast<uintptr_t>(p)) {}
  FmtArg(const char* s) : kind_(Kind::Narrow), n_(s ? std::string_view(s) : std::string_view("(null)")) {}
  FmtArg(std::string_view s) : kind_(Kind::Narrow), n_(s) {}
  FmtArg(const std::string& s) : kind_(Kind::Narrow), n_(s) {}
  FmtArg(const char16_t* s) : kind_(Kind::Wide), w_(s ? std::u16string_view(s) : std::u16string_view(u"(null)")) {}
  FmtArg(std::u16string_view s) : kind_(Kind::Wide), w_(s) {}
  FmtArg(const std::u16string& s) : kind_(Kind::Wide), w_(s) {}

  Kind kind() const { return kind_; }
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsDouble() const;
  std::string_view narrow() const { return n_; }
  std::u16string_view wide() const { return w_; }

 private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  std::string_view n_;
  std::u16string_view w_;
};

using FmtArgs = std::span<const FmtArg>;

// printf formatting: %d %i %u %x %X %o %c %s %S %p %e %f %g %%, flags "-+ #0", width and precision
// (numbers or '*'), length modifiers h hh l ll I64 I32 z. Without a 64-bit modifier integers are
// taken as 32-bit, as the C library does. String arguments of either width fill %s and %S; narrow
// strings are taken as UTF-8 in a wide result. A conversion without a matching argument writes
// nothing.
std::u16string FormatW(std::u16string_view fmt, FmtArgs args);
std::string FormatA(std::string_view fmt, FmtArgs args);

template <class... A>
std::u16string Fmt(std::u16string_view fmt, const A&... a) {
  const FmtArg args[] = {FmtArg(a)..., FmtArg()};
  return FormatW(fmt, FmtArgs(args, sizeof...(A)));
}
template <class... A>
std::string FmtA(std::string_view fmt, const A&... a) {
  const FmtArg args[] = {FmtArg(a)..., FmtArg()};
  return FormatA(fmt, FmtArgs(args, sizeof...(A)));
}

}  // namespace win
