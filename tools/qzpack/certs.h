// Certificates in the profile the agent accepts, made with OpenSSL.
#pragma once

#include <string>
#include <vector>

namespace qzpack {

struct CertOptions {
  std::string commonName;
  std::string organisation = "Qorv";
  std::string country = "KR";
  int days = 3650;
  // Issued certificates only.
  bool tlsServer = false;
  std::string upn;                   // user principal name, the first subject alternative name
  std::vector<std::string> dns, ip;  // further subject alternative names (TLS)
  std::string crlUri = "http://crl.qorv.invalid/qorv-ca.crl";
};

// Each returns an empty string on success, otherwise what went wrong.
std::string MakeCa(const CertOptions& o, const std::string& certPath, const std::string& keyPath);
// A new CA (key in keyPath) and, in certPath, the file to offer agents: the new self-signed CA
// certificate, then a certificate of the new key issued by the old CA.
std::string RotateCa(const CertOptions& o, const std::string& oldCertPath, const std::string& oldKeyPath,
                     const std::string& certPath, const std::string& keyPath);
std::string MakeCert(const CertOptions& o, const std::string& caCertPath, const std::string& caKeyPath,
                     const std::string& certPath, const std::string& keyPath);
// The encrypted PEM form of a certificate (its DER under the certificate cipher).
std::string EncryptCert(const std::string& inPath, const std::string& outPath);
std::string EncryptedPem(const std::string& der);

// DER of the first certificate of a PEM file (plain or encrypted form), empty on failure.
std::string CertificateDer(const std::string& path);

}  // namespace qzpack
