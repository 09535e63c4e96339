// WinHTTP itself. The project's status callback has no calling convention of its own, so WinHTTP
// gets one trampoline declared CALLBACK that finds the project's callback of the handle (or of the
// handle it was opened from, as WinHTTP inherits callbacks) and forwards the notification with
// its context. Once a handle's callback is cleared or the handle closed, no notification reaches
// the project's callback any more, even one WinHTTP was delivering on another thread.
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/http.h"
#include "platform/win32/services.h"
#include "platform/win32/win_api.h"

#include <wincrypt.h>
#include <winhttp.h>

namespace win32 {

namespace {

struct Listener {
  win::WINHTTP_STATUS_CALLBACK callback = nullptr;
  int delivering = 0;
};

// Process-wide, as WinHTTP's callbacks are: handle → the project's callback, and handle → parent.
struct Callbacks {
  std::mutex m;
  std::condition_variable cv;
  std::unordered_map<HINTERNET, std::shared_ptr<Listener>> listeners;
  std::unordered_map<HINTERNET, HINTERNET> parents;
};

Callbacks& Table() {
  static Callbacks* table = new Callbacks;  // never destroyed: WinHTTP may call in during exit
  return *table;
}

thread_local int tDelivering = 0;

void CALLBACK Trampoline(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
  Callbacks& t = Table();
  std::shared_ptr<Listener> l;
  win::WINHTTP_STATUS_CALLBACK callback = nullptr;
  {
    std::lock_guard lock(t.m);
    for (HINTERNET h = handle; h && !l;) {
      auto it = t.listeners.find(h);
      if (it != t.listeners.end()) {
        l = it->second;
        break;
      }
      auto p = t.parents.find(h);
      h = p == t.parents.end() ? nullptr : p->second;
    }
    if (!l || !l->callback) return;
    callback = l->callback;
    ++l->delivering;
  }
  ++tDelivering;
  callback(handle, static_cast<win::DWORD_PTR>(context), static_cast<win::DWORD>(status), info,
              static_cast<win::DWORD>(infoLength));
  --tDelivering;
  {
    std::lock_guard lock(t.m);
    --l->delivering;
  }
  t.cv.notify_all();
}

// Stops notifications of one handle and waits out those under way (not one this thread is in).
void Forget(HINTERNET handle, bool closing) {
  Callbacks& t = Table();
  std::unique_lock lock(t.m);
  auto it = t.listeners.find(handle);
  if (it != t.listeners.end()) {
    std::shared_ptr<Listener> l = it->second;
    l->callback = nullptr;
    t.listeners.erase(it);
    if (!tDelivering) t.cv.wait(lock, [&] { return l->delivering == 0; });
  }
  if (closing) {
    t.parents.erase(handle);
  }
}

// The project's spelling of the failure value (WinHTTP's macro of the same name shadows it).
const win::WINHTTP_STATUS_CALLBACK kInvalidCallback =
    reinterpret_cast<win::WINHTTP_STATUS_CALLBACK>(static_cast<intptr_t>(-1));

std::wstring Z(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }
const wchar_t* OrNull(const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); }

class Win32Http : public win::IHttp {
 public:
  win::HINTERNET WinHttpOpen(std::u16string_view agent, win::DWORD accessType, std::u16string_view proxy,
                             std::u16string_view bypass, win::DWORD flags) override {
    const std::wstring a = Z(agent), p = Z(proxy), b = Z(bypass);
    return ::WinHttpOpen(OrNull(a), accessType, OrNull(p), OrNull(b), flags);
  }

  win::HINTERNET WinHttpConnect(win::HINTERNET session, std::u16string_view server,
                                win::INTERNET_PORT port) override {
    const std::wstring s = Z(server);
    HINTERNET h = ::WinHttpConnect(session, s.c_str(), port, 0);
    Remember(h, session);
    return h;
  }

  win::HINTERNET WinHttpOpenRequest(win::HINTERNET connect, std::u16string_view verb, std::u16string_view object,
                                    win::DWORD flags) override {
    const std::wstring v = Z(verb), o = Z(object);
    HINTERNET h = ::WinHttpOpenRequest(connect, OrNull(v), OrNull(o), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    Remember(h, connect);
    return h;
  }

  win::BOOL WinHttpCloseHandle(win::HINTERNET handle) override {
    // Closing may deliver the last notifications at once; they go nowhere from here on.
    Forget(handle, false);
    const BOOL ok = ::WinHttpCloseHandle(handle);
    if (ok) Forget(handle, true);
    return ok;
  }

  win::BOOL WinHttpAddRequestHeaders(win::HINTERNET request, std::u16string_view headers,
                                     win::DWORD modifiers) override {
    const std::wstring h = Z(headers);
    return ::WinHttpAddRequestHeaders(request, h.c_str(), static_cast<DWORD>(h.size()), modifiers);
  }

  win::BOOL WinHttpSetOption(win::HINTERNET handle, win::DWORD option, const void* buffer,
                             win::DWORD length) override {
    return ::WinHttpSetOption(handle, option, const_cast<void*>(buffer), length);
  }

  win::BOOL WinHttpQueryOption(win::HINTERNET handle, win::DWORD option, void* buffer, win::DWORD* length) override {
    if (option == WINHTTP_OPTION_SERVER_CERT_CONTEXT) {
      if (!length || *length < sizeof(win::PCCERT_CONTEXT) || !buffer) {
        if (length) *length = sizeof(win::PCCERT_CONTEXT);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      ::PCCERT_CONTEXT real = nullptr;
      DWORD size = sizeof real;
      if (!::WinHttpQueryOption(handle, option, &real, &size)) return FALSE;
      if (!real) {
        ::SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return FALSE;
      }
      // The certificate handed out is a copy of its DER bytes; WinHTTP's own context is freed at once.
      win::PCCERT_CONTEXT p = win::CopyCertificateContext(real->pbCertEncoded, real->cbCertEncoded,
                                                          real->dwCertEncodingType);
      ::CertFreeCertificateContext(real);
      std::memcpy(buffer, &p, sizeof p);
      *length = sizeof p;
      return TRUE;
    }
    DWORD size = length ? *length : 0;
    const BOOL ok = ::WinHttpQueryOption(handle, option, buffer, &size);
    if (length) *length = size;
    return ok;
  }

  win::BOOL WinHttpSetTimeouts(win::HINTERNET handle, int resolve, int connect, int send, int receive) override {
    // The interface's 0 is "no limit"; WinHTTP spells that -1 (its 0 would mean no time at all
    // for some of them).
    auto norm = [](int v) { return v == 0 ? -1 : v; };
    return ::WinHttpSetTimeouts(handle, norm(resolve), norm(connect), norm(send), norm(receive));
  }

  win::WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(win::HINTERNET handle, win::WINHTTP_STATUS_CALLBACK callback,
                                                        win::DWORD notificationFlags) override {
    win::WINHTTP_STATUS_CALLBACK previous = nullptr;
    {
      Callbacks& t = Table();
      std::lock_guard lock(t.m);
      auto it = t.listeners.find(handle);
      if (it != t.listeners.end()) previous = it->second->callback;
    }
    if (!callback) {
      Forget(handle, false);
      if (::WinHttpSetStatusCallback(handle, nullptr, 0, 0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return kInvalidCallback;
      return previous;
    }
    {
      Callbacks& t = Table();
      std::lock_guard lock(t.m);
      auto l = std::make_shared<Listener>();
      l->callback = callback;
      t.listeners[handle] = l;
    }
    if (::WinHttpSetStatusCallback(handle, Trampoline, notificationFlags, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      const DWORD error = ::GetLastError();
      Forget(handle, false);
      ::SetLastError(error);
      return kInvalidCallback;
    }
    return previous;
  }

  win::BOOL WinHttpSendRequest(win::HINTERNET request, std::u16string_view headers, const void* optional,
                               win::DWORD optionalLength, win::DWORD totalLength, win::DWORD_PTR context) override {
    const std::wstring h = Z(headers);
    return ::WinHttpSendRequest(request, h.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : h.c_str(),
                                static_cast<DWORD>(h.size()), const_cast<void*>(optional), optionalLength,
                                totalLength, static_cast<DWORD_PTR>(context));
  }

  win::BOOL WinHttpWriteData(win::HINTERNET request, const void* buffer, win::DWORD toWrite,
                             win::DWORD* written) override {
    DWORD n = 0;
    const BOOL ok = ::WinHttpWriteData(request, buffer, toWrite, written ? &n : nullptr);
    if (written) *written = n;
    return ok;
  }

  win::BOOL WinHttpReceiveResponse(win::HINTERNET request) override { return ::WinHttpReceiveResponse(request, nullptr); }

  win::BOOL WinHttpQueryHeaders(win::HINTERNET request, win::DWORD infoLevel, std::u16string_view name, void* buffer,
                                win::DWORD* length) override {
    const std::wstring n = Z(name);
    const bool custom = (infoLevel & 0xFFFF) == WINHTTP_QUERY_CUSTOM;
    DWORD size = length ? *length : 0;
    const BOOL ok = ::WinHttpQueryHeaders(request, infoLevel, custom ? n.c_str() : WINHTTP_HEADER_NAME_BY_INDEX,
                                          buffer, &size, WINHTTP_NO_HEADER_INDEX);
    if (length) *length = size;
    return ok;
  }

  // Asynchronous sessions report the count through the callback; the pointer must then be null,
  // since WinHTTP could write it after the call returns.
  win::BOOL WinHttpQueryDataAvailable(win::HINTERNET request, win::DWORD* available) override {
    DWORD n = 0;
    const BOOL ok = ::WinHttpQueryDataAvailable(request, available ? &n : nullptr);
    if (available) *available = n;
    return ok;
  }

  win::BOOL WinHttpReadData(win::HINTERNET request, void* buffer, win::DWORD toRead, win::DWORD* read) override {
    DWORD n = 0;
    const BOOL ok = ::WinHttpReadData(request, buffer, toRead, read ? &n : nullptr);
    if (read) *read = n;
    return ok;
  }

 private:
  static void Remember(HINTERNET child, HINTERNET parent) {
    if (!child) return;
    Callbacks& t = Table();
    std::lock_guard lock(t.m);
    t.parents[child] = parent;
  }
};

}  // namespace

std::unique_ptr<win::IHttp> MakeHttp() { return std::make_unique<Win32Http>(); }

}  // namespace win32
