#include "support/fake_time.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"

namespace {

using qztest::FakeTime;

// Events live in the handle table of the current platform; a bare platform is enough.
class FakeTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = win::Platform::HasCurrent() ? &win::Platform::Current() : nullptr;
    win::Platform::SetCurrent(&platform_);
  }
  void TearDown() override { win::Platform::SetCurrent(previous_); }

  win::Platform platform_;
  win::Platform* previous_ = nullptr;
};

TEST_F(FakeTimeTest, ClockMovesOnlyWhenAsked) {
  FakeTime t(1706659200000ull, -300);  // 2024-01-31 00:00 UTC, five hours behind
  const win::SYSTEMTIME utc = t.GetSystemTime();
  const win::SYSTEMTIME local = t.GetLocalTime();
  EXPECT_EQ(utc.wDay, 31);
  EXPECT_EQ(utc.wHour, 0);
  EXPECT_EQ(local.wDay, 30);
  EXPECT_EQ(local.wHour, 19);
  EXPECT_EQ(local.wDayOfWeek, 2);  // Tuesday
  const uint64_t ticks = t.GetTickCount64();
  t.Advance(1500);
  EXPECT_EQ(t.GetSystemTimeMs(), 1706659201500ull);
  EXPECT_EQ(t.GetTickCount64(), ticks + 1500);
  t.SetNow(0);  // wall clock jumps; the tick count does not
  EXPECT_EQ(t.GetSystemTime().wYear, 1970);
  EXPECT_EQ(t.GetTickCount64(), ticks + 1500);
  EXPECT_TRUE(t.Pauses().empty());
}

TEST_F(FakeTimeTest, PausesAdvanceInsteadOfSleeping) {
  FakeTime t;
  const uint64_t start = t.GetSystemTimeMs();
  t.Sleep(30000);
  const win::HANDLE manual = t.CreateEventW(win::TRUE, win::FALSE);
  const win::HANDLE automatic = t.CreateEventW(win::FALSE, win::TRUE);
  EXPECT_EQ(t.WaitForSingleObject(manual, 60000, win::WaitKind::Pause), win::WAIT_TIMEOUT);
  EXPECT_EQ(t.WaitForSingleObject(automatic, 500, win::WaitKind::Limit), win::WAIT_OBJECT_0);
  EXPECT_EQ(t.WaitForSingleObject(automatic, 500, win::WaitKind::Limit), win::WAIT_TIMEOUT);  // auto-reset
  t.SetEvent(manual);
  EXPECT_EQ(t.WaitForSingleObject(manual, 10, win::WaitKind::Limit), win::WAIT_OBJECT_0);
  EXPECT_EQ(t.WaitForSingleObject(manual, 10, win::WaitKind::Limit), win::WAIT_OBJECT_0);  // stays set
  t.ResetEvent(manual);
  EXPECT_EQ(t.WaitForSingleObject(manual, 0, win::WaitKind::Limit), win::WAIT_TIMEOUT);
  EXPECT_EQ(t.Pauses(), (std::vector<win::DWORD>{30000, 60000, 500, 0}));
  EXPECT_EQ(t.GetSystemTimeMs(), start + 90500);
  EXPECT_EQ(t.WaitForSingleObject(reinterpret_cast<win::HANDLE>(0x7777), 10, win::WaitKind::Limit), win::WAIT_FAILED);
  EXPECT_EQ(t.SetEvent(nullptr), win::FALSE);
  win::CloseHandle(manual);
  win::CloseHandle(automatic);
}

TEST_F(FakeTimeTest, InfiniteWaitIsARealWait) {
  FakeTime t;
  const win::HANDLE e = t.CreateEventW(win::FALSE, win::FALSE);
  std::thread setter([&] { t.SetEvent(e); });
  EXPECT_EQ(t.WaitForSingleObject(e, win::INFINITE, win::WaitKind::Limit), win::WAIT_OBJECT_0);
  setter.join();
  EXPECT_TRUE(t.Pauses().empty());
  win::CloseHandle(e);
}

}  // namespace
