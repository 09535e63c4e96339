#include "certs.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

#include "crypto/aes.h"
#include "crypto/cert.h"
#include "crypto/secrets.h"
#include "host.h"

namespace qzpack {

namespace {

struct Free {
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
template <class T>
using Ptr = std::unique_ptr<T, Free>;

Ptr<EVP_PKEY> NewKey() {
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
      EVP_PKEY_generate(ctx.get(), &key) != 1)
    return nullptr;
  return Ptr<EVP_PKEY>(key);
}

bool SetName(X509_NAME* name, const CertOptions& o) {
  auto add = [&](const char* field, const std::string& value) {
    return value.empty() || X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                                       -1, 0) == 1;
  };
  return add("C", o.country) && add("O", o.organisation) && add("CN", o.commonName);
}

// Serials of at most 8 bytes, positive without a sign byte, so they fit the agent's 11.
bool SetSerial(X509* x) {
  Ptr<BIGNUM> bn(BN_new());
  return bn && BN_rand(bn.get(), 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
         BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x)) != nullptr;
}

bool AddExtension(X509* x, X509V3_CTX* ctx, int nid, const std::string& value) {
  Ptr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  return ext && X509_add_ext(x, ext.get(), -1) == 1;
}

bool WriteCert(X509* x, const std::string& path) {
  Ptr<BIO> bio(BIO_new_file(path.c_str(), "wb"));
  return bio && PEM_write_bio_X509(bio.get(), x) == 1;
}

bool WriteKey(EVP_PKEY* key, const std::string& path) {
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return false;
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return WriteHostFile(path, std::string_view(data, static_cast<size_t>(n)), true);
}

Ptr<X509> ReadCert(const std::string& path) {
  Ptr<BIO> bio(BIO_new_file(path.c_str(), "rb"));
  return Ptr<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Ptr<EVP_PKEY> ReadKey(const std::string& path) {
  Ptr<BIO> bio(BIO_new_file(path.c_str(), "rb"));
  return Ptr<EVP_PKEY>(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Ptr<X509> NewCertificate(const CertOptions& o, EVP_PKEY* key) {
  Ptr<X509> x(X509_new());
  if (!x || X509_set_version(x.get(), X509_VERSION_3) != 1 || !SetSerial(x.get()) ||
      !SetName(X509_get_subject_name(x.get()), o) || X509_set_pubkey(x.get(), key) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(x.get()), static_cast<long>(o.days) * 86400))
    return nullptr;
  return x;
}

// The agent refuses what its parser does not take; check before anything is published.
std::string SelfCheck(const std::string& certPath, const std::string& caPath) {
  qz::qzRSACert ca, cert;
  std::string der;
  if (!caPath.empty()) {
    std::string caDer = CertificateDer(caPath);
    int r = ca.Parse(std::span(reinterpret_cast<const uint8_t*>(caDer.data()), caDer.size()), nullptr);
    if (r != 0) return "the CA certificate is refused by the agent's parser: " + std::to_string(r);
  }
  der = CertificateDer(certPath);
  int r = cert.Parse(std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()), caPath.empty() ? nullptr : &ca);
  if (r != 0) return "the new certificate is refused by the agent's parser: " + std::to_string(r);
  return {};
}

}  // namespace

std::string MakeCa(const CertOptions& o, const std::string& certPath, const std::string& keyPath) {
  if (o.organisation.empty() || o.country.empty()) return "a CA needs an organisation and a country";
  Ptr<EVP_PKEY> key = NewKey();
  if (!key) return "no RSA key could be generated";
  Ptr<X509> x = NewCertificate(o, key.get());
  if (!x || X509_set_issuer_name(x.get(), X509_get_subject_name(x.get())) != 1) return "cannot build the certificate";
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
  if (!AddExtension(x.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(x.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature") ||
      !AddExtension(x.get(), &ctx, NID_subject_key_identifier, "hash") || X509_sign(x.get(), key.get(), EVP_sha256()) <= 0)
    return "cannot sign the certificate";
  if (!WriteKey(key.get(), keyPath)) return "cannot write " + keyPath;
  if (!WriteCert(x.get(), certPath)) return "cannot write " + certPath;
  return SelfCheck(certPath, "");
}

std::string RotateCa(const CertOptions& o, const std::string& oldCertPath, const std::string& oldKeyPath,
                     const std::string& certPath, const std::string& keyPath) {
  if (o.crlUri.empty() || o.crlUri.size() >= 80) return "the CRL distribution point must be 1 to 79 characters";
  Ptr<X509> old = ReadCert(oldCertPath);
  Ptr<EVP_PKEY> oldKey = ReadKey(oldKeyPath);
  if (!old) return "cannot read the CA certificate " + oldCertPath;
  if (!oldKey || X509_check_private_key(old.get(), oldKey.get()) != 1)
    return "the old CA key does not match the CA certificate";
  std::string error = MakeCa(o, certPath, keyPath);
  if (!error.empty()) return error;
  Ptr<X509> fresh = ReadCert(certPath);
  Ptr<EVP_PKEY> freshKey = ReadKey(keyPath);
  if (!fresh || !freshKey) return "cannot read back the new CA";
  // The old CA certifies the new CA's key under the new CA's name: what the agent checks before it
  // lets the new CA replace the one it holds.
  Ptr<X509> cross = NewCertificate(o, freshKey.get());
  if (!cross || X509_set_subject_name(cross.get(), X509_get_subject_name(fresh.get())) != 1 ||
      X509_set_issuer_name(cross.get(), X509_get_subject_name(old.get())) != 1)
    return "cannot build the cross-certificate";
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, old.get(), cross.get(), nullptr, nullptr, 0);
  if (!AddExtension(cross.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(cross.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature") ||
      !AddExtension(cross.get(), &ctx, NID_subject_key_identifier, "hash") ||
      !AddExtension(cross.get(), &ctx, NID_authority_key_identifier, "keyid:always,issuer:always") ||
      !AddExtension(cross.get(), &ctx, NID_crl_distribution_points, "URI:" + o.crlUri) ||
      X509_sign(cross.get(), oldKey.get(), EVP_sha256()) <= 0)
    return "cannot sign the cross-certificate";
  // The new CA first, so that every reader that takes a file's first certificate gets the new CA.
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), fresh.get()) != 1 || PEM_write_bio_X509(bio.get(), cross.get()) != 1)
    return "cannot encode the certificates";
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  const std::string offer(data, static_cast<size_t>(n));
  if (!WriteHostFile(certPath, offer)) return "cannot write " + certPath;

  qz::qzRSACert held, successor;
  const std::string oldDer = CertificateDer(oldCertPath);
  int r = held.Parse(std::span(reinterpret_cast<const uint8_t*>(oldDer.data()), oldDer.size()), nullptr);
  if (r != 0) return "the old CA certificate is refused by the agent's parser: " + std::to_string(r);
  r = qz::CheckCaSuccessor(offer, held, &successor);
  if (r != 0) return "an agent holding the old CA would refuse the new one: " + std::to_string(r);
  return {};
}

std::string MakeCert(const CertOptions& o, const std::string& caCertPath, const std::string& caKeyPath,
                     const std::string& certPath, const std::string& keyPath) {
  if (o.organisation.empty() || o.country.empty()) return "a certificate needs an organisation and a country";
  if (o.upn.empty()) return "a certificate needs a user principal name";
  if (o.crlUri.empty() || o.crlUri.size() >= 80) return "the CRL distribution point must be 1 to 79 characters";
  Ptr<X509> ca = ReadCert(caCertPath);
  Ptr<EVP_PKEY> caKey = ReadKey(caKeyPath);
  if (!ca) return "cannot read the CA certificate " + caCertPath;
  if (!caKey || X509_check_private_key(ca.get(), caKey.get()) != 1) return "the CA key does not match the CA certificate";
  Ptr<EVP_PKEY> key = NewKey();
  if (!key) return "no RSA key could be generated";
  Ptr<X509> x = NewCertificate(o, key.get());
  if (!x || X509_set_issuer_name(x.get(), X509_get_subject_name(ca.get())) != 1) return "cannot build the certificate";
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, ca.get(), x.get(), nullptr, nullptr, 0);
  std::string san = "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:" + o.upn;
  for (const auto& d : o.dns) san += ",DNS:" + d;
  for (const auto& i : o.ip) san += ",IP:" + i;
  const char* usage = o.tlsServer ? "critical,digitalSignature,keyEncipherment" : "critical,digitalSignature";
  const char* extUsage = o.tlsServer ? "serverAuth" : "codeSigning";
  if (!AddExtension(x.get(), &ctx, NID_basic_constraints, "CA:FALSE") ||
      !AddExtension(x.get(), &ctx, NID_key_usage, usage) || !AddExtension(x.get(), &ctx, NID_ext_key_usage, extUsage) ||
      !AddExtension(x.get(), &ctx, NID_subject_key_identifier, "hash") ||
      !AddExtension(x.get(), &ctx, NID_authority_key_identifier, "keyid:always,issuer:always") ||
      !AddExtension(x.get(), &ctx, NID_crl_distribution_points, "URI:" + o.crlUri) ||
      !AddExtension(x.get(), &ctx, NID_subject_alt_name, san) || X509_sign(x.get(), caKey.get(), EVP_sha256()) <= 0)
    return "cannot build or sign the certificate (check the names given)";
  if (!WriteKey(key.get(), keyPath)) return "cannot write " + keyPath;
  if (!WriteCert(x.get(), certPath)) return "cannot write " + certPath;
  return SelfCheck(certPath, caCertPath);
}

std::string EncryptedPem(const std::string& der) {
  qz::qzAES cipher;
  cipher.SetKeyInput(qz::secrets::CertKeyInput());
  std::vector<uint8_t> sealed(der.size() + 32);
  int n = cipher.Encrypt(sealed, std::span(reinterpret_cast<const uint8_t*>(der.data()), der.size()));
  if (n <= 0 || static_cast<size_t>(n) > qz::qzRSACert::kMaxDecoded) return {};
  std::string b64(4 * ((static_cast<size_t>(n) + 2) / 3) + 1, '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), sealed.data(), n);
  b64.resize(static_cast<size_t>(len));
  std::string pem = "-----BEGIN ENCRYPTED CERTIFICATE-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) pem += b64.substr(i, 64) + "\n";
  pem += "-----END ENCRYPTED CERTIFICATE-----\n";
  return pem;
}

std::string EncryptCert(const std::string& inPath, const std::string& outPath) {
  std::string der = CertificateDer(inPath);
  if (der.empty()) return "cannot read a certificate from " + inPath;
  std::string pem = EncryptedPem(der);
  if (pem.empty()) return "the certificate is too large for the encrypted form";
  if (!WriteHostFile(outPath, pem)) return "cannot write " + outPath;
  return {};
}

std::string CertificateDer(const std::string& path) {
  std::string text, der;
  if (!ReadHostFile(path, &text)) return {};
  qz::qzAES cipher;
  cipher.SetKeyInput(qz::secrets::CertKeyInput());
  qz::qzRSACert reader;
  reader.SetCertificateCipher(&cipher);
  if (reader.DecodePem(text, &der) != 0) return {};
  return der;
}

}  // namespace qzpack
