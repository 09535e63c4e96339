// An injected clock for unit tests: time moves only when the test (or a pause) moves it.
#pragma once

#include <mutex>
#include <vector>

#include "platform/time.h"

namespace qztest {

class FakeTime : public win::ITime {
 public:
  // nowUtcMs: the starting instant; tzOffsetMinutes: local time minus UTC.
  explicit FakeTime(uint64_t nowUtcMs = 1706659200000ull /* 2024-01-31 00:00 UTC */, int tzOffsetMinutes = 0);

  void SetNow(uint64_t utcMs);
  void Advance(uint64_t ms);
  // Every pause taken through Sleep or a timed wait that ran out, in order.
  std::vector<win::DWORD> Pauses() const;

  uint64_t GetSystemTimeMs() override;
  win::SYSTEMTIME GetSystemTime() override;
  win::SYSTEMTIME GetLocalTime() override;
  win::SYSTEMTIME UtcMsToLocal(uint64_t utcMs) override;
  uint64_t GetTickCount64() override;
  void Sleep(win::DWORD ms) override;
  win::HANDLE CreateEventW(win::BOOL manualReset, win::BOOL initialState) override;
  win::BOOL SetEvent(win::HANDLE event) override;
  win::BOOL ResetEvent(win::HANDLE event) override;
  // A wait that is not satisfied at once moves the clock by its time-out instead of sleeping.
  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) override;

 private:
  mutable std::mutex mutex_;
  uint64_t now_;
  uint64_t ticks_ = 1000000;
  int tzOffsetMinutes_;
  std::vector<win::DWORD> pauses_;
};

// Pauses are counted and take no time; waits for I/O completions really wait.
class PauseCountingTime : public FakeTime {
 public:
  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) override;
};

}  // namespace qztest
