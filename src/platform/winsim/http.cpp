// WinHTTP-shaped client of a simulated machine over libcurl. Each sent request runs its transfer on
// a worker thread (a curl multi handle, so closing wakes it at once); the body passes through a
// bounded buffer that the caller drains with WinHttpQueryDataAvailable/WinHttpReadData, so nothing
// is held whole. Certificate faults are judged by our own verify callback so that the security
// flags waive exactly the faults they name.
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/http_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

WinsimHttp::WinsimHttp() : workers_(std::make_shared<Workers>()) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

WinsimHttp::~WinsimHttp() {
  std::vector<HINTERNET> open;
  {
    std::lock_guard lock(m_);
    for (auto& [h, o] : objects_) open.push_back(reinterpret_cast<HINTERNET>(h));
  }
  for (HINTERNET h : open) WinHttpCloseHandle(h);
  std::unique_lock lock(workers_->m);
  workers_->cv.wait(lock, [&] { return workers_->live == 0; });
}

HINTERNET WinsimHttp::WinHttpOpen(std::u16string_view agent, DWORD, std::u16string_view, std::u16string_view,
                                  DWORD flags) {
  auto s = std::make_shared<Session>();
  s->agent = WideToUtf8(agent);
  s->async = (flags & WINHTTP_FLAG_ASYNC) != 0;
  return Add(s);
}

HINTERNET WinsimHttp::WinHttpConnect(HINTERNET session, std::u16string_view server, INTERNET_PORT port) {
  auto s = Get<Session>(session);
  if (!s) return Fail<HINTERNET>(ERROR_INVALID_HANDLE, nullptr);
  if (server.empty()) return Fail<HINTERNET>(ERROR_WINHTTP_INVALID_URL, nullptr);
  auto c = std::make_shared<Connection>();
  c->session = s;
  c->host = WideToUtf8(server);
  c->port = port ? port : INTERNET_DEFAULT_HTTP_PORT;
  c->timeouts = s->timeouts;
  return Add(c);
}

HINTERNET WinsimHttp::WinHttpOpenRequest(HINTERNET connect, std::u16string_view verb, std::u16string_view object,
                                         DWORD flags) {
  auto c = Get<Connection>(connect);
  if (!c) return Fail<HINTERNET>(ERROR_INVALID_HANDLE, nullptr);
  auto r = std::make_shared<Request>();
  r->connection = c;
  r->async = c->session->async;
  r->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
  r->verb = verb.empty() ? "GET" : WideToUtf8(verb);
  r->path = object.empty() ? "/" : WideToUtf8(object);
  if (r->path[0] != '/') r->path.insert(0, "/");
  r->agent = c->session->agent;
  r->host = c->host;
  r->port = c->port;
  r->protocols = c->session->protocols;
  r->timeouts = c->timeouts;
  r->handle = Add(r);
  return r->handle;
}

BOOL WinsimHttp::WinHttpCloseHandle(HINTERNET handle) {
  std::shared_ptr<Object> o;
  {
    std::lock_guard lock(m_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    o = std::move(it->second);
    objects_.erase(it);
  }
  if (auto r = std::dynamic_pointer_cast<Request>(o)) {
    std::unique_lock lock(r->m);
    r->closed = true;
    r->callback = nullptr;
    r->Wake();
    // Once closed, no notification may still reach the caller (it may be about to go away);
    // a close from inside a notification cannot wait for itself.
    if (!tDelivering) r->cv.wait(lock, [&] { return r->delivering == 0; });
  }
  return TRUE;
}

HINTERNET WinsimHttp::Add(std::shared_ptr<Object> o) {
  std::lock_guard lock(m_);
  uintptr_t h = next_;
  next_ += 4;
  objects_[h] = std::move(o);
  return reinterpret_cast<HINTERNET>(h);
}

std::shared_ptr<Object> WinsimHttp::GetObject(HINTERNET h) {
  std::lock_guard lock(m_);
  auto it = objects_.find(reinterpret_cast<uintptr_t>(h));
  return it == objects_.end() ? nullptr : it->second;
}

std::unique_ptr<IHttp> MakeHttp(std::shared_ptr<Machine>) { return std::make_unique<WinsimHttp>(); }

}  // namespace winsim
