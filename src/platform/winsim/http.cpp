// WinHTTP-shaped client of a simulated machine over libcurl. Each sent request runs its transfer on
// a worker thread (a curl multi handle, so closing wakes it at once); the body passes through a
// bounded buffer that the caller drains with WinHttpQueryDataAvailable/WinHttpReadData, so nothing
// is held whole. Certificate faults are judged by our own verify callback so that the security
// flags waive exactly the faults they name.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "platform/text.h"
#include "platform/winsim/services.h"

namespace win {

namespace {
struct OwnedCert : CERT_CONTEXT {
  std::vector<BYTE> der;
};
}  // namespace

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  delete static_cast<const OwnedCert*>(context);
  return TRUE;
}

}  // namespace win

namespace winsim {

using namespace win;

namespace {

constexpr size_t kMaxBuffered = 1 << 20;   // response bytes held before the transfer waits
constexpr size_t kMaxQueuedSend = 256 << 10;  // request body bytes queued before WriteData waits

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
  DWORD protocols = 0;  // 0: the library's default range
  Timeouts timeouts;
};

struct Connection : Object {
  std::shared_ptr<Session> session;
  std::string host;
  INTERNET_PORT port = 0;
  Timeouts timeouts;
};

// Work that a caller left waiting (asynchronous sessions).
enum class Pending { None, Send, Receive, Query, Read };

struct Request : Object {
  // Fixed at open.
  std::shared_ptr<Connection> connection;
  HINTERNET handle = nullptr;
  bool async = false;
  bool secure = false;
  std::string verb, path, agent, host;
  INTERNET_PORT port = 0;
  DWORD protocols = 0;

  std::mutex m;
  std::condition_variable cv;
  Timeouts timeouts;
  DWORD securityFlags = 0;
  std::vector<std::string> headers;
  WINHTTP_STATUS_CALLBACK callback = nullptr;
  DWORD notify = 0;
  DWORD_PTR context = 0;

  // Transfer state.
  bool started = false, connected = false, headersDone = false, finished = false, closed = false;
  bool timedOut = false;
  DWORD error = 0;
  DWORD secureFaults = 0;
  std::vector<BYTE> serverCert;
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
  DWORD readSize = 0;

  size_t Buffered() const { return body.size() - bodyPos; }
  void Wake() {
    cv.notify_all();
    if (multi) curl_multi_wakeup(multi);
  }
};

// A notification to deliver once the request's lock is released.
struct Note {
  DWORD status = 0;
  std::vector<BYTE> info;
  void* infoPtr = nullptr;  // READ_COMPLETE points at the caller's buffer
  DWORD infoLength = 0;
};

class Notes {
 public:
  explicit Notes(Request& r) : r_(r) {}
  void Add(DWORD status, const void* info = nullptr, DWORD length = 0) {
    if (!r_.async || !r_.callback || !(r_.notify & status) || r_.closed) return;
    Note n;
    n.status = status;
    if (info && length) n.info.assign(static_cast<const BYTE*>(info), static_cast<const BYTE*>(info) + length);
    n.infoLength = length;
    notes_.push_back(std::move(n));
  }
  void AddRead(void* buffer, DWORD length) {
    if (!r_.async || !r_.callback || !(r_.notify & WINHTTP_CALLBACK_STATUS_READ_COMPLETE) || r_.closed) return;
    Note n;
    n.status = WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
    n.infoPtr = buffer;
    n.infoLength = length;
    notes_.push_back(std::move(n));
  }
  // Called without the lock held.
  void Deliver(WINHTTP_STATUS_CALLBACK cb, DWORD_PTR context) {
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
thread_local bool tDelivering = false;

template <class F>
void WithNotes(Request& r, F&& f) {
  Notes notes(r);
  WINHTTP_STATUS_CALLBACK cb;
  DWORD_PTR ctx;
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

DWORD_PTR ApiOf(Pending p) {
  switch (p) {
    case Pending::Send:
      return API_SEND_REQUEST;
    case Pending::Receive:
      return API_RECEIVE_RESPONSE;
    case Pending::Query:
      return API_QUERY_DATA_AVAILABLE;
    case Pending::Read:
      return API_READ_DATA;
    default:
      return 0;
  }
}

// Completes the waiting step when the state allows it (lock held).
void Serve(Request& r, Notes& notes) {
  if (r.pending == Pending::None) return;
  const bool failed = r.finished && r.error;
  switch (r.pending) {
    case Pending::Send:
      if (r.connected) {
        r.pending = Pending::None;
        notes.Add(WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE);
        return;
      }
      break;
    case Pending::Receive:
      if (r.headersDone) {
        r.pending = Pending::None;
        notes.Add(WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE);
        return;
      }
      break;
    case Pending::Query:
      if (r.Buffered() > 0 || (r.finished && !r.error)) {
        r.pending = Pending::None;
        DWORD n = static_cast<DWORD>(std::min<size_t>(r.Buffered(), 0xFFFFFFFFu));
        notes.Add(WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, &n, sizeof n);
        return;
      }
      break;
    case Pending::Read:
      if (r.Buffered() > 0 || (r.finished && !r.error)) {
        r.pending = Pending::None;
        DWORD n = static_cast<DWORD>(std::min<size_t>(r.Buffered(), r.readSize));
        if (n) std::memcpy(r.readBuffer, r.body.data() + r.bodyPos, n);
        r.bodyPos += n;
        if (r.bodyPos == r.body.size()) {
          r.body.clear();
          r.bodyPos = 0;
        }
        r.cv.notify_all();
        notes.AddRead(r.readBuffer, n);
        return;
      }
      break;
    default:
      break;
  }
  if (failed) {
    WINHTTP_ASYNC_RESULT res;
    res.dwResult = ApiOf(r.pending);
    res.dwError = r.error;
    r.pending = Pending::None;
    notes.Add(WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, &res, sizeof res);
  }
}

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

// The machine's trusted roots, read once: loading the bundle for every connection costs more
// than the whole exchange on loopback.
X509_STORE* TrustedRoots() {
  static X509_STORE* store = [] {
    X509_STORE* s = X509_STORE_new();
    if (s) X509_STORE_set_default_paths(s);
    return s;
  }();
  return store;
}

CURLcode SslContextCallback(CURL*, void* sslctx, void* user) {
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  if (X509_STORE* roots = TrustedRoots()) SSL_CTX_set1_cert_store(ctx, roots);
  SSL_CTX_set_ex_data(ctx, SslIndex(), user);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
  return CURLE_OK;
}

int PrereqCallback(void* user, char*, char*, int, int) {
  auto* r = static_cast<Request*>(user);
  WithNotes(*r, [&](Notes& notes) {
    r->connected = true;
    r->lastActivity = Clock::now();
    Serve(*r, notes);
  });
  return CURL_PREREQFUNC_OK;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  const size_t len = size * count;
  std::string line(data, len);
  WithNotes(*r, [&](Notes& notes) {
    r->lastActivity = Clock::now();
    if (line.rfind("HTTP/", 0) == 0) {
      // A new response head (an interim 1xx one is replaced by the final one).
      r->statusLine = line.substr(0, line.find_first_of("\r\n"));
      r->rawHeaders.clear();
      size_t sp = line.find(' ');
      r->status = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
    } else if (line == "\r\n" || line == "\n") {
      if (r->status >= 200 || r->status < 100) {
        r->headersDone = true;
        Serve(*r, notes);
      }
    } else {
      r->rawHeaders += line;
    }
  });
  return len;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  const size_t len = size * count;
  {
    std::unique_lock lock(r->m);
    r->cv.wait(lock, [&] { return r->closed || r->Buffered() < kMaxBuffered; });
    if (r->closed) return 0;
  }
  WithNotes(*r, [&](Notes& notes) {
    // Drop what was read once it is worth the copy, so the buffer stays bounded.
    if (r->bodyPos == r->body.size() || r->bodyPos >= kMaxBuffered / 2) {
      r->body.erase(0, r->bodyPos);
      r->bodyPos = 0;
    }
    r->body.append(data, len);
    r->lastActivity = Clock::now();
    Serve(*r, notes);
  });
  return len;
}

size_t ReadCallback(char* buffer, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  const size_t room = size * count;
  std::unique_lock lock(r->m);
  r->cv.wait(lock, [&] { return r->closed || !r->sendQueue.empty() || r->sendQueued >= r->sendTotal; });
  if (r->closed) return CURL_READFUNC_ABORT;
  size_t n = std::min(room, r->sendQueue.size());
  std::memcpy(buffer, r->sendQueue.data(), n);
  r->sendQueue.erase(0, n);
  r->lastActivity = Clock::now();
  r->cv.notify_all();
  return n;
}

DWORD MapError(CURLcode rc, const Request& r) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_WINHTTP_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
      return ERROR_WINHTTP_SECURE_FAILURE;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
      return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
      return r.timedOut ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_OPERATION_CANCELLED;
    default:
      return ERROR_WINHTTP_CONNECTION_ERROR;
  }
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

// Tracks the worker threads so the service can wait for them when it goes.
struct Workers {
  std::mutex m;
  std::condition_variable cv;
  int live = 0;
};

void RunTransfer(std::shared_ptr<Request> r, std::shared_ptr<Workers> workers) {
  CURL* e = curl_easy_init();
  curl_slist* list = nullptr;
  std::string url;
  {
    std::lock_guard lock(r->m);
    url = std::string(r->secure ? "https://" : "http://") + r->host + ":" + std::to_string(r->port) + r->path;
    auto hasHeader = [&](const char* name) {
      for (const auto& h : r->headers)
        if (EqualsNoCaseA(std::string_view(h).substr(0, std::strlen(name)), name)) return true;
      return false;
    };
    for (const auto& h : r->headers) list = curl_slist_append(list, h.c_str());
    // WinHTTP sends none of these on its own.
    if (!hasHeader("Accept:")) list = curl_slist_append(list, "Accept:");
    if (!hasHeader("Expect:")) list = curl_slist_append(list, "Expect:");
    if (!hasHeader("Content-Type:")) list = curl_slist_append(list, "Content-Type:");
    const Timeouts& t = r->timeouts;
    if (t.connect > 0) curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.connect));
  }
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_USERAGENT, r->agent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 128L * 1024);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, r.get());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, r.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, r.get());
  if (r->secure) {
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, SslContextCallback);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, r.get());
    curl_easy_setopt(e, CURLOPT_SSLVERSION, CurlTlsRange(r->protocols));
  }
  if (r->verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (r->verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else {
    if (r->verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r->verb.c_str());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r->sendTotal));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, ReadCallback);
    curl_easy_setopt(e, CURLOPT_READDATA, r.get());
  }

  CURLM* m = curl_multi_init();
  curl_multi_add_handle(m, e);
  {
    std::lock_guard lock(r->m);
    r->multi = m;
    r->lastActivity = Clock::now();
  }
  int running = 1;
  while (running) {
    if (curl_multi_perform(m, &running) != CURLM_OK || !running) break;
    {
      std::lock_guard lock(r->m);
      if (r->closed) break;
      // The receive time-out counts only silence of the server, not a caller that reads slowly.
      const int limit = r->timeouts.receive;
      if (limit > 0 && Clock::now() - r->lastActivity > std::chrono::milliseconds(limit)) {
        r->timedOut = true;
        break;
      }
    }
    curl_multi_poll(m, nullptr, 0, 100, nullptr);
  }
  CURLcode rc = CURLE_ABORTED_BY_CALLBACK;
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
    if (msg->msg == CURLMSG_DONE) rc = msg->data.result;
  }
  {
    std::lock_guard lock(r->m);
    r->multi = nullptr;
  }
  curl_multi_remove_handle(m, e);
  curl_multi_cleanup(m);
  curl_easy_cleanup(e);
  curl_slist_free_all(list);

  WithNotes(*r, [&](Notes& notes) {
    r->finished = true;
    if (rc != CURLE_OK) {
      r->error = MapError(rc, *r);
    } else if (!r->headersDone) {
      r->error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    }
    if (r->error == ERROR_WINHTTP_SECURE_FAILURE && r->pending != Pending::None) {
      DWORD flags = r->secureFaults ? r->secureFaults : WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;
      notes.Add(WINHTTP_CALLBACK_STATUS_SECURE_FAILURE, &flags, sizeof flags);
    }
    Serve(*r, notes);
    r->cv.notify_all();
  });
  {
    std::lock_guard lock(workers->m);
    --workers->live;
  }
  workers->cv.notify_all();
}

class WinsimHttp : public IHttp {
 public:
  WinsimHttp() : workers_(std::make_shared<Workers>()) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
  }
  ~WinsimHttp() override {
    std::vector<HINTERNET> open;
    {
      std::lock_guard lock(m_);
      for (auto& [h, o] : objects_) open.push_back(reinterpret_cast<HINTERNET>(h));
    }
    for (HINTERNET h : open) WinHttpCloseHandle(h);
    std::unique_lock lock(workers_->m);
    workers_->cv.wait(lock, [&] { return workers_->live == 0; });
  }

  HINTERNET WinHttpOpen(std::u16string_view agent, DWORD, std::u16string_view, std::u16string_view,
                        DWORD flags) override {
    auto s = std::make_shared<Session>();
    s->agent = WideToUtf8(agent);
    s->async = (flags & WINHTTP_FLAG_ASYNC) != 0;
    return Add(s);
  }

  HINTERNET WinHttpConnect(HINTERNET session, std::u16string_view server, INTERNET_PORT port) override {
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

  HINTERNET WinHttpOpenRequest(HINTERNET connect, std::u16string_view verb, std::u16string_view object,
                               DWORD flags) override {
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

  BOOL WinHttpCloseHandle(HINTERNET handle) override {
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

  BOOL WinHttpAddRequestHeaders(HINTERNET request, std::u16string_view headers, DWORD modifiers) override {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    std::lock_guard lock(r->m);
    if (r->started) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
    for (const auto& line : SplitLines(WideToUtf8(headers))) {
      size_t colon = line.find(':');
      if (colon == std::string::npos || colon == 0) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
      std::string name = line.substr(0, colon + 1);
      auto same = std::find_if(r->headers.begin(), r->headers.end(), [&](const std::string& h) {
        return EqualsNoCaseA(std::string_view(h).substr(0, name.size()), name);
      });
      if (same != r->headers.end() && (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW))
        return Fail<BOOL>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS, FALSE);
      if (same != r->headers.end() && (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE)) {
        *same = line;
      } else {
        r->headers.push_back(line);
      }
    }
    return TRUE;
  }

  BOOL WinHttpSetOption(HINTERNET handle, DWORD option, const void* buffer, DWORD length) override {
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

  BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, void* buffer, DWORD* length) override {
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
      auto* cert = new win::OwnedCert;
      cert->der = r->serverCert;
      cert->pbCertEncoded = cert->der.data();
      cert->cbCertEncoded = static_cast<DWORD>(cert->der.size());
      PCCERT_CONTEXT p = cert;
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

  BOOL WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) override {
    auto o = GetObject(handle);
    if (!o) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (resolve < -1 || connect < -1 || send < -1 || receive < -1) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    Timeouts* t = TimeoutsOf(o);
    if (!t) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE, FALSE);
    auto norm = [](int v) { return v < 0 ? 0 : v; };
    *t = Timeouts{norm(resolve), norm(connect), norm(send), norm(receive)};
    return TRUE;
  }

  WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
                                                   DWORD notificationFlags) override {
    auto r = Get<Request>(handle);
    if (!r) {
      // Sessions and connections accept a callback too, but nothing here reports through them.
      if (GetObject(handle)) return nullptr;
      SetLastError(ERROR_INVALID_HANDLE);
      return WINHTTP_INVALID_STATUS_CALLBACK;
    }
    std::lock_guard lock(r->m);
    WINHTTP_STATUS_CALLBACK old = r->callback;
    r->callback = callback;
    r->notify = notificationFlags;
    return old;
  }

  BOOL WinHttpSendRequest(HINTERNET request, std::u16string_view headers, const void* optional,
                          DWORD optionalLength, DWORD totalLength, DWORD_PTR context) override {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!headers.empty() && !WinHttpAddRequestHeaders(request, headers, WINHTTP_ADDREQ_FLAG_ADD)) return FALSE;
    {
      std::lock_guard lock(r->m);
      if (r->started) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
      r->started = true;
      r->context = context;
      r->sendTotal = std::max<uint64_t>(totalLength, optionalLength);
      if (optional && optionalLength) r->sendQueue.assign(static_cast<const char*>(optional), optionalLength);
      r->sendQueued = r->sendQueue.size();
      r->pending = r->async ? Pending::Send : Pending::None;
    }
    {
      std::lock_guard lock(workers_->m);
      ++workers_->live;
    }
    std::thread(RunTransfer, r, workers_).detach();
    if (r->async) return TRUE;
    std::unique_lock lock(r->m);
    r->cv.wait(lock, [&] { return r->connected || r->finished || r->closed; });
    if (r->connected) return TRUE;
    return Fail<BOOL>(r->error ? r->error : ERROR_WINHTTP_OPERATION_CANCELLED, FALSE);
  }

  BOOL WinHttpWriteData(HINTERNET request, const void* buffer, DWORD toWrite, DWORD* written) override {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    DWORD n = 0;
    {
      std::unique_lock lock(r->m);
      if (!r->started || r->headersDone) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
      n = static_cast<DWORD>(std::min<uint64_t>(toWrite, r->sendTotal - r->sendQueued));
      r->sendQueue.append(static_cast<const char*>(buffer), n);
      r->sendQueued += n;
      r->cv.notify_all();
      r->cv.wait(lock, [&] { return r->finished || r->closed || r->sendQueue.size() < kMaxQueuedSend; });
      if (r->finished && r->error) return Fail<BOOL>(r->error, FALSE);
    }
    if (written) *written = n;
    WithNotes(*r, [&](Notes& notes) { notes.Add(WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE, &n, sizeof n); });
    return TRUE;
  }

  BOOL WinHttpReceiveResponse(HINTERNET request) override {
    return Step(request, Pending::Receive, [](Request& r) { return r.headersDone; }, nullptr);
  }

  BOOL WinHttpQueryDataAvailable(HINTERNET request, DWORD* available) override {
    return Step(request, Pending::Query,
                [](Request& r) { return r.headersDone && (r.Buffered() > 0 || (r.finished && !r.error)); },
                [&](Request& r) {
                  if (available) *available = static_cast<DWORD>(std::min<size_t>(r.Buffered(), 0xFFFFFFFFu));
                });
  }

  BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) override {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (r->async) {
      if (read) *read = 0;
      return Step(request, Pending::Read, nullptr, nullptr, buffer, toRead);
    }
    return Step(request, Pending::Read,
                [](Request& r) { return r.headersDone && (r.Buffered() > 0 || (r.finished && !r.error)); },
                [&](Request& r) {
                  DWORD n = static_cast<DWORD>(std::min<size_t>(r.Buffered(), toRead));
                  if (n) std::memcpy(buffer, r.body.data() + r.bodyPos, n);
                  r.bodyPos += n;
                  if (r.bodyPos == r.body.size()) {
                    r.body.clear();
                    r.bodyPos = 0;
                  }
                  r.cv.notify_all();
                  if (read) *read = n;
                });
  }

  BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, std::u16string_view name, void* buffer,
                           DWORD* length) override {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!length) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    std::string value;
    {
      std::lock_guard lock(r->m);
      if (!r->headersDone) return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
      const DWORD level = infoLevel & 0xFFFF;
      bool found = true;
      switch (level) {
        case WINHTTP_QUERY_STATUS_CODE:
          value = std::to_string(r->status);
          break;
        case WINHTTP_QUERY_STATUS_TEXT: {
          size_t a = r->statusLine.find(' ');
          size_t b = a == std::string::npos ? a : r->statusLine.find(' ', a + 1);
          value = b == std::string::npos ? "" : r->statusLine.substr(b + 1);
          break;
        }
        case WINHTTP_QUERY_RAW_HEADERS_CRLF:
          value = r->statusLine + "\r\n" + r->rawHeaders + "\r\n";
          break;
        case WINHTTP_QUERY_CONTENT_LENGTH:
          found = FindHeader(r->rawHeaders, "Content-Length", &value);
          break;
        case WINHTTP_QUERY_CONTENT_TYPE:
          found = FindHeader(r->rawHeaders, "Content-Type", &value);
          break;
        case WINHTTP_QUERY_CONTENT_RANGE:
          found = FindHeader(r->rawHeaders, "Content-Range", &value);
          break;
        case WINHTTP_QUERY_CUSTOM:
          found = FindHeader(r->rawHeaders, WideToUtf8(name), &value);
          break;
        default:
          return Fail<BOOL>(ERROR_WINHTTP_INVALID_OPTION, FALSE);
      }
      if (!found) return Fail<BOOL>(ERROR_WINHTTP_HEADER_NOT_FOUND, FALSE);
    }
    if (infoLevel & WINHTTP_QUERY_FLAG_NUMBER) {
      if (!buffer || *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
      }
      char* end = nullptr;
      unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      if (end == value.c_str()) return Fail<BOOL>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE, FALSE);
      DWORD d = static_cast<DWORD>(n);
      std::memcpy(buffer, &d, sizeof d);
      *length = sizeof d;
      return TRUE;
    }
    std::u16string text = Utf8ToWide(value);
    const DWORD bytes = static_cast<DWORD>(text.size() * 2);
    if (!buffer || *length < bytes + 2) {
      *length = bytes + 2;
      return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::memcpy(buffer, text.c_str(), bytes + 2);
    *length = bytes;
    return TRUE;
  }

 private:
  template <class T>
  static T Fail(DWORD error, T value) {
    SetLastError(error);
    return value;
  }

  static std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find_first_of("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      if (end > pos) lines.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return lines;
  }

  static bool FindHeader(const std::string& raw, std::string_view name, std::string* value) {
    for (const auto& line : SplitLines(raw)) {
      size_t colon = line.find(':');
      if (colon == std::string::npos || !EqualsNoCaseA(std::string_view(line).substr(0, colon), name)) continue;
      size_t start = line.find_first_not_of(" \t", colon + 1);
      *value = start == std::string::npos ? "" : line.substr(start);
      while (!value->empty() && (value->back() == ' ' || value->back() == '\t')) value->pop_back();
      return true;
    }
    return false;
  }

  static Timeouts* TimeoutsOf(const std::shared_ptr<Object>& o) {
    if (auto s = std::dynamic_pointer_cast<Session>(o)) return &s->timeouts;
    if (auto c = std::dynamic_pointer_cast<Connection>(o)) return &c->timeouts;
    if (auto r = std::dynamic_pointer_cast<Request>(o)) return &r->timeouts;
    return nullptr;
  }

  // One receive/query/read step: synchronous sessions wait for `ready` and run `take`; asynchronous
  // ones leave the step pending and complete it through the callback (at once when it is ready).
  BOOL Step(HINTERNET request, Pending kind, std::function<bool(Request&)> ready,
            std::function<void(Request&)> take, void* readBuffer = nullptr, DWORD readSize = 0) {
    auto r = Get<Request>(request);
    if (!r) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (r->async) {
      bool ok = true;
      WithNotes(*r, [&](Notes& notes) {
        if (!r->started || r->pending != Pending::None || (kind != Pending::Receive && !r->headersDone)) {
          ok = false;
          return;
        }
        r->pending = kind;
        r->readBuffer = readBuffer;
        r->readSize = readSize;
        Serve(*r, notes);
      });
      return ok ? TRUE : Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
    }
    std::unique_lock lock(r->m);
    if (!r->started || (kind != Pending::Receive && !r->headersDone))
      return Fail<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE, FALSE);
    r->cv.wait(lock, [&] { return ready(*r) || r->finished || r->closed; });
    if (!ready(*r)) return Fail<BOOL>(r->error ? r->error : ERROR_WINHTTP_OPERATION_CANCELLED, FALSE);
    if (take) take(*r);
    return TRUE;
  }

  HINTERNET Add(std::shared_ptr<Object> o) {
    std::lock_guard lock(m_);
    uintptr_t h = next_;
    next_ += 4;
    objects_[h] = std::move(o);
    return reinterpret_cast<HINTERNET>(h);
  }
  std::shared_ptr<Object> GetObject(HINTERNET h) {
    std::lock_guard lock(m_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(h));
    return it == objects_.end() ? nullptr : it->second;
  }
  template <class T>
  std::shared_ptr<T> Get(HINTERNET h) {
    return std::dynamic_pointer_cast<T>(GetObject(h));
  }

  std::mutex m_;
  uintptr_t next_ = 0xC0000;
  std::map<uintptr_t, std::shared_ptr<Object>> objects_;
  std::shared_ptr<Workers> workers_;
};

}  // namespace

std::unique_ptr<IHttp> MakeHttp(std::shared_ptr<Machine>) { return std::make_unique<WinsimHttp>(); }

}  // namespace winsim
