// Clocks, events and waits as Windows answers for them, on whichever backend the test program is
// built for, and the handles of the platform's table (what test fakes hand out) beside the
// backend's own: both close through CloseHandle and wait through the time service.
#include <gtest/gtest.h>

#include <memory>

#include "platform/platform.h"
#include "support/conformance_host.h"

namespace {

using namespace win;
using qztest::ConformanceHost;

TEST(TimeConformance, ClocksAgree) {
  ConformanceHost host;
  const uint64_t before = Time().GetSystemTimeMs();
  const SYSTEMTIME utc = Time().GetSystemTime();
  const SYSTEMTIME local = Time().GetLocalTime();
  const uint64_t after = Time().GetSystemTimeMs();
  // The calendar form of the clock is the same instant, to the millisecond it was read in.
  const uint64_t utcMs = UnixMsFromSystemTime(utc);
  EXPECT_GE(utcMs, before);
  EXPECT_LE(utcMs, after);
  EXPECT_GE(utc.wYear, 2024);
  // Local time is the zone's view of the same instant.
  const uint64_t viaZone = UnixMsFromSystemTime(Time().UtcMsToLocal(utcMs));
  const uint64_t localMs = UnixMsFromSystemTime(local);
  EXPECT_LE(viaZone > localMs ? viaZone - localMs : localMs - viaZone, 1000u);
  // The tick count goes one way, and its 32-bit form is the low half of the 64-bit one.
  const uint64_t t1 = Time().GetTickCount64();
  const DWORD low = Time().GetTickCount();
  const uint64_t t2 = Time().GetTickCount64();
  EXPECT_LE(t1, t2);
  EXPECT_LE(low - static_cast<DWORD>(t1), static_cast<DWORD>(t2 - t1));
}

TEST(TimeConformance, ManualAndAutoResetEvents) {
  ConformanceHost host;
  HANDLE manual = Time().CreateEventW(TRUE, FALSE);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(Time().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(Time().SetEvent(manual));
  EXPECT_EQ(Time().WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Time().WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays set
  EXPECT_TRUE(Time().ResetEvent(manual));
  EXPECT_EQ(Time().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE automatic = Time().CreateEventW(FALSE, TRUE);
  ASSERT_NE(automatic, nullptr);
  EXPECT_EQ(Time().WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Time().WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // one waiter took it
  EXPECT_TRUE(Time().SetEvent(automatic));
  EXPECT_EQ(Time().WaitForSingleObject(automatic, 10, WaitKind::Limit), WAIT_OBJECT_0);

  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
}

TEST(TimeConformance, ClosedAndNullHandlesAreInvalid) {
  ConformanceHost host;
  HANDLE e = Time().CreateEventW(TRUE, TRUE);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(Time().WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(Time().SetEvent(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(TimeConformance, TableHandlesLiveBesideTheBackendsOwn) {
  ConformanceHost host;
  // What a fake hands out: an object of the platform's table.
  auto fake = std::make_shared<EventObject>(true, false);
  HANDLE tableHandle = Handles().Add(fake);
  HANDLE own = Time().CreateEventW(TRUE, FALSE);
  ASSERT_NE(own, nullptr);
  EXPECT_NE(tableHandle, own);
  // Above every kernel handle value, below the pseudo-handles.
  EXPECT_GE(reinterpret_cast<uintptr_t>(tableHandle), 0x40000000u);
  EXPECT_LT(reinterpret_cast<uintptr_t>(tableHandle), 0x80000000u);

  EXPECT_EQ(Time().WaitForSingleObject(tableHandle, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(Time().SetEvent(tableHandle));
  EXPECT_EQ(Time().WaitForSingleObject(tableHandle, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Time().WaitForSingleObject(own, 0), WAIT_TIMEOUT);  // the other stays untouched
  EXPECT_TRUE(Time().ResetEvent(tableHandle));
  EXPECT_EQ(Time().WaitForSingleObject(tableHandle, 0), WAIT_TIMEOUT);

  const size_t before = Handles().Count();
  EXPECT_TRUE(CloseHandle(tableHandle));
  EXPECT_EQ(Handles().Count(), before - 1);
  EXPECT_TRUE(CloseHandle(own));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(tableHandle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
