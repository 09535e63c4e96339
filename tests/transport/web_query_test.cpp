// WebQuery over real TLS on loopback against qzserver, on both paths: the WinHTTP-shaped one
// (current Windows) and libcurl (Vista and older).
#include "transport/web_query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "logging/logger.h"
#include "download_table.h"
#include "support/counting_files.h"
#include "support/fake_time.h"
#include "support/host_files.h"
#include "support/peers.h"
#include "support/test_machine.h"
#include "platform/text.h"

namespace {

using namespace qztest;
using qz::WebQuery;
namespace fs = std::filesystem;

// Every piece the logger writes, as UTF-8.
class RecordingLogger : public qz::Logger {
 public:
  void WriteW(std::u16string_view text) override { text_ += win::WideToUtf8(text); }
  void WriteA(std::string_view text) override { text_ += std::string(text); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

struct Transport {
  const char* profile;
  bool curl;
};

void PrintTo(const Transport& t, std::ostream* os) { *os << t.profile; }

std::string Name(const testing::TestParamInfo<Transport>& info) { return info.param.curl ? "libcurl" : "WinHttp"; }

class WebQueryTest : public testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    MakeCertificate(dir_);
    server_ = std::make_unique<QzServer>(dir_);
    machine_ = std::make_unique<TestMachine>(GetParam().profile);
    platform_ = &machine_->Enter();
    // The libcurl download creates no folder, so the download folder is there from the start.
    fs::create_directories(machine_->HostPath(u"C:\\dl"));
    logger_ = std::make_unique<RecordingLogger>();
    ASSERT_EQ(logger_->Open(u"C:\\logs", u"t"), 0);
  }
  void TearDown() override {
    logger_.reset();
    machine_.reset();
  }

  std::unique_ptr<WebQuery> Query(uint32_t timeout = 5000) {
    auto q = std::make_unique<WebQuery>(timeout);
    EXPECT_TRUE(q->Initialize(logger_.get()));
    EXPECT_EQ(q->UsesCurl(), GetParam().curl);
    q->SetHost(u"127.0.0.1");
    q->SetHttpsPort(static_cast<uint32_t>(server_->httpsPort));
    q->SetHttpPort(static_cast<uint32_t>(server_->httpPort));
    return q;
  }
  int64_t Pick(int64_t winhttp, int64_t curl) const { return GetParam().curl ? curl : winhttp; }

  HostDir dir_;
  std::unique_ptr<QzServer> server_;
  std::unique_ptr<TestMachine> machine_;
  win::Platform* platform_ = nullptr;
  std::unique_ptr<RecordingLogger> logger_;
};

INSTANTIATE_TEST_SUITE_P(Paths, WebQueryTest,
                         testing::Values(Transport{"win10-x64", false}, Transport{"vista", true}), Name);

TEST_P(WebQueryTest, AnswersAndFailuresOfFormRequests) {
  struct Case {
    const char* path;
    const char* rule;
    int32_t winhttp, curl;
  };
  // The libcurl path reads no status, so an error page is just an answer there.
  const Case cases[] = {
      {"/a/err", "err=42", 42, 42},
      {"/a/fits", "reply-size=99", 99, 99},
      {"/a/full", "reply-size=100", -11, -10023},
      {"/a/404", "status=404", -8, 10},
      {"/a/stall", "stall=4000", -18, -10028},
      {"/a/drop", "drop", -6, -10052},
      {"/a/cut", "reply-size=50 truncate=10", -10, -10018},
  };
  std::string rules;
  for (const auto& c : cases) rules += std::string(c.path) + " " + c.rule + "\n";
  server_->Faults(rules);
  auto q = Query(1000);
  for (const auto& c : cases) {
    std::vector<char> answer(100, '#');
    const int32_t r = q->RequestSecure(win::Utf8ToWide(c.path), "x=1", answer, false);
    EXPECT_EQ(r, Pick(c.winhttp, c.curl)) << c.path;
    EXPECT_EQ(q->GetLastResult(), r) << c.path;
    if (r >= 0 && r < 100) {
      EXPECT_EQ(answer[static_cast<size_t>(r == 42 ? 7 : r)], '\0') << c.path;
    }
  }
  if (!GetParam().curl) {
    EXPECT_NE(logger_->text().find("[WARNING]"), std::string::npos);
    EXPECT_NE(logger_->text().find("{{WebQuery::RequestSecure #2}} HTTP status error: 404"), std::string::npos);
  }
  // Each form reaches the server with its body; the GET form of the libcurl path is an empty POST.
  EXPECT_EQ(q->RequestSecure(u"/a/err", std::span<char>(std::vector<char>(16).data(), 16), false), 42);
  const auto journal = server_->Journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.front().body, "x=1");
  EXPECT_EQ(journal.front().Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(journal.front().Header("User-Agent"), "VH-KSM Agent/1.0");
  EXPECT_EQ(journal.back().method, GetParam().curl ? "POST" : "GET");
  EXPECT_EQ(journal.back().body, "");
}

TEST_P(WebQueryTest, CertificateCheckSeesTheServerCertificateAndItsRefusalFreesTheLock) {
  server_->Faults("/hook reply=ok\n");
  auto q = Query();
  std::string seen;
  bool accept = false;
  q->SetCertificateCheck([&](const qz::ServerCertificateView& server) {
    std::vector<uint8_t> der;
    if (server.Read(&der)) seen.assign(der.begin(), der.end());
    return accept;
  });
  // The libcurl path never runs the check.
  EXPECT_EQ(q->SimpleRequestSecure(u"/hook", "a=b", true), Pick(-6, 0));
  accept = true;
  EXPECT_EQ(q->SimpleRequestSecure(u"/hook", "a=b", true), 0);
  accept = false;
  EXPECT_EQ(q->SimpleRequestSecure(u"/hook", "a=b", false), 0);
  EXPECT_EQ(seen, GetParam().curl ? "" : CertificateDer(dir_));
}

TEST_P(WebQueryTest, ACertificateCheckBelongsToTheQueryItWasGivenTo) {
  server_->Faults("/c reply=ok\n");
  auto refusing = Query();
  auto other = Query();
  int refusals = 0, acceptances = 0;
  refusing->SetCertificateCheck([&](const qz::ServerCertificateView&) {
    ++refusals;
    return false;
  });
  EXPECT_EQ(other->SimpleRequestSecure(u"/c", "a=b", true), 0);
  EXPECT_EQ(refusing->SimpleRequestSecure(u"/c", "a=b", true), Pick(-6, 0));
  other->SetCertificateCheck([&](const qz::ServerCertificateView&) {
    ++acceptances;
    return true;
  });
  EXPECT_EQ(other->SimpleRequestSecure(u"/c", "a=b", true), 0);
  // Each check ran for its own query's request only (the libcurl path runs none).
  EXPECT_EQ(refusals, Pick(1, 0));
  EXPECT_EQ(acceptances, Pick(1, 0));
}

// The alive thread and the main thread share one query: whatever way a request fails, the other
// thread's next request must not be kept waiting.
TEST_P(WebQueryTest, EveryFailureLetsTheNextRequestOfAnotherThreadThrough) {
  server_->Faults("/ok reply=ok\n/a/404 status=404\n/a/full reply-size=100\n");
  auto q = Query();
  WriteHostFile(machine_->HostPath(u"C:\\up\\a.txt"), "hello");
  struct Case {
    const char* name;
    std::function<int32_t(WebQuery&)> fail;
    int32_t winhttp, curl;
  };
  const Case cases[] = {
      {"connect",
       [](WebQuery& w) {
         w.SetHost(u"");
         const int32_t r = w.SimpleRequestSecure(u"/ok", "a=b", false);
         w.SetHost(u"127.0.0.1");
         return r;
       },
       -2, -10003},
      {"refused certificate",
       [](WebQuery& w) {
         w.SetCertificateCheck([](const qz::ServerCertificateView&) { return false; });
         const int32_t r = w.SimpleRequestSecure(u"/ok", "a=b", true);
         w.SetCertificateCheck(nullptr);
         return r;
       },
       -6, 0},
      {"status", [](WebQuery& w) { return w.SimpleRequestSecure(u"/a/404", false); }, -8, 0},
      {"no answer room", [](WebQuery& w) { return w.RequestSecure(u"/ok", "a=b", std::span<char>(), false); }, -11,
       -11},
      {"answer overflow",
       [](WebQuery& w) {
         std::vector<char> answer(100);
         return w.RequestSecure(u"/a/full", "a=b", answer, false);
       },
       -11, -10023},
      {"download status",
       [](WebQuery& w) { return w.DownloadHttps(u"/agent/none.bin", 10, u"none.bin", u"C:\\dl", false); }, -8,
       -2022},
      {"download file",
       [](WebQuery& w) { return w.DownloadHttps(u"/agent/none.bin", 10, u"none.bin", u"C:\\no\\such", false); },
       -8, -13},
      {"upload status", [](WebQuery& w) { return w.UploadHttps(u"/a/404", "a.txt", "C:\\up", ""); }, -8, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.fail(*q), Pick(c.winhttp, c.curl));
    std::packaged_task<int32_t()> next([&] {
      std::vector<char> answer(16);
      return q->RequestSecure(u"/ok", "a=b", answer, false);
    });
    auto done = next.get_future();
    std::thread other(std::move(next));
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      // The lock was left held: that thread waits for ever, and so would joining it.
      other.detach();
      FAIL() << "the request lock was not released";
    }
    other.join();
    EXPECT_EQ(done.get(), 2);
  }
}

TEST_P(WebQueryTest, UploadsSendTheFileAsOnePart) {
  auto q = Query();
  WriteHostFile(machine_->HostPath(u"C:\\up\\a.txt"), "hello");
  WriteHostFile(machine_->HostPath(u"C:\\up\\e.txt"), "");

  EXPECT_EQ(q->UploadHttps(u"/upload", "missing.txt", "C:\\up", "pre"), Pick(0, -13));
  EXPECT_TRUE(server_->Journal().empty());

  EXPECT_EQ(q->UploadHttps(u"/upload", "a.txt", "C:\\up", "pre&x=1"), 5);
  EXPECT_EQ(ReadHostFile(dir_ / "uploads/a.txt"), "hello");
  auto journal = server_->Journal();
  ASSERT_EQ(journal.size(), 1u);
  if (GetParam().curl) {
    EXPECT_NE(journal[0].body.find("name=\"sendfile\"; filename=\"a.txt\""), std::string::npos);
    EXPECT_NE(journal[0].body.find("name=\"submit\"\r\n\r\nsend\r\n"), std::string::npos);
    EXPECT_EQ(journal[0].Header("Expect"), "");
    return;
  }
  const std::string header = "------vhKSM_byW_qorv\r\n"
                             "Content-Disposition: form-data; name=\"file\"; filename=\"a.txt\"\r\n"
                             "Content-Type: text/plain\r\n\r\n";
  const std::string closing = "\r\n------vhKSM_byW_qorv--\r\n";
  EXPECT_EQ(journal[0].body, "pre&x=1" + header + "hello" + closing);
  EXPECT_EQ(journal[0].Header("Content-Type"), "multipart/form-data; boundary=----vhKSM_byW_qorv");
  EXPECT_EQ(journal[0].tls.rfind("TLS", 0), 0u);

  EXPECT_EQ(q->UploadPlain(u"/upload", "e.txt", "C:\\up", "pre"), 0);
  journal = server_->Journal();
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[1].tls, "none");
  std::string emptyHeader = header;
  emptyHeader.replace(emptyHeader.find("a.txt"), 5, "e.txt");
  EXPECT_EQ(journal[1].body, "pre" + emptyHeader + closing);
}

// Both paths against qzserver; the same table runs against nginx in nginx_test.cpp.
TEST_P(WebQueryTest, DownloadsResumeAndRename) {
  auto q = Query();
  RunDownloadTable(*q, *machine_, GetParam().curl,
                   [&](const std::string& rel, const std::string& data) { server_->Publish(rel, data); });
  // The resumed download asked for the rest only.
  bool sawRange = false;
  for (const auto& e : server_->Journal()) {
    if (e.path == "/agent/resume.bin") {
      EXPECT_EQ(e.Header("Range"), "bytes=1000-");
      EXPECT_EQ(e.status, 206);
      EXPECT_EQ(e.method, "GET");
      sawRange = true;
    }
  }
  EXPECT_TRUE(sawRange);
}

TEST_P(WebQueryTest, PlainDownloadTakesItsSizeFromTheServer) {
  // Plain downloads take the WinHTTP-shaped path on every Windows version.
  auto q = Query();
  server_->Publish("agent/plain.bin", Pattern(3000));
  EXPECT_EQ(q->DownloadPlain(u"/agent/plain.bin", u"plain.bin", u"C:\\new\\folder", false), 3000);
  EXPECT_EQ(ReadHostFile(machine_->HostPath(u"C:\\new\\folder\\plain.bin")), Pattern(3000));
  // The size query reads no status, so a missing file fails at the download itself.
  EXPECT_EQ(q->DownloadPlain(u"/agent/none.bin", u"none.bin", u"C:\\new\\folder", false), -8);
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\new\\folder\\none.bin.tmp")));
}

TEST_P(WebQueryTest, StalledOrCutDownloadsFailWithoutAFinalFile) {
  server_->Publish("agent/slow.bin", Pattern(3000));
  server_->Publish("agent/cut.bin", Pattern(3000));
  server_->Faults("/agent/slow.bin stall=4000\n/agent/cut.bin truncate=1000\n");
  auto q = Query(1000);
  EXPECT_EQ(q->DownloadHttps(u"/agent/slow.bin", 3000, u"slow.bin", u"C:\\dl", false), Pick(-18, -2028));
  EXPECT_EQ(q->DownloadHttps(u"/agent/cut.bin", 3000, u"cut.bin", u"C:\\dl", false), Pick(-10, -2018));
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\slow.bin")));
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\cut.bin")));
}

// A server that breaks off fails the step that was waiting at once, with that call's code, and
// never costs the time-out (20 s here).
TEST_P(WebQueryTest, ABrokenOffStepFailsAtOnceWithTheCodeOfItsCall) {
  server_->Publish("agent/dropped.bin", Pattern(3000));
  server_->Publish("agent/cut.bin", Pattern(300000));
  server_->Faults("/a/drop drop\n/a/cut reply-size=50 truncate=10\n/agent/dropped.bin drop\n"
                  "/agent/cut.bin truncate=70000\n");
  auto q = Query(20000);
  struct Case {
    const char* name;
    std::function<int64_t(WebQuery&)> run;
    int64_t winhttp, curl;
  };
  const Case cases[] = {
      {"answer dropped",
       [](WebQuery& w) {
         std::vector<char> answer(100);
         return w.RequestSecure(u"/a/drop", "x=1", answer, false);
       },
       -6, -10052},
      {"answer cut",
       [](WebQuery& w) {
         std::vector<char> answer(100);
         return w.RequestSecure(u"/a/cut", "x=1", answer, false);
       },
       -10, -10018},
      {"download dropped",
       [](WebQuery& w) { return w.DownloadHttps(u"/agent/dropped.bin", 3000, u"dropped.bin", u"C:\\dl", false); },
       -6, -2052},
      {"download cut",
       [](WebQuery& w) { return w.DownloadHttps(u"/agent/cut.bin", 300000, u"cut.bin", u"C:\\dl", false); }, -10,
       -2018},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.run(*q), Pick(c.winhttp, c.curl));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\cut.bin")));
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\dropped.bin")));
}

// A body longer than the announced size is refused as it arrives: nothing past that size is
// written, no file is left, and the result is the size mismatch, on both paths.
std::string FileNameOf(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '_');
  return text;
}

TEST_P(WebQueryTest, ABodyLongerThanAnnouncedIsRefusedBeforeItIsWritten) {
  struct Case {
    const char* name;
    size_t size;   // what the server holds and announces
    long extra;    // bytes it sends beyond that
    long temp;     // bytes of an earlier attempt; -1: none
  };
  const Case cases[] = {
      {"hundredfold", 373, 373 * 99, -1},
      {"one more", 373, 1, -1},
      {"one more after many reads", 300000, 1, -1},
      {"one more after resuming", 3000, 1, 1000},
      {"much more after resuming", 3000, 1000000, 1000},
  };
  std::string rules;
  for (const auto& c : cases) {
    const std::string name = FileNameOf(c.name);
    server_->Publish("agent/" + name + ".bin", Pattern(c.size));
    rules += "/agent/" + name + ".bin extra=" + std::to_string(c.extra) + "\n";
  }
  server_->Faults(rules);
  auto counting = std::make_unique<CountingFiles>(platform_->SetFiles(nullptr));
  CountingFiles* files = counting.get();
  platform_->SetFiles(std::move(counting));
  auto q = Query();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = FileNameOf(c.name);
    const std::u16string file = win::Utf8ToWide(name) + u".bin";
    const std::string finalHost = machine_->HostPath(u"C:\\dl\\" + file);
    if (c.temp >= 0) WriteHostFile(finalHost + ".tmp", Pattern(c.size).substr(0, static_cast<size_t>(c.temp)));
    files->bytesWritten = 0;
    EXPECT_EQ(q->DownloadHttps(u"/agent/" + file, static_cast<int64_t>(c.size), file, u"C:\\dl", false), -9);
    EXPECT_EQ(q->GetLastResult(), -9);
    EXPECT_LE(files->bytesWritten.load(), c.size - static_cast<size_t>(std::max(c.temp, 0L)));
    EXPECT_FALSE(fs::exists(finalHost));
    EXPECT_FALSE(fs::exists(finalHost + ".tmp"));
  }
  platform_->SetFiles(files->Release());
}

// Byte counts are 64-bit: a resumed download past 4 GiB comes to its size, and one byte more than
// announced there is refused (a 32-bit count would see only the bytes above 4 GiB). The files are
// sparse on the host.
TEST_P(WebQueryTest, CountsPastFourGibibytesAreExact) {
  constexpr int64_t kFour = int64_t{1} << 32;
  const std::string tail = Pattern(10);
  for (const char* name : {"exact", "longer"}) {
    const fs::path published = fs::path(dir_ / "release/agent") / (std::string(name) + ".bin");
    fs::create_directories(published.parent_path());
    { std::ofstream(published, std::ios::binary); }
    fs::resize_file(published, kFour);
    std::ofstream(published, std::ios::binary | std::ios::app) << tail;
    const std::string temp = machine_->HostPath(u"C:\\dl\\" + win::Utf8ToWide(name) + u".bin.tmp");
    { std::ofstream(temp, std::ios::binary); }
    fs::resize_file(temp, kFour);
  }
  server_->Faults("/agent/longer.bin extra=1\n");
  auto q = Query();
  EXPECT_EQ(q->DownloadHttps(u"/agent/exact.bin", kFour + 10, u"exact.bin", u"C:\\dl", false),
            Pick(10, kFour + 10));
  EXPECT_EQ(fs::file_size(machine_->HostPath(u"C:\\dl\\exact.bin")), static_cast<uintmax_t>(kFour + 10));
  EXPECT_EQ(q->DownloadHttps(u"/agent/longer.bin", kFour + 10, u"longer.bin", u"C:\\dl", false), -9);
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\longer.bin")));
  EXPECT_FALSE(fs::exists(machine_->HostPath(u"C:\\dl\\longer.bin.tmp")));
}

TEST_P(WebQueryTest, SplitModePausesAfterEveryChunkOfLargeDownloads) {
  server_->Publish("agent/big.bin", Pattern(2000000));
  server_->Publish("agent/small.bin", Pattern(900000));
  auto clock = std::make_unique<PauseCountingTime>();
  PauseCountingTime* pauses = clock.get();
  auto realTime = platform_->SetTime(std::move(clock));
  {
    auto q = Query();
    q->SetSplitMode(1000000, 65536);
    EXPECT_EQ(q->DownloadHttps(u"/agent/small.bin", 900000, u"small.bin", u"C:\\dl", false), 900000);
    EXPECT_TRUE(pauses->Pauses().empty());
    EXPECT_EQ(q->DownloadHttps(u"/agent/big.bin", 2000000, u"big.bin", u"C:\\dl", false), 2000000);
    EXPECT_EQ(ReadHostFile(machine_->HostPath(u"C:\\dl\\big.bin")), Pattern(2000000));
    const auto taken = pauses->Pauses();
    if (GetParam().curl) {
      // libcurl hands over blocks of up to 8,192 bytes, so a pause follows the block that fills a chunk.
      ASSERT_FALSE(taken.empty());
      EXPECT_LE(taken.size(), 2000000u / 65536u);
      for (auto ms : taken) EXPECT_EQ(ms, 1000u);
    } else {
      EXPECT_EQ(taken, std::vector<win::DWORD>(2000000 / 65536, 100));
    }
  }
  platform_->SetTime(std::move(realTime));
}

TEST(WebQueryUrl, LibcurlUrlNamesThePortOnlyWhenItIsNot443) {
  TestMachine m("vista");
  m.Enter();
  WebQuery q(1000);
  q.SetHost(u"mgr.example");
  struct Case {
    uint32_t port;
    const char16_t* path;
    const char* url;
  };
  const Case cases[] = {{443, u"/CAgentRequest", "https://mgr.example/CAgentRequest"},
                        {8443, u"/CAgentRequest", "https://mgr.example:8443/CAgentRequest"},
                        {443, u"", "https://mgr.example/"}};
  for (const auto& c : cases) {
    q.SetHttpsPort(c.port);
    EXPECT_EQ(q.CurlUrl(c.path), c.url);
  }
}

}  // namespace

namespace {

// Passes every call on, except that the first connect fails as with a stale session handle.
class StaleSessionOnce : public win::IHttp {
 public:
  explicit StaleSessionOnce(std::unique_ptr<win::IHttp> real) : real_(std::move(real)) {}
  std::vector<win::HINTERNET> sessions;  // the session of each connect

  win::HINTERNET WinHttpOpen(std::u16string_view a, win::DWORD t, std::u16string_view p, std::u16string_view b,
                             win::DWORD f) override {
    return real_->WinHttpOpen(a, t, p, b, f);
  }
  win::HINTERNET WinHttpConnect(win::HINTERNET s, std::u16string_view server, win::INTERNET_PORT port) override {
    sessions.push_back(s);
    if (sessions.size() == 1) {
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return real_->WinHttpConnect(s, server, port);
  }
  win::HINTERNET WinHttpOpenRequest(win::HINTERNET c, std::u16string_view v, std::u16string_view o,
                                    win::DWORD f) override {
    return real_->WinHttpOpenRequest(c, v, o, f);
  }
  win::BOOL WinHttpCloseHandle(win::HINTERNET h) override { return real_->WinHttpCloseHandle(h); }
  win::BOOL WinHttpAddRequestHeaders(win::HINTERNET r, std::u16string_view h, win::DWORD m) override {
    return real_->WinHttpAddRequestHeaders(r, h, m);
  }
  win::BOOL WinHttpSetOption(win::HINTERNET h, win::DWORD o, const void* b, win::DWORD l) override {
    return real_->WinHttpSetOption(h, o, b, l);
  }
  win::BOOL WinHttpQueryOption(win::HINTERNET h, win::DWORD o, void* b, win::DWORD* l) override {
    return real_->WinHttpQueryOption(h, o, b, l);
  }
  win::BOOL WinHttpSetTimeouts(win::HINTERNET h, int a, int b, int c, int d) override {
    return real_->WinHttpSetTimeouts(h, a, b, c, d);
  }
  win::WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(win::HINTERNET h, win::WINHTTP_STATUS_CALLBACK cb,
                                                        win::DWORD f) override {
    return real_->WinHttpSetStatusCallback(h, cb, f);
  }
  win::BOOL WinHttpSendRequest(win::HINTERNET r, std::u16string_view h, const void* o, win::DWORD ol, win::DWORD t,
                               win::DWORD_PTR c) override {
    return real_->WinHttpSendRequest(r, h, o, ol, t, c);
  }
  win::BOOL WinHttpWriteData(win::HINTERNET r, const void* b, win::DWORD n, win::DWORD* w) override {
    return real_->WinHttpWriteData(r, b, n, w);
  }
  win::BOOL WinHttpReceiveResponse(win::HINTERNET r) override { return real_->WinHttpReceiveResponse(r); }
  win::BOOL WinHttpQueryHeaders(win::HINTERNET r, win::DWORD l, std::u16string_view n, void* b,
                                win::DWORD* len) override {
    return real_->WinHttpQueryHeaders(r, l, n, b, len);
  }
  win::BOOL WinHttpQueryDataAvailable(win::HINTERNET r, win::DWORD* a) override {
    return real_->WinHttpQueryDataAvailable(r, a);
  }
  win::BOOL WinHttpReadData(win::HINTERNET r, void* b, win::DWORD n, win::DWORD* got) override {
    return real_->WinHttpReadData(r, b, n, got);
  }

 private:
  std::unique_ptr<win::IHttp> real_;
};

TEST(WebQuerySessions, AStaleSessionFailsOneRequestAndTheNextUsesNewSessions) {
  HostDir dir;
  MakeCertificate(dir);
  QzServer server(dir);
  server.Faults("/s reply=fine\n");
  TestMachine m("win10-x64");
  win::Platform& p = m.Enter();
  auto decorator = std::make_unique<StaleSessionOnce>(p.SetHttp(nullptr));
  StaleSessionOnce* http = decorator.get();
  p.SetHttp(std::move(decorator));
  {
    RecordingLogger log;
    ASSERT_EQ(log.Open(u"C:\\logs", u"t"), 0);
    WebQuery q(5000);
    ASSERT_TRUE(q.Initialize(&log));
    q.SetHost(u"127.0.0.1");
    q.SetHttpsPort(static_cast<uint32_t>(server.httpsPort));
    std::vector<char> answer(64);
    EXPECT_EQ(q.RequestSecure(u"/s", "a=1", answer, false), -2);
    EXPECT_NE(log.text().find("{{WebQuery::CleanUp}} WinHttp 세션 재초기화 성공"), std::string::npos);
    EXPECT_EQ(q.RequestSecure(u"/s", "a=1", answer, false), 4);
    EXPECT_STREQ(answer.data(), "fine");
    ASSERT_EQ(http->sessions.size(), 2u);
    EXPECT_NE(http->sessions[0], http->sessions[1]);
  }
  m.Leave();
}

}  // namespace
