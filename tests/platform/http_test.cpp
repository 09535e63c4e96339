// The WinHTTP-shaped client where no server is needed, on both backends: a refused connection
// fails the send step through the request-error notification (what the transport waits for) or
// the synchronous call, and a cleared callback hears nothing more.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "support/conformance_host.h"

namespace {

using namespace win;

// Nothing listens on the TCP port multiplexer's port of the loopback address.
constexpr INTERNET_PORT kClosedPort = 1;

struct Record {
  std::mutex m;
  std::condition_variable cv;
  int notes = 0;
  DWORD completions = 0;  // the completion statuses seen
  WINHTTP_ASYNC_RESULT error;
};

void Callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
  auto* r = reinterpret_cast<Record*>(context);
  std::lock_guard lock(r->m);
  ++r->notes;
  r->completions |= status & WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info && length >= sizeof r->error)
    std::memcpy(&r->error, info, sizeof r->error);
  r->cv.notify_all();
}

class HttpClient : public ::testing::Test {
 protected:
  qztest::ConformanceHost host;
};

TEST_F(HttpClient, ARefusedConnectionFailsTheSendStep) {
  IHttp& http = win::Http();
  for (const bool async : {true, false}) {
    SCOPED_TRACE(async ? "asynchronous" : "synchronous");
    HINTERNET session =
        http.WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_NO_PROXY, u"", u"", async ? WINHTTP_FLAG_ASYNC : 0);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(http.WinHttpSetTimeouts(session, 10000, 10000, 10000, 10000));
    HINTERNET connect = http.WinHttpConnect(session, u"127.0.0.1", kClosedPort);
    ASSERT_NE(connect, nullptr);
    HINTERNET request = http.WinHttpOpenRequest(connect, u"GET", u"/x", 0);
    ASSERT_NE(request, nullptr);
    Record record;
    EXPECT_EQ(http.WinHttpSetStatusCallback(request, &Callback, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS), nullptr);
    const BOOL sent = http.WinHttpSendRequest(request, u"", nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(&record));
    if (async) {
      ASSERT_TRUE(sent);
      std::unique_lock lock(record.m);
      ASSERT_TRUE(record.cv.wait_for(lock, std::chrono::seconds(20), [&] { return record.completions != 0; }));
      EXPECT_EQ(record.completions, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR);
      EXPECT_EQ(record.error.dwResult, API_SEND_REQUEST);
      EXPECT_EQ(record.error.dwError, ERROR_WINHTTP_CANNOT_CONNECT);
    } else {
      EXPECT_FALSE(sent);
      EXPECT_EQ(GetLastError(), ERROR_WINHTTP_CANNOT_CONNECT);
      std::lock_guard lock(record.m);
      EXPECT_EQ(record.completions, 0u);
    }
    // Cleared, then closed: no notification reaches the callback any more.
    EXPECT_EQ(http.WinHttpSetStatusCallback(request, nullptr, 0), &Callback);
    int notes;
    {
      std::lock_guard lock(record.m);
      notes = record.notes;
    }
    EXPECT_TRUE(http.WinHttpCloseHandle(request));
    EXPECT_TRUE(http.WinHttpCloseHandle(connect));
    EXPECT_TRUE(http.WinHttpCloseHandle(session));
    std::lock_guard lock(record.m);
    EXPECT_EQ(record.notes, notes);
  }
}

TEST_F(HttpClient, AClosedHandleTakesNoCallback) {
  IHttp& http = win::Http();
  HINTERNET session = http.WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_NO_PROXY, u"", u"", WINHTTP_FLAG_ASYNC);
  HINTERNET connect = http.WinHttpConnect(session, u"127.0.0.1", kClosedPort);
  HINTERNET request = http.WinHttpOpenRequest(connect, u"GET", u"/x", 0);
  ASSERT_NE(request, nullptr);
  ASSERT_TRUE(http.WinHttpCloseHandle(request));
  EXPECT_EQ(http.WinHttpSetStatusCallback(request, &Callback, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS),
            WINHTTP_INVALID_STATUS_CALLBACK);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(http.WinHttpCloseHandle(request));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  http.WinHttpCloseHandle(connect);
  http.WinHttpCloseHandle(session);
}

}  // namespace
