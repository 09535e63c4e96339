#include "crypto/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qz::Digest;

std::string Hex(const Digest& d) { return qz::HexEncode(d); }

TEST(DigestMemory, KnownValues) {
  struct Case {
    std::string input;
    std::string hex;
  };
  const Case cases[] = {
      {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(qz::DigestMemory(c.input)), c.hex) << c.input;
  }
  EXPECT_EQ(Hex(qz::DigestMemory("")).size(), 64u);
}

TEST(HexEncode, LimitStopsMidByte) {
  const uint8_t bytes[] = {0x0A, 0xF0};
  struct Case {
    size_t limit;
    std::string text;
  };
  const Case cases[] = {{100, "0AF0"}, {4, "0AF0"}, {3, "0AF"}, {1, "0"}, {0, ""}};
  for (const Case& c : cases) {
    std::string out = "junk";
    EXPECT_EQ(qz::HexEncode(bytes, &out, c.limit), c.text.size()) << c.limit;
    EXPECT_EQ(out, c.text) << c.limit;
  }
}

TEST(HexDecode64, RoundTripsUpperCase) {
  Digest d{};
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i * 37 + 5);
  Digest back{};
  ASSERT_TRUE(qz::HexDecode64(Hex(d), &back));
  EXPECT_EQ(back, d);
}

TEST(HexDecode64, FailsWhenTextEndsBefore64) {
  const std::string full(64, 'A');
  Digest out{};
  out.fill(0x5A);
  // The 40th character missing: the text ends there, or a zero character stands there.
  EXPECT_FALSE(qz::HexDecode64(full.substr(0, 39), &out));
  std::string zeroed = full;
  zeroed[39] = '\0';
  EXPECT_FALSE(qz::HexDecode64(zeroed, &out));
  EXPECT_FALSE(qz::HexDecode64(full.substr(0, 63), &out));
  EXPECT_FALSE(qz::HexDecode64("", &out));
  for (uint8_t b : out) EXPECT_EQ(b, 0x5A) << "a failed decode must leave the output alone";
  // Anything after the 64th character is not looked at.
  EXPECT_TRUE(qz::HexDecode64(full + "zz", &out));
}

TEST(HexDecode64, LowerCaseLettersGiveWrongValuesNotErrors) {
  struct Case {
    const char* pair;
    uint8_t value;
  };
  // 'a' counts as the 33rd letter after 'A': 'a' - 'A' + 10 = 42.
  const Case cases[] = {{"00", 0x00}, {"9F", 0x9F}, {"FF", 0xFF}, {"0a", 42}, {"a0", static_cast<uint8_t>(42 * 16)},
                        {"ff", static_cast<uint8_t>(47 * 16 + 47)}};
  for (const Case& c : cases) {
    std::string text = std::string(c.pair) + std::string(62, '0');
    Digest out{};
    ASSERT_TRUE(qz::HexDecode64(text, &out)) << c.pair;
    EXPECT_EQ(out[0], c.value) << c.pair;
  }
}

}  // namespace
