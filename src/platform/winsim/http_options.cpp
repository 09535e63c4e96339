// Options and time-outs of the WinHTTP-shaped client, and the server certificate it hands out.
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/winsim/http_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

BOOL WinsimHttp::WinHttpSetOption(HINTERNET handle, DWORD option, const void* buffer, DWORD length) {
  auto o = GetObject(handle);
  if (!o) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  auto dword = [&](DWORD* out) {
    if (!buffer || length < sizeof(DWORD)) return false;
    std::memcpy(out, buffer, sizeof(DWORD));
    return true;
  };
  DWORD v = 0;
  switch (option) {
    case WINHTTP_OPTION_SECURE_PROTOCOLS:
      if (auto s = std::dynamic_pointer_cast<Session>(o); s && dword(&v)) {
        s->protocols = v;
        return TRUE;
      }
      break;
    case WINHTTP_OPTION_SECURITY_FLAGS:
      if (auto r = std::dynamic_pointer_cast<Request>(o); r && dword(&v)) {
        std::lock_guard lock(r->m);
        r->securityFlags = v;
        return TRUE;
      }
      break;
    case WINHTTP_OPTION_CONTEXT_VALUE:
      if (auto r = std::dynamic_pointer_cast<Request>(o); r && buffer && length >= sizeof(DWORD_PTR)) {
        std::lock_guard lock(r->m);
        std::memcpy(&r->context, buffer, sizeof(DWORD_PTR));
        return TRUE;
      }
      break;
    case WINHTTP_OPTION_RESOLVE_TIMEOUT:
    case WINHTTP_OPTION_CONNECT_TIMEOUT:
    case WINHTTP_OPTION_SEND_TIMEOUT:
    case WINHTTP_OPTION_RECEIVE_TIMEOUT:
      if (dword(&v)) {
        Timeouts* t = TimeoutsOf(o);
        if (!t) break;
        int ms = static_cast<int>(v);
        if (option == WINHTTP_OPTION_RESOLVE_TIMEOUT) t->resolve = ms;
        if (option == WINHTTP_OPTION_CONNECT_TIMEOUT) t->connect = ms;
        if (option == WINHTTP_OPTION_SEND_TIMEOUT) t->send = ms;
        if (option == WINHTTP_OPTION_RECEIVE_TIMEOUT) t->receive = ms;
        return TRUE;
      }
      break;
    default:
      return Fail<BOOL>(ERROR_WINHTTP_INVALID_OPTION, FALSE);
  }
  return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
}

BOOL WinsimHttp::WinHttpQueryOption(HINTERNET handle, DWORD option, void* buffer, DWORD* length) {
  auto o = GetObject(handle);
  if (!o) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  auto r = std::dynamic_pointer_cast<Request>(o);
  if (option == WINHTTP_OPTION_SERVER_CERT_CONTEXT) {
    if (!r || !r->secure) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
    if (!length || *length < sizeof(PCCERT_CONTEXT) || !buffer) {
      if (length) *length = sizeof(PCCERT_CONTEXT);
      return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::lock_guard lock(r->m);
    if (r->serverCert.empty()) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
    PCCERT_CONTEXT p = CopyCertificateContext(r->serverCert.data(), r->serverCert.size());
    std::memcpy(buffer, &p, sizeof p);
    *length = sizeof p;
    return TRUE;
  }
  if (option == WINHTTP_OPTION_SECURITY_FLAGS && r) {
    if (!buffer || !length || *length < sizeof(DWORD)) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::lock_guard lock(r->m);
    DWORD v = r->securityFlags | (r->secure ? SECURITY_FLAG_SECURE : 0);
    std::memcpy(buffer, &v, sizeof v);
    *length = sizeof v;
    return TRUE;
  }
  return Fail<BOOL>(ERROR_WINHTTP_INVALID_OPTION, FALSE);
}

BOOL WinsimHttp::WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) {
  auto o = GetObject(handle);
  if (!o) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (resolve < -1 || connect < -1 || send < -1 || receive < -1) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  Timeouts* t = TimeoutsOf(o);
  if (!t) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
  auto norm = [](int v) { return v < 0 ? 0 : v; };
  *t = Timeouts{norm(resolve), norm(connect), norm(send), norm(receive)};
  return TRUE;
}

Timeouts* WinsimHttp::TimeoutsOf(const std::shared_ptr<Object>& o) {
  if (auto s = std::dynamic_pointer_cast<Session>(o)) return &s->timeouts;
  if (auto c = std::dynamic_pointer_cast<Connection>(o)) return &c->timeouts;
  if (auto r = std::dynamic_pointer_cast<Request>(o)) return &r->timeouts;
  return nullptr;
}

}  // namespace winsim
