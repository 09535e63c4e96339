#include "platform/text.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/time.h"

namespace {

using win::FmtArg;

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string wide = u"A\u00e9\ud55c\U0001F600z";
  const std::string utf8 = "A\xC3\xA9\xED\x95\x9C\xF0\x9F\x98\x80z";
  EXPECT_EQ(win::WideToUtf8(wide), utf8);
  EXPECT_EQ(win::Utf8ToWide(utf8), wide);
  EXPECT_TRUE(win::IsValidUtf8(utf8));
}

TEST(Utf, MalformedBecomesReplacement) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"a\x80z", u"a\ufffdz"},                    // stray continuation
      {"\xC3", u"\ufffd"},                       // truncated at end
      {"\xE4\xB8z", u"\ufffdz"},                 // truncated sequence counts once
      {"\xC0\xAF", u"\ufffd\ufffd"},             // overlong lead
      {"\xE0\x80\x80", u"\ufffd\ufffd\ufffd"},   // overlong three-byte
      {"\xED\xA0\x80", u"\ufffd\ufffd\ufffd"},   // encoded surrogate
      {"\xF4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},  // above U+10FFFF
      {"\xFF", u"\ufffd"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win::Utf8ToWide(c.in), c.out) << c.in;
    EXPECT_FALSE(win::IsValidUtf8(c.in)) << c.in;
  }
  // Unpaired surrogates in UTF-16 become U+FFFD too.
  EXPECT_EQ(win::WideToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(win::WideToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(Fold, UpperCasesTheKnownRanges) {
  struct Case {
    char16_t in, out;
  } cases[] = {
      {u'a', u'A'},         {u'z', u'Z'},         {u'A', u'A'},         {u'{', u'{'},
      {u'\u00e0', u'\u00c0'}, {u'\u00fe', u'\u00de'}, {u'\u00f7', u'\u00f7'}, {u'\u00ff', u'\u00ff'},
      {u'\u00df', u'\u00df'}, {u'\u03b1', u'\u0391'}, {u'\u03c9', u'\u03a9'}, {u'\u03c2', u'\u03a3'},
      {u'\u03ac', u'\u0386'}, {u'\u03ce', u'\u038f'}, {u'\u0430', u'\u0410'}, {u'\u044f', u'\u042f'},
      {u'\u0451', u'\u0401'}, {u'\ud55c', u'\ud55c'},
  };
  for (const auto& c : cases) EXPECT_EQ(win::FoldChar(c.in), c.out) << int(c.in);
  EXPECT_TRUE(win::EqualsNoCase(u"C:\\Program Files\\\u0436", u"c:\\PROGRAM files\\\u0416"));
  EXPECT_FALSE(win::EqualsNoCase(u"abc", u"abcd"));
  EXPECT_TRUE(win::EqualsNoCaseA("qzUpdater.EXE", "QZUPDATER.exe"));
  EXPECT_FALSE(win::EqualsNoCaseA("\xC3\xA9", "\xC3\x89"));
  EXPECT_TRUE(win::StartsWithNoCase(u"HKEY_Local", u"hkey_"));
  EXPECT_FALSE(win::StartsWithNoCase(u"HK", u"hkey"));
}

TEST(Wildcard, FindFirstFileSemantics) {
  struct Case {
    const char16_t* pattern;
    const char16_t* name;
    bool match;
  } cases[] = {
      {u"*", u"anything", true},
      {u"*.*", u"noextension", true},
      {u"*.*", u".hidden", true},
      {u"*.log", u"qzUpdater-20240131.LOG", true},
      {u"*.log", u"qzUpdater-20240131.log.0", false},
      {u"*.log*", u"qzUpdater-20240131.log.0", true},
      {u"q?Updater*", u"qzUpdater.exe", true},
      {u"q?Updater*", u"qUpdater.exe", false},  // '?' is exactly one character
      {u"a*b*c", u"aXXbYYbZZc", true},
      {u"a*b*c", u"aXXbYYbZZ", false},
      {u"*abc", u"ababc", true},
      {u"readme.*", u"readme", true},
      {u"readme.*", u"readmeX", false},
      {u"\u0436*", u"\u0416\u0443\u043a", true},
      {u"", u"", true},
      {u"abc", u"ab", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win::WildcardMatch(c.pattern, c.name), c.match)
        << win::WideToUtf8(c.pattern) << " vs " << win::WideToUtf8(c.name);
  }
}

TEST(CommandLine, SplitsByWindowsRules) {
  using V = std::vector<std::u16string>;
  struct Case {
    const char16_t* cmd;
    V args;
  } cases[] = {
      {u"prog a b", V{u"prog", u"a", u"b"}},
      {u"\"C:\\Program Files\\qz.exe\" --install", V{u"C:\\Program Files\\qz.exe", u"--install"}},
      // The program name ends at its closing quote, backslashes are not special there.
      {u"\"C:\\dir\\\" x", V{u"C:\\dir\\", u"x"}},
      {u"\"a\"b c", V{u"a", u"b", u"c"}},
      {u"C:\\a\"b c", V{u"C:\\a\"b", u"c"}},
      {u" leading", V{u"", u"leading"}},
      {u"p  \t a\t\tb  ", V{u"p", u"a", u"b"}},
      // 2n backslashes before a quote: n backslashes, the quote toggles.
      {u"p a\\\\\"b c\"", V{u"p", u"a\\b c"}},
      // 2n+1 backslashes: n backslashes and a literal quote.
      {u"p a\\\\\\\"b", V{u"p", u"a\\\"b"}},
      {u"p a\\\"b", V{u"p", u"a\"b"}},
      // Backslashes not before a quote are literal.
      {u"p C:\\dir\\ x\\\\y", V{u"p", u"C:\\dir\\", u"x\\\\y"}},
      {u"p \"\"", V{u"p", u""}},
      {u"p \"a\"\"b\"", V{u"p", u"a\"b"}},  // "" inside quotes
      {u"p \"\"\"\"", V{u"p", u"\""}},
      {u"p \"a b", V{u"p", u"a b"}},  // unterminated quote runs to the end
      {u"p", V{u"p"}},
      {u"p   ", V{u"p"}},
  };
  for (const auto& c : cases) EXPECT_EQ(win::CommandLineToArgv(c.cmd), c.args) << win::WideToUtf8(c.cmd);
}

TEST(CommandLine, QuoteArgRoundTrips) {
  const std::u16string args[] = {u"plain", u"", u"with space", u"C:\\Program Files\\", u"a\"b",
                                 u"\\\\server\\share\\", u"tab\there", u"\"", u"\\\"", u"end\\\\"};
  std::u16string cmd = u"prog";
  for (const auto& a : args) cmd += u" " + win::QuoteArg(a);
  const auto parsed = win::CommandLineToArgv(cmd);
  ASSERT_EQ(parsed.size(), std::size(args) + 1) << win::WideToUtf8(cmd);
  for (size_t i = 0; i < std::size(args); ++i) EXPECT_EQ(parsed[i + 1], args[i]) << win::WideToUtf8(args[i]);
  EXPECT_EQ(win::QuoteArg(u"plain"), u"plain");
  EXPECT_EQ(win::QuoteArg(u"a b\\"), u"\"a b\\\\\"");
}

TEST(Format, NarrowTable) {
  struct Case {
    std::string expect;
    std::string got;
  } cases[] = {
      {"[  42]", win::FmtA("[%4d]", 42)},
      {"[42  ]", win::FmtA("[%-4d]", 42)},
      {"[0042]", win::FmtA("[%04d]", 42)},
      {"[+42]", win::FmtA("[%+d]", 42)},
      {"[ 42]", win::FmtA("[% d]", 42)},
      {"[-0042]", win::FmtA("[%05d]", -42)},
      {"[  003]", win::FmtA("[%5.3d]", 3)},
      {"[]", win::FmtA("[%.0d]", 0)},
      {"FFFFFFFF", win::FmtA("%08X", -1)},
      {"-1", win::FmtA("%d", 0xFFFFFFFFu)},
      {"4294967295", win::FmtA("%u", -1)},
      {"18446744073709551615", win::FmtA("%llu", -1)},
      {"-1", win::FmtA("%I64d", int64_t{-1})},
      {"ffffffffffffffff", win::FmtA("%I64x", int64_t{-1})},
      {"1", win::FmtA("%I32d", int64_t{0x100000001})},
      {"1", win::FmtA("%d", int64_t{0x100000001})},
      {"-1", win::FmtA("%hd", 0xFFFF)},
      {"255", win::FmtA("%hhu", -1)},
      {"-2147483648", win::FmtA("%ld", 0x80000000u)},
      {std::to_string(std::numeric_limits<size_t>::max()), win::FmtA("%zu", std::numeric_limits<size_t>::max())},
      {"0x1f 0X1F 017 0", win::FmtA("%#x %#X %#o %#x", 31, 31, 15, 0)},
      {"7f", win::FmtA("%x", 127)},
      {"ab", win::FmtA("%c%c", 'a', 'b')},
      {"[   hi]", win::FmtA("[%5s]", "hi")},
      {"[hi   ]", win::FmtA("[%-5s]", "hi")},
      {"hel", win::FmtA("%.3s", "hello")},
      {"[  hel]", win::FmtA("[%*.*s]", 5, 3, "hello")},
      {"[hi   ]", win::FmtA("[%*s]", -5, "hi")},
      {"\xED\x95\x9C", win::FmtA("%s", u"\ud55c")},  // wide argument becomes UTF-8
      {"\xED\x95\x9C", win::FmtA("%S", u"\ud55c")},
      {"(null)", win::FmtA("%s", static_cast<const char*>(nullptr))},
      {"3.14", win::FmtA("%.2f", 3.14159)},
      {"  3.1", win::FmtA("%5.1f", 3.14159)},
      {"1.500000e+00", win::FmtA("%e", 1.5)},
      {"0.0001", win::FmtA("%g", 0.0001)},
      {"100%", win::FmtA("%d%%", 100)},
      {"a=", win::FmtA("a=%d")},             // missing argument writes nothing
      {"x  y", win::FmtA("x %5d y")},       // ... not even its padding
      {"%q", win::FmtA("%q", 1)},
      {"tail %", win::FmtA("tail %")},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expect);
  EXPECT_EQ(win::FmtA("%p", reinterpret_cast<const void*>(0x1234)).size(), 2 * sizeof(void*));
  EXPECT_EQ(win::FmtA("%p", reinterpret_cast<const void*>(0xABC)).substr(2 * sizeof(void*) - 3), "ABC");
}

TEST(Format, WideTable) {
  struct Case {
    std::u16string expect;
    std::u16string got;
  } cases[] = {
      {u"[ SYSTEM]14:03:59 {{Logger::SetLogLevel}} ",
       win::Fmt(u"[%s]%s {{%s::%s}} ", u" SYSTEM", u"14:03:59", u"Logger", u"SetLogLevel")},
      {u"14:03:09", win::Fmt(u"%02d:%02d:%02d", 14, 3, 9)},
      {u"20240131", win::Fmt(u"%04d%02d%02d", 2024, 1, 31)},
      {u"\ud55c\uae00", win::Fmt(u"%s", "\xED\x95\x9C\xEA\xB8\x80")},  // narrow argument is UTF-8
      {u"\ud55c\uae00 x", win::Fmt(u"%S %s", u"\ud55c\uae00", "x")},
      {u"\ud55c", win::Fmt(u"%c", char16_t(0xD55C))},
      {u"\ud55c", win::Fmt(u"%.1s", u"\ud55c\uae00")},
      {u"FFFFFFFF", win::Fmt(u"%08X", -1)},
      {u"C:\\logs\\p-20240131.log", win::Fmt(u"%s\\%s-%s.log", u"C:\\logs", u"p", u"20240131")},
      {u"-12", win::Fmt(u"%i", -12)},
      {u"", win::Fmt(u"%s")},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expect) << win::WideToUtf8(c.expect);
}

TEST(Calendar, ConvertsBothWays) {
  struct Case {
    uint64_t ms;
    win::WORD y, mo, dow, d, h, mi, s, milli;
  } cases[] = {
      {0, 1970, 1, 4, 1, 0, 0, 0, 0},
      {1706659200000ull, 2024, 1, 3, 31, 0, 0, 0, 0},
      {1709164799999ull, 2024, 2, 3, 28, 23, 59, 59, 999},
      {1709208000000ull, 2024, 2, 4, 29, 12, 0, 0, 0},  // leap day
      {951782400000ull, 2000, 2, 2, 29, 0, 0, 0, 0},
      {4102444800000ull, 2100, 1, 5, 1, 0, 0, 0, 0},
      {1735689599000ull, 2024, 12, 2, 31, 23, 59, 59, 0},
  };
  for (const auto& c : cases) {
    const win::SYSTEMTIME st = win::SystemTimeFromUnixMs(c.ms);
    EXPECT_EQ(st.wYear, c.y) << c.ms;
    EXPECT_EQ(st.wMonth, c.mo) << c.ms;
    EXPECT_EQ(st.wDayOfWeek, c.dow) << c.ms;
    EXPECT_EQ(st.wDay, c.d) << c.ms;
    EXPECT_EQ(st.wHour, c.h) << c.ms;
    EXPECT_EQ(st.wMinute, c.mi) << c.ms;
    EXPECT_EQ(st.wSecond, c.s) << c.ms;
    EXPECT_EQ(st.wMilliseconds, c.milli) << c.ms;
    EXPECT_EQ(win::UnixMsFromSystemTime(st), c.ms);
  }
}

}  // namespace
