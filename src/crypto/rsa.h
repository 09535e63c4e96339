// An RSA key of a chosen size and public-key decryption of signed blocks (PKCS#1 v1.5, type 1).
#pragma once

#include <cstdint>
#include <span>

typedef struct evp_pkey_st EVP_PKEY;

namespace qz {

class qzRSA {
 public:
  static constexpr int kKeyGenerationFailed = 2008;
  static constexpr int kKeyCheckFailed = 2009;

  qzRSA() = default;
  virtual ~qzRSA();
  qzRSA(const qzRSA&) = delete;
  qzRSA& operator=(const qzRSA&) = delete;

  // Sizes other than 512, 1,024, 2,048 and 4,096 become 2,048. Public exponent 65,537.
  // 0, 2008 (generation failed) or 2009 (the key fails its check and is dropped).
  int GenerateKey(int bits);

  // Public key from a big-endian modulus and an exponent; no key is generated. Sizes follow
  // the modulus.
  bool SetPublicKey(std::span<const uint8_t> modulus, uint32_t exponent = 65537);

  // Decrypts `in` block by block (each `bytes()` long), appending the plaintexts to out.
  // Returns the plaintext length, -1 when there is no key, the input is not whole blocks or a
  // block fails, -2 when the plaintext would not fit out.
  int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const;

  // Both hold the same public key.
  bool SamePublicKey(const qzRSA& other) const;

  int bits() const { return bits_; }
  int bytes() const { return bytes_; }
  int maxData() const { return maxData_; }
  EVP_PKEY* key() const { return key_; }

 protected:
  void Reset();
  void SetSizes(int bits);

 private:
  EVP_PKEY* key_ = nullptr;
  uint16_t bits_ = 0;
  uint16_t bytes_ = 0;
  uint16_t maxData_ = 0;
};

}  // namespace qz
