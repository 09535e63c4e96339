#include "crypto/rsa.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

namespace {

// What a signer does: PKCS#1 type 1 padding and the private key, on raw data.
std::vector<uint8_t> PrivateEncrypt(EVP_PKEY* key, const std::vector<uint8_t>& data) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::vector<uint8_t> out(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t len = out.size();
  bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_sign(ctx, out.data(), &len, data.data(), data.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return {};
  out.resize(len);
  return out;
}

std::vector<uint8_t> Modulus(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
  std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, out.data());
  BN_free(n);
  return out;
}

std::vector<uint8_t> Record(size_t n, uint8_t seed) {
  std::vector<uint8_t> r(n);
  for (size_t i = 0; i < n; ++i) r[i] = static_cast<uint8_t>(seed + i * 31);
  return r;
}

TEST(qzRSA, GenerateKeySizeRules) {
  struct Case {
    int asked, bits, bytes, maxData;
  };
  const Case cases[] = {{3000, 2048, 256, 240}, {512, 512, 64, 48}, {0, 2048, 256, 240}, {1024, 1024, 128, 112}};
  for (const Case& c : cases) {
    qz::qzRSA rsa;
    ASSERT_EQ(rsa.GenerateKey(c.asked), 0) << c.asked;
    EXPECT_EQ(rsa.bits(), c.bits);
    EXPECT_EQ(rsa.bytes(), c.bytes);
    EXPECT_EQ(rsa.maxData(), c.maxData);
    EXPECT_EQ(EVP_PKEY_get_bits(rsa.key()), c.bits);
    BIGNUM* e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(rsa.key(), OSSL_PKEY_PARAM_RSA_E, &e), 1);
    EXPECT_EQ(BN_get_word(e), 65537u);
    BN_free(e);
  }
}

class SignedBlocks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signer_ = new qz::qzRSA;
    ASSERT_EQ(signer_->GenerateKey(2048), 0);
  }
  static void TearDownTestSuite() {
    delete signer_;
    signer_ = nullptr;
  }
  static qz::qzRSA* signer_;
};
qz::qzRSA* SignedBlocks::signer_ = nullptr;

TEST_F(SignedBlocks, PublicKeyFromModulusRecoversSignedRecord) {
  qz::qzRSA verifier;
  ASSERT_TRUE(verifier.SetPublicKey(Modulus(signer_->key())));
  EXPECT_EQ(verifier.bits(), 2048);
  EXPECT_EQ(verifier.bytes(), 256);
  EXPECT_EQ(verifier.maxData(), 240);
  std::vector<uint8_t> record = Record(48, 1);
  std::vector<uint8_t> block = PrivateEncrypt(signer_->key(), record);
  ASSERT_EQ(block.size(), 256u);
  std::vector<uint8_t> out(300);
  ASSERT_EQ(verifier.PublicDecrypt(out, block), 48);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), out.begin()));
  // The generated key object does the same.
  ASSERT_EQ(signer_->PublicDecrypt(out, block), 48);
}

TEST_F(SignedBlocks, Failures) {
  std::vector<uint8_t> block = PrivateEncrypt(signer_->key(), Record(48, 2));
  std::vector<uint8_t> out(256);
  EXPECT_EQ(signer_->PublicDecrypt(std::span(out.data(), 47), block), -2);
  std::vector<uint8_t> damaged = block;
  damaged[100] ^= 1;
  EXPECT_EQ(signer_->PublicDecrypt(out, damaged), -1);
  EXPECT_EQ(signer_->PublicDecrypt(out, std::span(block.data(), 255)), -1) << "not whole blocks";
  qz::qzRSA other;
  ASSERT_EQ(other.GenerateKey(512), 0);
  EXPECT_EQ(other.PublicDecrypt(out, block), -1) << "input of four 512-bit blocks signed by another key";
  qz::qzRSA empty;
  EXPECT_EQ(empty.PublicDecrypt(out, block), -1);
  EXPECT_FALSE(empty.SetPublicKey({}));
}

TEST(qzRSAShortKey, InputIsDecryptedInBlocksOfTheKeySize) {
  qz::qzRSA rsa;
  ASSERT_EQ(rsa.GenerateKey(1024), 0);
  std::vector<uint8_t> a = Record(100, 3), b = Record(48, 4);
  std::vector<uint8_t> in = PrivateEncrypt(rsa.key(), a);
  std::vector<uint8_t> second = PrivateEncrypt(rsa.key(), b);
  in.insert(in.end(), second.begin(), second.end());
  ASSERT_EQ(in.size(), 256u);
  std::vector<uint8_t> out(256);
  ASSERT_EQ(rsa.PublicDecrypt(out, in), 148);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin() + 100));
  EXPECT_EQ(rsa.PublicDecrypt(std::span(out.data(), 147), in), -2);
}

}  // namespace
