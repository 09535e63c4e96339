// Notifications of asynchronous WinHTTP-shaped sessions: the step a caller left waiting completes
// once the transfer's state allows it.
#include <algorithm>
#include <cstring>

#include "platform/winsim/http_internal.h"

namespace winsim {

using namespace win;

thread_local bool tDelivering = false;

namespace {

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

}  // namespace

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

}  // namespace winsim
