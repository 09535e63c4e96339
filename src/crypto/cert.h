// X.509 certificates of one strict shape (version 3, RSA 2,048-bit with exponent 65,537, SHA-256
// with RSA), read from plain or encrypted PEM files by our own parser, and checked against an
// issuing CA when one is given. The public key is built from the certificate's modulus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/aes.h"
#include "crypto/rsa.h"

namespace qz {

class IRSACert {
 public:
  virtual ~IRSACert() = default;
  // 0 or one of the qzRSACert results. ca: the issuing CA's certificate, or none.
  virtual int Load(std::string_view ansiPath, const IRSACert* ca) = 0;

  // What a CA lends the certificates it checks, and what containers are verified with.
  virtual std::string_view serial() const = 0;
  virtual std::string_view subjectKeyId() const = 0;
  virtual int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const = 0;
};

class qzRSACert : public qzRSA, public IRSACert {
 public:
  static constexpr int kCannotOpen = -1;
  static constexpr int kNoPemBlock = -2;
  static constexpr int kNotValidNow = -4;
  static constexpr int kBadCrlPoint = -5;
  static constexpr int kAuthorityMismatch = -6;
  static constexpr int kBadSignature = -7;
  static constexpr int kFormatError = -8;
  static constexpr int kNoKey = -9;
  // An offered CA without a certificate of its key issued by the held CA.
  static constexpr int kNotCrossSigned = -10;

  static constexpr size_t kDerBufferSize = 4096;
  static constexpr size_t kMaxDecoded = 4093;
  static constexpr size_t kMaxLine = 79;

  // The cipher that opens encrypted certificates (not owned).
  void SetCertificateCipher(IqzAES* cipher) { certificateCipher_ = cipher; }
  IqzAES* certificateCipher() const { return certificateCipher_; }

  int Load(std::string_view ansiPath, const IRSACert* ca) override;
  // The profile walk over DER data; with a CA also the authority, CRL point and signature checks.
  int Parse(std::span<const uint8_t> der, const IRSACert* ca);

  std::string_view serial() const override { return serial_; }
  std::string_view subjectKeyId() const override { return subjectKeyId_; }
  int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const override {
    return qzRSA::PublicDecrypt(out, in);
  }

  const std::string& userPrincipalName() const { return userPrincipalName_; }
  const std::string& notBefore() const { return notBefore_; }
  const std::string& notAfter() const { return notAfter_; }
  const std::string& issuer() const { return issuer_; }
  const std::string& subject() const { return subject_; }

  // The PEM reading of Load alone: the DER bytes of the file's block, or kCannotOpen / kNoPemBlock.
  int ReadPem(std::string_view ansiPath, std::string* der) const;
  // The same over the file's bytes; block: which block of the file (0 is the one Load reads).
  int DecodePem(std::string_view text, std::string* der, size_t block = 0) const;

 private:
  void Clear();

  IqzAES* certificateCipher_ = nullptr;
  std::string serial_;             // upper-case hex, at most 22 characters
  std::string subjectKeyId_;       // upper-case hex, at most 46 characters
  std::string userPrincipalName_;  // ANSI code page, at most 79 characters
  std::string notBefore_, notAfter_;
  std::string issuer_, subject_;   // "organisation, country", at most 79 characters
};

// A CA file offered to replace the held CA: the new self-signed CA certificate first (what Load
// reads), then a certificate of the same key issued by the held CA. On 0, successor holds the new
// CA; otherwise the result of the step that failed, kNotCrossSigned when the second certificate is
// missing or carries another key. successor's cipher opens encrypted blocks.
int CheckCaSuccessor(std::string_view pemText, const qzRSACert& held, qzRSACert* successor);

}  // namespace qz
