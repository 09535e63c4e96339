// The WinHTTP-shaped client of a simulated machine, shared by the files that implement it: its
// handles, the state of a request that its transfer and its caller share, the notifications of
// asynchronous sessions, and the service itself.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"

namespace winsim {

using Clock = std::chrono::steady_clock;

struct Timeouts {
  int resolve = 0;
  int connect = 60000;
  int send = 30000;
  int receive = 30000;
};

struct Object {
  virtual ~Object() = default;
};

struct Session : Object {
  std::string agent;
  bool async = false;
  win::DWORD protocols = 0;  // 0: the library's default range
  Timeouts timeouts;
};

struct Connection : Object {
  std::shared_ptr<Session> session;
  std::string host;
  win::INTERNET_PORT port = 0;
  Timeouts timeouts;
};

// Work that a caller left waiting (asynchronous sessions).
enum class Pending { None, Send, Receive, Query, Read };

struct Request : Object {
  // Fixed at open.
  std::shared_ptr<Connection> connection;
  win::HINTERNET handle = nullptr;
  bool async = false;
  bool secure = false;
  std::string verb, path, agent, host;
  win::INTERNET_PORT port = 0;
  win::DWORD protocols = 0;

  std::mutex m;
  std::condition_variable cv;
  Timeouts timeouts;
  win::DWORD securityFlags = 0;
  std::vector<std::string> headers;
  win::WINHTTP_STATUS_CALLBACK callback = nullptr;
  win::DWORD notify = 0;
  win::DWORD_PTR context = 0;

  // Transfer state.
  bool started = false, connected = false, headersDone = false, finished = false, closed = false;
  bool timedOut = false;
  win::DWORD error = 0;
  win::DWORD secureFaults = 0;
  std::vector<win::BYTE> serverCert;
  long status = 0;
  std::string statusLine, rawHeaders;  // rawHeaders: header lines after the status line
  std::string body;                    // buffered response bytes from bodyPos on
  size_t bodyPos = 0;
  std::string sendQueue;  // request body bytes not yet taken by the transfer
  uint64_t sendTotal = 0, sendQueued = 0;
  Clock::time_point lastActivity = Clock::now();
  CURLM* multi = nullptr;
  int delivering = 0;  // notifications being delivered outside the lock

  Pending pending = Pending::None;
  void* readBuffer = nullptr;
  win::DWORD readSize = 0;

  size_t Buffered() const { return body.size() - bodyPos; }
  void Wake() {
    cv.notify_all();
    if (multi) curl_multi_wakeup(multi);
  }
};

// A notification to deliver once the request's lock is released.
struct Note {
  win::DWORD status = 0;
  std::vector<win::BYTE> info;
  void* infoPtr = nullptr;  // READ_COMPLETE points at the caller's buffer
  win::DWORD infoLength = 0;
};

class Notes {
 public:
  explicit Notes(Request& r) : r_(r) {}
  void Add(win::DWORD status, const void* info = nullptr, win::DWORD length = 0) {
    if (!r_.async || !r_.callback || !(r_.notify & status) || r_.closed) return;
    Note n;
    n.status = status;
    if (info && length) n.info.assign(static_cast<const win::BYTE*>(info),
        static_cast<const win::BYTE*>(info) + length);
    n.infoLength = length;
    notes_.push_back(std::move(n));
  }
  void AddRead(void* buffer, win::DWORD length) {
    if (!r_.async || !r_.callback || !(r_.notify & win::WINHTTP_CALLBACK_STATUS_READ_COMPLETE) || r_.closed) return;
    Note n;
    n.status = win::WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
    n.infoPtr = buffer;
    n.infoLength = length;
    notes_.push_back(std::move(n));
  }
  // Called without the lock held.
  void Deliver(win::WINHTTP_STATUS_CALLBACK cb, win::DWORD_PTR context) {
    for (auto& n : notes_) {
      void* info = n.infoPtr ? n.infoPtr : (n.info.empty() ? nullptr : n.info.data());
      cb(r_.handle, context, n.status, info, n.infoLength);
    }
    notes_.clear();
  }
  bool empty() const { return notes_.empty(); }

 private:
  Request& r_;
  std::vector<Note> notes_;
};

// Collect notifications under the lock, deliver them after it.
extern thread_local bool tDelivering;

template <class F>
void WithNotes(Request& r, F&& f) {
  Notes notes(r);
  win::WINHTTP_STATUS_CALLBACK cb;
  win::DWORD_PTR ctx;
  {
    std::lock_guard lock(r.m);
    f(notes);
    cb = r.callback;
    ctx = r.context;
    if (cb && !notes.empty()) ++r.delivering;
  }
  r.cv.notify_all();  // synchronous callers wait on the same state
  if (cb && !notes.empty()) {
    const bool outer = !tDelivering;
    tDelivering = true;
    notes.Deliver(cb, ctx);
    if (outer) tDelivering = false;
    {
      std::lock_guard lock(r.m);
      --r.delivering;
    }
    r.cv.notify_all();
  }
}

// Completes the waiting step when the state allows it (lock held).
void Serve(Request& r, Notes& notes);

CURLcode SslContextCallback(CURL*, void* sslctx, void* user);
long CurlTlsRange(win::DWORD protocols);

// Tracks the worker threads so the service can wait for them when it goes.
struct Workers {
  std::mutex m;
  std::condition_variable cv;
  int live = 0;
};

void RunTransfer(std::shared_ptr<Request> r, std::shared_ptr<Workers> workers);

class WinsimHttp : public win::IHttp {
 public:
  WinsimHttp();
  ~WinsimHttp() override;
  win::HINTERNET WinHttpOpen(std::u16string_view agent, win::DWORD, std::u16string_view, std::u16string_view,
                             win::DWORD flags) override;
  win::HINTERNET WinHttpConnect(win::HINTERNET session, std::u16string_view server, win::INTERNET_PORT port) override;
  win::HINTERNET WinHttpOpenRequest(win::HINTERNET connect, std::u16string_view verb, std::u16string_view object,
                                    win::DWORD flags) override;
  win::BOOL WinHttpCloseHandle(win::HINTERNET handle) override;
  win::BOOL WinHttpAddRequestHeaders(win::HINTERNET request, std::u16string_view headers,
                                     win::DWORD modifiers) override;
  win::BOOL WinHttpSetOption(win::HINTERNET handle, win::DWORD option, const void* buffer, win::DWORD length) override;
  win::BOOL WinHttpQueryOption(win::HINTERNET handle, win::DWORD option, void* buffer, win::DWORD* length) override;
  win::BOOL WinHttpSetTimeouts(win::HINTERNET handle, int resolve, int connect, int send, int receive) override;
  win::WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(win::HINTERNET handle, win::WINHTTP_STATUS_CALLBACK callback,
                                                        win::DWORD notificationFlags) override;
  win::BOOL WinHttpSendRequest(win::HINTERNET request, std::u16string_view headers, const void* optional,
                               win::DWORD optionalLength, win::DWORD totalLength, win::DWORD_PTR context) override;
  win::BOOL WinHttpWriteData(win::HINTERNET request, const void* buffer, win::DWORD toWrite,
                             win::DWORD* written) override;
  win::BOOL WinHttpReceiveResponse(win::HINTERNET request) override;
  win::BOOL WinHttpQueryDataAvailable(win::HINTERNET request, win::DWORD* available) override;
  win::BOOL WinHttpReadData(win::HINTERNET request, void* buffer, win::DWORD toRead, win::DWORD* read) override;
  win::BOOL WinHttpQueryHeaders(win::HINTERNET request, win::DWORD infoLevel, std::u16string_view name, void* buffer,
                                win::DWORD* length) override;

 private:
  template <class T>
  static T Fail(win::DWORD error, T value) {
    win::SetLastError(error);
    return value;
  }

  static std::vector<std::string> SplitLines(const std::string& text);
  static bool FindHeader(const std::string& raw, std::string_view name, std::string* value);
  static Timeouts* TimeoutsOf(const std::shared_ptr<Object>& o);

  // One receive/query/read step: synchronous sessions wait for `ready` and run `take`; asynchronous
  // ones leave the step pending and complete it through the callback (at once when it is ready).
  win::BOOL Step(win::HINTERNET request, Pending kind, std::function<bool(Request&)> ready,
                 std::function<void(Request&)> take, void* readBuffer = nullptr, win::DWORD readSize = 0);
  win::HINTERNET Add(std::shared_ptr<Object> o);
  std::shared_ptr<Object> GetObject(win::HINTERNET h);
  template <class T>
  std::shared_ptr<T> Get(win::HINTERNET h) {
    return std::dynamic_pointer_cast<T>(GetObject(h));
  }

  std::mutex m_;
  uintptr_t next_ = 0xC0000;
  std::map<uintptr_t, std::shared_ptr<Object>> objects_;
  std::shared_ptr<Workers> workers_;
};

}  // namespace winsim
