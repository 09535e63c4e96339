// Keyed request digests: SHA-256 over a built-in template whose first 64 bytes carry the session
// key (placed through a position table) and whose bytes 75..82 carry the value being signed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/secrets.h"

namespace qz {

class ICryptoUtil {
 public:
  virtual ~ICryptoUtil() = default;
  // key: 64 characters; missing characters count as zero bytes.
  virtual void SetKeyA(std::string_view key) = 0;
  // Fails (leaving out untouched) when outSize, the room including a terminator, is 64 or less;
  // otherwise out receives the 64 upper-case hex characters of the digest.
  virtual bool DigestA(std::string* out, size_t outSize, uint64_t value) = 0;
  virtual void SetKeyB(std::string_view key) = 0;
  virtual bool DigestB(std::string* out, size_t outSize, uint64_t value) = 0;
};

// No lock: setting a key must not overlap a digest on the same object.
class qzCryptoUtil : public ICryptoUtil {
 public:
  static constexpr size_t kKeyLength = 64;
  static constexpr size_t kValueOffset = 75;

  qzCryptoUtil();

  void SetKeyA(std::string_view key) override;
  bool DigestA(std::string* out, size_t outSize, uint64_t value) override;
  void SetKeyB(std::string_view key) override;
  bool DigestB(std::string* out, size_t outSize, uint64_t value) override;

 private:
  std::array<uint8_t, secrets::kTemplateASize> templateA_;
  std::array<uint8_t, secrets::kTemplateBSize> templateB_;
};

}  // namespace qz
