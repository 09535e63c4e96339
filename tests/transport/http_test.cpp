// The simulated machine's WinHTTP-shaped client: the security flags waive exactly the faults they
// name, a protocol mask limits the TLS versions, and a failed step reports only a request error.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "platform/http.h"

namespace {

using namespace qztest;
using namespace win;

struct Record {
  std::mutex m;
  std::condition_variable cv;
  bool done = false, sent = false, headers = false;
  DWORD secureFlags = 0;
  DWORD error = 0;
};

void Callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  auto* r = reinterpret_cast<Record*>(context);
  std::lock_guard lock(r->m);
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE) r->secureFlags = *static_cast<DWORD*>(info);
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
    r->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
    r->done = true;
  }
  if (status == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE) r->headers = true;
  if (status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
    r->sent = true;
    r->done = true;
  }
  r->cv.notify_all();
}

struct Case {
  const char* name;
  DWORD securityFlags;
  DWORD protocols;  // 0: not set
  bool sent;
  DWORD secureFlags;  // reported with the failure
};

void RunCases(int port, const std::vector<Case>& cases) {
  IHttp& http = Http();
  for (const auto& c : cases) {
    HINTERNET session = http.WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, u"", u"", WINHTTP_FLAG_ASYNC);
    if (c.protocols) http.WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &c.protocols, sizeof c.protocols);
    HINTERNET connect = http.WinHttpConnect(session, u"127.0.0.1", static_cast<INTERNET_PORT>(port));
    HINTERNET request = http.WinHttpOpenRequest(connect, u"GET", u"/agent/x", WINHTTP_FLAG_SECURE);
    Record record;
    http.WinHttpSetStatusCallback(request, &Callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS);
    http.WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &c.securityFlags, sizeof c.securityFlags);
    ASSERT_TRUE(http.WinHttpSendRequest(request, u"", nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(&record)));
    {
      std::unique_lock lock(record.m);
      ASSERT_TRUE(record.cv.wait_for(lock, std::chrono::seconds(10), [&] { return record.done; })) << c.name;
      EXPECT_EQ(record.sent, c.sent) << c.name;
      EXPECT_EQ(record.secureFlags, c.secureFlags) << c.name;
      EXPECT_EQ(record.error, c.sent ? 0u : ERROR_WINHTTP_SECURE_FAILURE) << c.name;
    }
    if (record.sent) {
      // The answer too, so the server has journalled the request before it is closed.
      ASSERT_TRUE(http.WinHttpReceiveResponse(request));
      std::unique_lock lock(record.m);
      EXPECT_TRUE(record.cv.wait_for(lock, std::chrono::seconds(10), [&] { return record.headers; })) << c.name;
    }
    http.WinHttpCloseHandle(request);
    http.WinHttpCloseHandle(connect);
    http.WinHttpCloseHandle(session);
  }
}

class HttpSecurityTest : public testing::Test {
 protected:
  void SetUp() override { machine_.Enter(); }
  TestMachine machine_;
};

TEST_F(HttpSecurityTest, FlagsWaiveOnlyTheFaultsTheyName) {
  HostDir dir;
  MakeCertificate(dir, "IP:127.0.0.1");
  QzServer server(dir);
  RunCases(server.httpsPort, {
                                 {"no waiver", 0, 0, false, WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA},
                                 {"unknown CA waived", 0x100, 0, true, 0},
                                 {"date waiver only", 0x2000, 0, false, WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA},
                                 {"both", 0x2100, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, true, 0},
                                 {"default protocols", 0x2100, 0, true, 0},
                             });
  const auto journal = server.Journal();
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal[1].tls, "TLSv1.2");
  EXPECT_EQ(journal[2].tls, "TLSv1.3");
}

TEST_F(HttpSecurityTest, AWrongNameIsNotWaivedByTheUpdaterFlags) {
  HostDir dir;
  MakeCertificate(dir, "DNS:localhost");
  QzServer server(dir);
  RunCases(server.httpsPort, {
                                 {"name", 0x2100, 0, false, WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID},
                                 {"name waived", 0x3100, 0, true, 0},
                             });
}

TEST_F(HttpSecurityTest, TlsTwelveOnlyMeetsAServerOfThirteen) {
  HostDir dir;
  MakeCertificate(dir);
  QzServer server(dir, {"--tls-min", "1.3"});
  RunCases(server.httpsPort,
           {
               {"1.2 only", 0x2100, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, false,
                WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR},
               {"any", 0x2100, 0, true, 0},
           });
}

}  // namespace
