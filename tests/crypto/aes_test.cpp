#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/digest.h"
#include "crypto/secrets.h"
#include "support/host_files.h"
#include "support/test_machine.h"

namespace {

std::span<const uint8_t> Bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

qz::qzAES KeyedFrom(const std::string& text) {
  qz::qzAES aes;
  aes.SetKeyInput(qz::DigestMemory(text));
  return aes;
}

// EVP_BytesToKey written out: D1 = H^9(data | salt[0..8]), D2 = H^9(D1 | data | salt[0..8]).
std::vector<uint8_t> Rounds(std::vector<uint8_t> block) {
  qz::Digest d = qz::DigestMemory(std::span<const uint8_t>(block));
  for (int i = 1; i < 9; ++i) d = qz::DigestMemory(std::span<const uint8_t>(d));
  return {d.begin(), d.end()};
}

TEST(qzAES, KeyDerivationIsNineRoundsOfSha256OverInputAndSaltHead) {
  qz::Digest input = qz::DigestMemory("derivation input");
  qz::qzAES aes;
  aes.SetKeyInput(input);
  auto salt = qz::secrets::Salt();
  std::vector<uint8_t> first(input.begin(), input.end());
  first.insert(first.end(), salt.begin(), salt.begin() + 8);
  std::vector<uint8_t> d1 = Rounds(first);
  std::vector<uint8_t> second = d1;
  second.insert(second.end(), first.begin(), first.end());
  std::vector<uint8_t> d2 = Rounds(second);
  EXPECT_TRUE(std::equal(aes.key().begin(), aes.key().end(), d1.begin()));
  EXPECT_TRUE(std::equal(aes.iv().begin(), aes.iv().end(), d2.begin()));
  EXPECT_EQ(aes.keyBits(), 256);
}

TEST(qzAES, CiphertextLengthsAndRoundTrip) {
  qz::qzAES aes = KeyedFrom("k");
  struct Case {
    size_t plain;
    int cipher;
  };
  const Case cases[] = {{0, 16}, {1, 16}, {15, 16}, {16, 32}, {17, 32}, {100, 112}, {1024, 1040}};
  for (const Case& c : cases) {
    std::string plain(c.plain, 'x');
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 13);
    std::vector<uint8_t> cipher(c.plain + 16);
    ASSERT_EQ(aes.Encrypt(cipher, Bytes(plain)), c.cipher) << c.plain;
    std::vector<uint8_t> back(c.plain + 16, 0xEE);
    ASSERT_EQ(aes.Decrypt(back, std::span(cipher.data(), static_cast<size_t>(c.cipher))), static_cast<int>(c.plain));
    EXPECT_EQ(std::string(back.begin(), back.begin() + static_cast<long>(c.plain)), plain);
  }
}

TEST(qzAES, DecryptFailsInFinalStepForWrongKeyOrDamage) {
  qz::qzAES aes = KeyedFrom("right"), other = KeyedFrom("wrong");
  std::vector<uint8_t> cipher(64);
  int n = aes.Encrypt(cipher, Bytes("some secret text, two blocks"));
  ASSERT_EQ(n, 32);
  cipher.resize(32);
  std::vector<uint8_t> out(64);
  EXPECT_EQ(other.Decrypt(out, cipher), -3);
  EXPECT_EQ(aes.Decrypt(out, std::span(cipher.data(), 31)), -3) << "not whole blocks";
  EXPECT_EQ(aes.Decrypt(out, std::span<const uint8_t>()), -3) << "nothing to decrypt";
  cipher[31] ^= 0x55;  // the padding block
  EXPECT_EQ(aes.Decrypt(out, cipher), -3);
}

TEST(qzAES, OutputTooSmallIsRefusedNotOverrun) {
  qz::qzAES aes = KeyedFrom("k");
  std::vector<uint8_t> buffer(48, 0xCC);
  std::string plain(20, 'p');
  EXPECT_EQ(aes.Encrypt(std::span(buffer.data(), 31), Bytes(plain)), -3);
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << i;
  ASSERT_EQ(aes.Encrypt(std::span(buffer.data(), 32), Bytes(plain)), 32);
  std::vector<uint8_t> cipher(buffer.begin(), buffer.begin() + 32);
  std::vector<uint8_t> small(19);
  EXPECT_EQ(aes.Decrypt(small, cipher), -3);
}

TEST(qzAES, EachRecordStartsAfreshWithTheSameIv) {
  qz::qzAES aes = KeyedFrom("k");
  std::vector<uint8_t> a(32), b(32);
  aes.Encrypt(a, Bytes("same"));
  aes.Encrypt(b, Bytes("same"));
  EXPECT_EQ(a, b);
}

// A peer we did not write: the openssl command opens what qzAES sealed.
TEST(qzAES, OpensslCommandDecryptsSealedValue) {
  qz::qzAES aes = KeyedFrom("peer check");
  const std::string plain = "Sealed by qzAES: \xED\x95\x9C\xEA\xB8\x80 and more than one block of text.";
  std::vector<uint8_t> cipher(plain.size() + 16);
  int n = aes.Encrypt(cipher, Bytes(plain));
  ASSERT_GT(n, 0);
  const qztest::HostDir dir;
  const std::string path = dir / "sealed.bin";
  ASSERT_TRUE(qztest::WriteHostFile(path, std::string(reinterpret_cast<const char*>(cipher.data()), n)));
  std::string cmd = "openssl enc -d -aes-256-cbc -K " + qz::HexEncode(aes.key()) + " -iv " + qz::HexEncode(aes.iv()) +
                    " -in " + qztest::ShellQuote(path);
  int status = -1;
  const std::string got = qztest::HostOutput(cmd, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, plain);
}

TEST(FormatKeyText, FillsHolesAndHalvesDoubledPercent) {
  EXPECT_EQ(qz::FormatKeyText("a%sb%sc", {"X", "YZ"}), "aXbYZc");
  EXPECT_EQ(qz::FormatKeyText(std::string_view("\x01%%\x80%s\xFF", 7), {"pw"}), std::string("\x01%\x80pw\xFF"));
  EXPECT_EQ(qz::FormatKeyText("%s|%s", {"", "p"}), "|p");
  EXPECT_EQ(qz::FormatKeyText("%s", {std::string(2000, 'a')}).size(), 1023u);
}

}  // namespace
