// A request of the WinHTTP-shaped client: its headers, sending it, and reading the response, each
// step waited for (synchronous sessions) or completed through the callback (asynchronous ones).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "platform/winsim/http_internal.h"
#include "platform/winsim/services.h"

namespace winsim {

using namespace win;

namespace {

constexpr size_t kMaxQueuedSend = 256 << 10;  // request body bytes queued before WriteData waits

}  // namespace

BOOL WinsimHttp::WinHttpAddRequestHeaders(HINTERNET request, std::u16string_view headers, DWORD modifiers) {
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

WINHTTP_STATUS_CALLBACK WinsimHttp::WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
    DWORD notificationFlags) {
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

BOOL WinsimHttp::WinHttpSendRequest(HINTERNET request, std::u16string_view headers, const void* optional,
                                    DWORD optionalLength, DWORD totalLength, DWORD_PTR context) {
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

BOOL WinsimHttp::WinHttpWriteData(HINTERNET request, const void* buffer, DWORD toWrite, DWORD* written) {
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

BOOL WinsimHttp::WinHttpReceiveResponse(HINTERNET request) {
  return Step(request, Pending::Receive, [](Request& r) { return r.headersDone; }, nullptr);
}

BOOL WinsimHttp::WinHttpQueryDataAvailable(HINTERNET request, DWORD* available) {
  return Step(request, Pending::Query,
              [](Request& r) { return r.headersDone && (r.Buffered() > 0 || (r.finished && !r.error)); },
              [&](Request& r) {
                if (available) *available = static_cast<DWORD>(std::min<size_t>(r.Buffered(), 0xFFFFFFFFu));
              });
}

BOOL WinsimHttp::WinHttpReadData(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) {
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

BOOL WinsimHttp::WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, std::u16string_view name, void* buffer,
                                     DWORD* length) {
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

std::vector<std::string> WinsimHttp::SplitLines(const std::string& text) {
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

bool WinsimHttp::FindHeader(const std::string& raw, std::string_view name, std::string* value) {
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

BOOL WinsimHttp::Step(HINTERNET request, Pending kind, std::function<bool(Request&)> ready,
                      std::function<void(Request&)> take, void* readBuffer, DWORD readSize) {
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

}  // namespace winsim
