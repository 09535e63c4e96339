#include "support/fake_time.h"

#include "platform/platform.h"

namespace qztest {

FakeTime::FakeTime(uint64_t nowUtcMs, int tzOffsetMinutes) : now_(nowUtcMs), tzOffsetMinutes_(tzOffsetMinutes) {}

void FakeTime::SetNow(uint64_t utcMs) {
  std::lock_guard lock(mutex_);
  now_ = utcMs;
}

void FakeTime::Advance(uint64_t ms) {
  std::lock_guard lock(mutex_);
  now_ += ms;
  ticks_ += ms;
}

std::vector<win::DWORD> FakeTime::Pauses() const {
  std::lock_guard lock(mutex_);
  return pauses_;
}

uint64_t FakeTime::GetSystemTimeMs() {
  std::lock_guard lock(mutex_);
  return now_;
}

win::SYSTEMTIME FakeTime::GetSystemTime() { return win::SystemTimeFromUnixMs(GetSystemTimeMs()); }

win::SYSTEMTIME FakeTime::GetLocalTime() { return UtcMsToLocal(GetSystemTimeMs()); }

win::SYSTEMTIME FakeTime::UtcMsToLocal(uint64_t utcMs) {
  const int64_t local = static_cast<int64_t>(utcMs) + int64_t{tzOffsetMinutes_} * 60000;
  return win::SystemTimeFromUnixMs(local < 0 ? 0 : static_cast<uint64_t>(local));
}

uint64_t FakeTime::GetTickCount64() {
  std::lock_guard lock(mutex_);
  return ticks_;
}

void FakeTime::Sleep(win::DWORD ms) {
  std::lock_guard lock(mutex_);
  pauses_.push_back(ms);
  if (ms != win::INFINITE) {
    now_ += ms;
    ticks_ += ms;
  }
}

win::HANDLE FakeTime::CreateEventW(win::BOOL manualReset, win::BOOL initialState) {
  return win::Handles().Add(std::make_shared<win::EventObject>(manualReset != 0, initialState != 0));
}

win::BOOL FakeTime::SetEvent(win::HANDLE event) {
  auto e = win::Handles().GetAs<win::EventObject>(event);
  if (!e) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  e->Set();
  return win::TRUE;
}

win::BOOL FakeTime::ResetEvent(win::HANDLE event) {
  auto e = win::Handles().GetAs<win::EventObject>(event);
  if (!e) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return win::FALSE;
  }
  e->Reset();
  return win::TRUE;
}

win::DWORD FakeTime::WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) {
  auto o = win::Handles().Get(object);
  if (!o || !o->IsWaitable()) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return win::WAIT_FAILED;
  }
  // Another thread may be the one to signal, so an unlimited wait really waits.
  if (ms == win::INFINITE) return o->Wait(win::INFINITE) ? win::WAIT_OBJECT_0 : win::WAIT_FAILED;
  if (o->Wait(0)) return win::WAIT_OBJECT_0;
  std::lock_guard lock(mutex_);
  pauses_.push_back(ms);
  now_ += ms;
  ticks_ += ms;
  return win::WAIT_TIMEOUT;
}

win::DWORD PauseCountingTime::WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind kind) {
  if (kind == win::WaitKind::Pause) return FakeTime::WaitForSingleObject(object, ms, kind);
  auto o = win::Handles().Get(object);
  if (!o || !o->IsWaitable()) return win::WAIT_FAILED;
  return o->Wait(ms) ? win::WAIT_OBJECT_0 : win::WAIT_TIMEOUT;
}

}  // namespace qztest
