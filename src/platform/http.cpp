#include "platform/http.h"

#include <vector>

namespace win {

namespace {
struct OwnedCert : CERT_CONTEXT {
  std::vector<BYTE> der;
};
}  // namespace

PCCERT_CONTEXT CopyCertificateContext(const BYTE* der, size_t size, DWORD encodingType) {
  auto* cert = new OwnedCert;
  cert->der.assign(der, der + size);
  cert->pbCertEncoded = cert->der.data();
  cert->cbCertEncoded = static_cast<DWORD>(cert->der.size());
  cert->dwCertEncodingType = encodingType;
  return cert;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  delete static_cast<const OwnedCert*>(context);
  return TRUE;
}

}  // namespace win
