#include "crypto/crypto_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/digest.h"
#include "crypto/secrets.h"

namespace {

std::string Key(char seed) {
  std::string key;
  for (int i = 0; i < 64; ++i) key.push_back(static_cast<char>('0' + (seed + i * 7) % 75));
  return key;
}

// The keyed digest built by hand from the template, the position table and the value.
template <size_t N>
std::string Expected(std::span<const uint8_t, N> tmpl, std::span<const uint8_t, 64> positions, const std::string& key,
                     uint64_t value) {
  std::vector<uint8_t> work(tmpl.begin(), tmpl.end());
  for (size_t i = 0; i < 64; ++i) work[i] = static_cast<uint8_t>(key[positions[i]]);
  for (size_t i = 0; i < 8; ++i) work[75 + i] = static_cast<uint8_t>(value >> (8 * i));
  return qz::HexEncode(qz::DigestMemory(std::span<const uint8_t>(work)));
}

TEST(SecretsShape, SizesAndPermutations) {
  EXPECT_EQ(qz::secrets::TemplateA().size(), 242u);
  EXPECT_EQ(qz::secrets::TemplateB().size(), 244u);
  for (auto table : {qz::secrets::PositionA(), qz::secrets::PositionB()}) {
    std::vector<bool> seen(64);
    for (uint8_t p : table) {
      ASSERT_LT(p, 64);
      EXPECT_FALSE(seen[p]) << "position " << int(p) << " twice";
      seen[p] = true;
    }
  }
  EXPECT_EQ(qz::secrets::KeyTemplate().size(), 85u);
  std::string_view logTemplate = qz::secrets::LogKeyTemplate();
  EXPECT_EQ(logTemplate.size(), 94u);
  EXPECT_NE(logTemplate.find("%%"), std::string_view::npos);
  int high = 0, control = 0;
  for (char c : logTemplate) {
    high += static_cast<unsigned char>(c) > 127;
    control += static_cast<unsigned char>(c) < 32;
  }
  EXPECT_EQ(high, 2);
  EXPECT_GE(control, 2);
  EXPECT_EQ(qz::secrets::LogPassword().size(), 6u);
}

TEST(qzCryptoUtil, OutSizeMustLeaveRoomForTerminator) {
  qz::qzCryptoUtil util;
  util.SetKeyA(Key(1));
  struct Case {
    size_t outSize;
    bool ok;
  };
  const Case cases[] = {{0, false}, {64, false}, {65, true}, {200, true}};
  for (const Case& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(util.DigestA(&out, c.outSize, 1), c.ok) << c.outSize;
    EXPECT_EQ(out.size(), c.ok ? 64u : 9u) << c.outSize;
    std::string outB = "untouched";
    EXPECT_EQ(util.DigestB(&outB, c.outSize, 1), c.ok) << c.outSize;
  }
}

TEST(qzCryptoUtil, DigestsFollowKeyPlacementAndValue) {
  qz::qzCryptoUtil util;
  const std::string keyA = Key(3), keyB = Key(11);
  util.SetKeyA(keyA);
  util.SetKeyB(keyB);
  for (uint64_t value : {uint64_t{0}, uint64_t{1700000000123}, ~uint64_t{0}}) {
    std::string a, b;
    ASSERT_TRUE(util.DigestA(&a, 65, value));
    ASSERT_TRUE(util.DigestB(&b, 65, value));
    EXPECT_EQ(a, Expected(qz::secrets::TemplateA(), qz::secrets::PositionA(), keyA, value));
    EXPECT_EQ(b, Expected(qz::secrets::TemplateB(), qz::secrets::PositionB(), keyB, value));
  }
}

TEST(qzCryptoUtil, NewKeyReplacesOldOneAndTemplatesStayApart) {
  qz::qzCryptoUtil util, fresh;
  util.SetKeyA(Key(5));
  util.SetKeyA(Key(9));
  fresh.SetKeyA(Key(9));
  std::string a1, a2, b;
  util.DigestA(&a1, 65, 42);
  fresh.DigestA(&a2, 65, 42);
  EXPECT_EQ(a1, a2);
  fresh.SetKeyB(Key(9));
  fresh.DigestB(&b, 65, 42);
  EXPECT_NE(a2, b);
}

TEST(qzCryptoUtil, ShortKeyCountsMissingCharactersAsZero) {
  qz::qzCryptoUtil util;
  util.SetKeyA("short");
  std::string key(64, '\0');
  std::copy_n("short", 5, key.begin());
  std::string got;
  ASSERT_TRUE(util.DigestA(&got, 65, 7));
  EXPECT_EQ(got, Expected(qz::secrets::TemplateA(), qz::secrets::PositionA(), key, 7));
}

}  // namespace
