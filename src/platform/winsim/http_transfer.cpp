// The transfer of a sent request, on a worker thread over a curl multi handle: the request body
// from the caller's queue, the response head and body into the request's bounded buffer.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "platform/winsim/http_internal.h"

namespace winsim {

using namespace win;

namespace {

constexpr size_t kMaxBuffered = 1 << 20;  // response bytes held before the transfer waits

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

}  // namespace

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

}  // namespace winsim
