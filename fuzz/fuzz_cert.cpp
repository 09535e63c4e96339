// The certificate parser: DER with and without a CA, and the PEM reading (plain and encrypted).
#include "crypto/cert.h"
#include "crypto/secrets.h"
#include "fuzz_support.h"

namespace {

// A CA whose identifiers match what the fuzzer can write, so the checks after them are reached.
class FuzzCa : public qz::IRSACert {
 public:
  int Load(std::string_view, const qz::IRSACert*) override { return -1; }
  std::string_view serial() const override { return "1000"; }
  std::string_view subjectKeyId() const override { return "0102"; }
  int PublicDecrypt(std::span<uint8_t> out, std::span<const uint8_t> in) const override {
    return rsa_.PublicDecrypt(out, in);
  }
  FuzzCa() {
    std::array<uint8_t, 256> modulus;
    modulus.fill(0xC5);
    rsa_.SetPublicKey(modulus);
  }

 private:
  qz::qzRSA rsa_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qzfuzz::UsePlatform();
  static FuzzCa ca;
  static qz::qzAES cipher = [] {
    qz::qzAES c;
    c.SetKeyInput(qz::secrets::CertKeyInput());
    return c;
  }();
  qz::qzRSACert cert;
  cert.SetCertificateCipher(&cipher);
  const std::span<const uint8_t> der(data, size);
  cert.Parse(der, nullptr);
  cert.Parse(der, &ca);
  std::string text(reinterpret_cast<const char*>(data), size), decoded;
  if (cert.DecodePem(text, &decoded) == 0) {
    cert.Parse(std::span(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size()), &ca);
  }
  return 0;
}
