// The one symmetric cipher: AES-256-CBC with PKCS#7 padding, keyed by EVP_BytesToKey (SHA-256,
// the built-in salt, 9 rounds) over a 32-byte input that is either the digest of the machine-bound
// key text or a fixed input. Every operation makes and frees its own cipher context, so
// concurrent Encrypt/Decrypt calls are safe while no key is being set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace qz {

class IqzAES {
 public:
  virtual ~IqzAES() = default;
  // Machine-bound key: digest of the key template filled with the machine code and the password.
  virtual void SetPassword(std::string_view password) = 0;
  // Returns the ciphertext length (in length rounded up to the next multiple of 16, a whole
  // block more when already a multiple), or -1 (init), -2 (update), -3 (final, or out too small).
  virtual int Encrypt(std::span<uint8_t> out, std::span<const uint8_t> in) = 0;
  // Returns the plaintext length, or -1, -2, -3 as above; a wrong key or damaged data gives -3.
  virtual int Decrypt(std::span<uint8_t> out, std::span<const uint8_t> in) = 0;
  // Writes a 4-byte little-endian length and the ciphertext of text (at most 8,191 bytes).
  // 0, -11 (too long or not encrypted), -13 (file not created), -15 (short write).
  virtual int SaveEncrypted(std::string_view ansiPath, std::string_view text) = 0;
  // Reads what SaveEncrypted wrote; out receives the plaintext, which with its terminator must fit
  // outSize. 0, -1 (not opened), -14 (length out of 0..8,192 or short read), -12 (not decrypted).
  virtual int LoadEncrypted(std::string_view ansiPath, std::string* out, size_t outSize) = 0;
};

class qzAES : public IqzAES {
 public:
  static constexpr size_t kFileBufferSize = 8192;

  void SetPassword(std::string_view password) override;
  int Encrypt(std::span<uint8_t> out, std::span<const uint8_t> in) override;
  int Decrypt(std::span<uint8_t> out, std::span<const uint8_t> in) override;
  int SaveEncrypted(std::string_view ansiPath, std::string_view text) override;
  int LoadEncrypted(std::string_view ansiPath, std::string* out, size_t outSize) override;

  // The derivation's last step on a given 32-byte input.
  void SetKeyInput(std::span<const uint8_t, 32> input);

  const std::array<uint8_t, 32>& key() const { return key_; }
  const std::array<uint8_t, 16>& iv() const { return iv_; }
  int keyBits() const { return keyBits_; }

 private:
  int Run(bool encrypt, std::span<uint8_t> out, std::span<const uint8_t> in) const;

  std::array<uint8_t, 32> key_{};
  std::array<uint8_t, 16> iv_{};
  int keyBits_ = 256;
};

// Formats a printf-style template holding only "%s" holes and "%%" into at most 1,023 bytes.
std::string FormatKeyText(std::string_view tmpl, std::initializer_list<std::string_view> args);

}  // namespace qz
