// TLS of the WinHTTP-shaped client: the machine's trusted roots, and certificate faults judged by
// our own verify callback so that the security flags waive exactly the faults they name.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/winsim/http_internal.h"

namespace winsim {

using namespace win;

namespace {

int SslIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

bool IsIpAddress(const std::string& host) {
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// Sorts each certificate fault into the notification flag WinHTTP reports and the security flag
// that waives it (0: nothing waives it).
void ClassifyFault(int err, DWORD* fault, DWORD* waiver) {
  switch (err) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      *fault = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
      *waiver = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      return;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      *fault = WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
      *waiver = SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
      return;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      *fault = WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
      *waiver = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
      return;
    case X509_V_ERR_INVALID_PURPOSE:
      *fault = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
      *waiver = SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      return;
    default:
      *fault = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
      *waiver = 0;
  }
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* r = ssl ? static_cast<Request*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslIndex())) : nullptr;
  if (!r) return ok;
  std::lock_guard lock(r->m);
  auto judge = [&](int err) {
    DWORD fault = 0, waiver = 0;
    ClassifyFault(err, &fault, &waiver);
    if (waiver && (r->securityFlags & waiver)) {
      X509_STORE_CTX_set_error(store, X509_V_OK);
      return 1;
    }
    r->secureFaults |= fault;
    return 0;
  };
  const int err = X509_STORE_CTX_get_error(store);
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (X509_STORE_CTX_get_error_depth(store) == 0 && cert && r->serverCert.empty()) {
    int len = i2d_X509(cert, nullptr);
    if (len > 0) {
      r->serverCert.resize(static_cast<size_t>(len));
      unsigned char* p = r->serverCert.data();
      i2d_X509(cert, &p);
    }
    // The name check runs here because the transfer's own check is off (it cannot be waived alone).
    bool nameOk = IsIpAddress(r->host) ? X509_check_ip_asc(cert, r->host.c_str(), 0) == 1
                                       : X509_check_host(cert, r->host.c_str(), r->host.size(), 0, nullptr) == 1;
    if (!nameOk && !judge(IsIpAddress(r->host) ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH)) {
      X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
      return 0;
    }
  }
  if (ok) return 1;
  return judge(err);
}

// The machine's trusted roots: the host's certificate folder (SSL_CERT_DIR, else OpenSSL's), where
// a handshake looks up the issuer it needs by its name's hash. The bundle file holds the same
// roots, but parsing it whole, as the default paths do, cost a program more than all its
// exchanges on loopback.
X509_STORE* TrustedRoots() {
  static X509_STORE* store = [] {
    X509_STORE* s = X509_STORE_new();
    if (!s) return s;
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    if (X509_LOOKUP* lookup = X509_STORE_add_lookup(s, X509_LOOKUP_hash_dir()))
      X509_LOOKUP_add_dir(lookup, dir && *dir ? dir : X509_get_default_cert_dir(), X509_FILETYPE_PEM);
    return s;
  }();
  return store;
}

}  // namespace

CURLcode SslContextCallback(CURL*, void* sslctx, void* user) {
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  if (X509_STORE* roots = TrustedRoots()) SSL_CTX_set1_cert_store(ctx, roots);
  SSL_CTX_set_ex_data(ctx, SslIndex(), user);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
  return CURLE_OK;
}

long CurlTlsRange(DWORD protocols) {
  if (!protocols) return CURL_SSLVERSION_DEFAULT;
  struct Bit {
    DWORD flag;
    long min, max;
  };
  static const Bit bits[] = {
      {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0},
      {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1},
      {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2},
      {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3},
  };
  long min = 0, max = 0;
  for (const auto& b : bits) {
    if (!(protocols & b.flag)) continue;
    if (!min) min = b.min;
    max = b.max;
  }
  // Only SSL 2/3 asked for: nothing this library offers, so the handshake must fail.
  if (!min) return CURL_SSLVERSION_SSLv3;
  return min | max;
}

}  // namespace winsim
