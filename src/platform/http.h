// HTTP client shaped like WinHTTP: sessions, connections and requests with status callbacks. A
// session opened with WINHTTP_FLAG_ASYNC completes its send, receive, query and read steps through
// the request's status callback (possibly before the call returns, on any thread); a synchronous
// session blocks in those calls instead. Handles are closed with WinHttpCloseHandle.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/types.h"

namespace win {

using HINTERNET = void*;
using DWORD_PTR = uintptr_t;
using INTERNET_PORT = WORD;

using WINHTTP_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD status, void* info,
                                         DWORD infoLength);
inline const WINHTTP_STATUS_CALLBACK WINHTTP_INVALID_STATUS_CALLBACK =
    reinterpret_cast<WINHTTP_STATUS_CALLBACK>(static_cast<intptr_t>(-1));

constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_FLAG_ASYNC = 0x10000000;

// WinHttpOpenRequest flags.
constexpr DWORD WINHTTP_FLAG_BYPASS_PROXY_CACHE = 0x00000100;
constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;

// WinHttpAddRequestHeaders modifiers.
constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD_IF_NEW = 0x10000000;
constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// Options.
constexpr DWORD WINHTTP_OPTION_RESOLVE_TIMEOUT = 2;
constexpr DWORD WINHTTP_OPTION_CONNECT_TIMEOUT = 3;
constexpr DWORD WINHTTP_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD WINHTTP_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD WINHTTP_OPTION_SECURITY_FLAGS = 31;
constexpr DWORD WINHTTP_OPTION_CONTEXT_VALUE = 45;
constexpr DWORD WINHTTP_OPTION_SERVER_CERT_CONTEXT = 78;
constexpr DWORD WINHTTP_OPTION_SECURE_PROTOCOLS = 84;

constexpr DWORD SECURITY_FLAG_SECURE = 0x00000001;
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE = 0x00000200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 = 0x00000008;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 = 0x00000020;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 = 0x00000080;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 = 0x00000200;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 = 0x00000800;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 = 0x00002000;

// WinHttpQueryHeaders information levels.
constexpr DWORD WINHTTP_QUERY_CONTENT_TYPE = 1;
constexpr DWORD WINHTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD WINHTTP_QUERY_STATUS_TEXT = 20;
constexpr DWORD WINHTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD WINHTTP_QUERY_CONTENT_RANGE = 42;
constexpr DWORD WINHTTP_QUERY_CUSTOM = 65535;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;

// Status notifications and the flags that select them.
constexpr DWORD WINHTTP_CALLBACK_STATUS_SECURE_FAILURE = 0x00010000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE = 0x00020000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE = 0x00040000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_READ_COMPLETE = 0x00080000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE = 0x00100000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_REQUEST_ERROR = 0x00200000;
constexpr DWORD WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE = 0x00400000;
constexpr DWORD WINHTTP_CALLBACK_FLAG_SECURE_FAILURE = WINHTTP_CALLBACK_STATUS_SECURE_FAILURE;
constexpr DWORD WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS = 0x007E0000;
constexpr DWORD WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS = 0xFFFFFFFFu;

// Flags of the secure-failure notification.
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED = 0x00000001;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT = 0x00000002;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED = 0x00000004;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA = 0x00000008;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID = 0x00000010;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID = 0x00000020;
constexpr DWORD WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR = 0x80000000u;

// The step a REQUEST_ERROR notification reports (WINHTTP_ASYNC_RESULT::dwResult).
constexpr DWORD_PTR API_RECEIVE_RESPONSE = 1;
constexpr DWORD_PTR API_QUERY_DATA_AVAILABLE = 2;
constexpr DWORD_PTR API_READ_DATA = 3;
constexpr DWORD_PTR API_WRITE_DATA = 4;
constexpr DWORD_PTR API_SEND_REQUEST = 5;

struct WINHTTP_ASYNC_RESULT {
  DWORD_PTR dwResult = 0;
  DWORD dwError = 0;
};

// Error codes (winhttp.h).
constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_WINHTTP_INVALID_OPTION = 12009;
constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_WINHTTP_HEADER_ALREADY_EXISTS = 12155;
constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;

// A certificate as crypt32 hands it out; released with CertFreeCertificateContext.
constexpr DWORD X509_ASN_ENCODING = 0x1;
struct CERT_CONTEXT {
  DWORD dwCertEncodingType = X509_ASN_ENCODING;
  const BYTE* pbCertEncoded = nullptr;  // DER bytes
  DWORD cbCertEncoded = 0;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

class IHttp {
 public:
  virtual ~IHttp() = default;

  virtual HINTERNET WinHttpOpen(std::u16string_view agent, DWORD accessType, std::u16string_view proxy,
                                std::u16string_view bypass, DWORD flags) = 0;
  virtual HINTERNET WinHttpConnect(HINTERNET session, std::u16string_view server, INTERNET_PORT port) = 0;
  // verb empty means "GET"; object is the path with its query.
  virtual HINTERNET WinHttpOpenRequest(HINTERNET connect, std::u16string_view verb, std::u16string_view object,
                                       DWORD flags) = 0;
  virtual BOOL WinHttpCloseHandle(HINTERNET handle) = 0;

  // Header lines separated by CR LF.
  virtual BOOL WinHttpAddRequestHeaders(HINTERNET request, std::u16string_view headers, DWORD modifiers) = 0;
  virtual BOOL WinHttpSetOption(HINTERNET handle, DWORD option, const void* buffer, DWORD length) = 0;
  // WINHTTP_OPTION_SERVER_CERT_CONTEXT stores a PCCERT_CONTEXT into the buffer.
  virtual BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, void* buffer, DWORD* length) = 0;
  // Milliseconds; 0 means no limit.
  virtual BOOL WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) = 0;
  // Returns the previous callback, or WINHTTP_INVALID_STATUS_CALLBACK on failure.
  virtual WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
                                                           DWORD notificationFlags) = 0;

  // totalLength above optionalLength announces body bytes that follow through WinHttpWriteData.
  virtual BOOL WinHttpSendRequest(HINTERNET request, std::u16string_view headers, const void* optional,
                                  DWORD optionalLength, DWORD totalLength, DWORD_PTR context) = 0;
  virtual BOOL WinHttpWriteData(HINTERNET request, const void* buffer, DWORD toWrite, DWORD* written) = 0;
  virtual BOOL WinHttpReceiveResponse(HINTERNET request) = 0;
  // With WINHTTP_QUERY_FLAG_NUMBER the buffer receives a DWORD; otherwise UTF-16 text (length in
  // bytes, without the terminator). WINHTTP_QUERY_CUSTOM looks up `name`.
  virtual BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, std::u16string_view name, void* buffer,
                                   DWORD* length) = 0;
  virtual BOOL WinHttpQueryDataAvailable(HINTERNET request, DWORD* available) = 0;
  virtual BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) = 0;
};

// A certificate context holding its own copy of the DER bytes, as both backends hand it out;
// released with CertFreeCertificateContext.
PCCERT_CONTEXT CopyCertificateContext(const BYTE* der, size_t size, DWORD encodingType = X509_ASN_ENCODING);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

}  // namespace win
