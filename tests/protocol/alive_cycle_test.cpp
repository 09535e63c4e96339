// The alive cycle with an injected clock: its requests, its retry rule and its stop, without real
// waits. Pause waits run out at once while the test allows them; then the thread parks until the
// wake event comes.
#include <atomic>
#include <thread>

#include "protocol/alive_cycle.h"
#include "protocol/protocol_fixture.h"
#include "protocol/server_queries.h"

using namespace qz;
using namespace qztest;

namespace {

class StepTime : public FakeTime {
 public:
  void Allow(int waits) {
    std::lock_guard lock(m_);
    allowance_ = waits;
  }
  // Waits until the thread parks in a wait; returns its time-out.
  win::DWORD AwaitParked() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return parked_ != 0; });
    return parked_;
  }
  std::vector<win::DWORD> Waits() {
    std::lock_guard lock(m_);
    return waits_;
  }
  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) override {
    if (kind != win::WaitKind::Pause) return FakeTime::WaitForSingleObject(object, ms, kind);
    {
      std::unique_lock lock(m_);
      waits_.push_back(ms);
      if (allowance_ > 0) {
        --allowance_;
        lock.unlock();
        return FakeTime::WaitForSingleObject(object, ms, kind);
      }
      parked_ = ms;
    }
    cv_.notify_all();
    const win::DWORD r = FakeTime::WaitForSingleObject(object, win::INFINITE, kind);
    std::lock_guard lock(m_);
    parked_ = 0;
    return r;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int allowance_ = 0;
  win::DWORD parked_ = 0;
  std::vector<win::DWORD> waits_;
};

class AliveCycleTest : public SessionTest {
 protected:
  AliveCycleTest() {
    auto clock = std::make_unique<StepTime>();
    step_ = clock.get();
    win::Platform::Current().SetTime(std::move(clock));
    ctx_.serverKey = kKeyB;
    signer_.SetKeyB(kKeyB);
  }
  ~AliveCycleTest() override { cycle_.Stop(); }

  StepTime* step_ = nullptr;
  AliveCycle cycle_;
};

std::string PublicIpAnswer() { return "<result><ip>10.0.0.9</ip></result>"; }

TEST_F(AliveCycleTest, ServerNumbersBindAgainThreeTimesAtTheShortIntervalThenWaitAPeriod) {
  for (int32_t number : {kServerErrorRebind1, kServerErrorRebind2}) {
    AliveCycle cycle;
    ScriptedQuery query;
    ctx_.query = &query;
    query.onRequest = [&](const auto& form) {
      return form.at("_c") == "public_ip" ? Reply{0, PublicIpAnswer()} : Reply{number, {}};
    };
    step_->Allow(3);
    const size_t before = step_->Waits().size();
    ASSERT_TRUE(cycle.CreateWakeEvent());
    ASSERT_EQ(cycle.Start(ctx_), 0);
    // Three error answers, then a fourth that starts a new series.
    EXPECT_EQ(step_->AwaitParked(), kAliveRetryMs);
    const auto waits = step_->Waits();
    EXPECT_EQ(std::vector<win::DWORD>(waits.begin() + static_cast<long>(before), waits.end()),
              (std::vector<win::DWORD>{kAliveRetryMs, kAliveRetryMs, kAlivePeriodMs, kAliveRetryMs}));
    EXPECT_EQ(query.Count("alive"), 4);
    EXPECT_EQ(query.Count("public_ip"), 4);
    cycle.Stop();
    EXPECT_EQ(query.Count("alive"), 4);  // stopped in a wait: no further request
    EXPECT_TRUE(log_.Has("Fail to connect server - try to bind public IP (" + std::to_string(number) + ", "));
  }
}

TEST_F(AliveCycleTest, SendsOncePerPeriodAndStopsInAWait) {
  ScriptedQuery query;
  ctx_.query = &query;
  std::atomic<int> alive{0};
  query.onRequest = [&](const auto& form) {
    ++alive;
    EXPECT_EQ(form.at("id"), "12");
    return Reply{0, "<result/>"};
  };
  step_->Allow(2);
  ASSERT_TRUE(cycle_.CreateWakeEvent());
  ASSERT_EQ(cycle_.Start(ctx_), 0);
  EXPECT_EQ(step_->AwaitParked(), kAlivePeriodMs);
  EXPECT_EQ(alive, 3);
  // Starting again while it runs makes no second thread.
  EXPECT_EQ(cycle_.Start(ctx_), 0);
  cycle_.Stop();
  EXPECT_EQ(alive, 3);
  EXPECT_TRUE(log_.Has("@@@@@ Stop alive cycle thread @@@@@"));  // ended before Stop returned
  cycle_.Stop();  // nothing left to stop
  EXPECT_TRUE(log_.Has("Sent alive request"));
}

TEST_F(AliveCycleTest, StopDuringARequestEndsAfterThatRequest) {
  ScriptedQuery query;
  ctx_.query = &query;
  std::mutex m;
  std::condition_variable cv;
  bool inRequest = false, release = false;
  query.onRequest = [&](const auto&) {
    std::unique_lock lock(m);
    inRequest = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return Reply{-2, {}};
  };
  ASSERT_TRUE(cycle_.CreateWakeEvent());
  ASSERT_EQ(cycle_.Start(ctx_), 0);
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return inRequest; });
  }
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    cycle_.Stop();
    stopped = true;
  });
  EXPECT_FALSE(stopped);  // Stop waits for the request in progress
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  stopper.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(query.Count("alive"), 1);
  EXPECT_TRUE(log_.Has("Fail to connect server: 웹 서버 연결 객체 생성에 실패함(-2, "));
}

TEST_F(AliveCycleTest, WithoutClientIdNothingIsSent) {
  ScriptedQuery query;
  ctx_.query = &query;
  config_.settings.clientId = 0;
  step_->Allow(2);
  ASSERT_TRUE(cycle_.CreateWakeEvent());
  ASSERT_EQ(cycle_.Start(ctx_), 0);
  EXPECT_EQ(step_->AwaitParked(), kAlivePeriodMs);
  cycle_.Stop();
  EXPECT_TRUE(query.Bodies().empty());
  size_t lines = 0;
  for (size_t p = log_.text().find("No client ID"); p != std::string::npos; p = log_.text().find("No client ID", p + 1))
    ++lines;
  EXPECT_EQ(lines, 3u);  // one per period: two that ran out and the one it was stopped in
  EXPECT_EQ(step_->Waits(), (std::vector<win::DWORD>{kAlivePeriodMs, kAlivePeriodMs, kAlivePeriodMs}));
}

TEST_F(AliveCycleTest, RestartsAfterAStop) {
  ScriptedQuery query;
  ctx_.query = &query;
  query.onRequest = [](const auto&) { return Reply{0, "<result/>"}; };
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(cycle_.CreateWakeEvent());
    ASSERT_EQ(cycle_.Start(ctx_), 0);
    step_->AwaitParked();
    cycle_.Stop();
  }
  EXPECT_EQ(query.Count("alive"), 2);
}

// The alive thread and the main thread share one query and one session: the sharing test of the
// thread sanitizer build.
TEST_F(AliveCycleTest, SharesTheQueryWithTheMainThread) {
  ScriptedQuery query;
  ctx_.query = &query;
  qzCryptoUtil server;
  server.SetKeyB(kKeyB);
  std::string th;
  server.DigestB(&th, 80, 7);
  const std::string cfg = "<result _t=\"7\" _th=\"" + th + "\"><cid>12</cid><langType>1</langType></result>";
  query.onRequest = [&](const auto& form) {
    const std::string& c = form.at("_c");
    if (c == "alive") return Reply{kServerErrorRebind1, {}};
    if (c == "public_ip")
      return Reply{0, "<result _t=\"1706659200000\"><ip>10.0.0.9</ip><client>" + std::string(kKeyA) +
                          "</client><server>" + kKeyB + "</server></result>"};
    return Reply{0, cfg};
  };
  step_->Allow(1000000);
  ASSERT_TRUE(cycle_.CreateWakeEvent());
  ASSERT_EQ(cycle_.Start(ctx_), 0);
  // At least 300 requests, and on until the alive thread has bound again at least once (it may
  // start late on a busy machine).
  for (int i = 0; i < 300 || (query.Count("public_ip") == 0 && i < 100000); ++i) {
    QueryBuilder q;
    EXPECT_GT(QueryManagerServerSetting(ctx_, q), 0);
    EXPECT_EQ(ctx_.langType, 1);
  }
  cycle_.Stop();
  EXPECT_GT(query.Count("public_ip"), 0);
}

}  // namespace
