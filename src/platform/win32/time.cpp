// Clocks, pauses, events and waits on the real API. Handles of the platform's table (test fakes'
// events and processes) are waited on and signalled through their objects; every other handle is
// the kernel's.
#include <mutex>

#include "platform/time.h"
#include "platform/win32/services.h"

#include "platform/win32/kernel_exports.h"
#include "platform/win32/win_api.h"

namespace win32 {

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

win::SYSTEMTIME FromApi(const ::SYSTEMTIME& st) {
  win::SYSTEMTIME out;
  out.wYear = st.wYear;
  out.wMonth = st.wMonth;
  out.wDayOfWeek = st.wDayOfWeek;
  out.wDay = st.wDay;
  out.wHour = st.wHour;
  out.wMinute = st.wMinute;
  out.wSecond = st.wSecond;
  out.wMilliseconds = st.wMilliseconds;
  return out;
}

std::shared_ptr<win::KernelObject> TableObject(win::HANDLE h) {
  return win::Platform::HasCurrent() ? win::Handles().Get(h) : nullptr;
}

class Win32Time : public win::ITime {
 public:
  uint64_t GetSystemTimeMs() override {
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t < kUnixEpochAsFileTime ? 0 : (t - kUnixEpochAsFileTime) / 10000;
  }

  win::SYSTEMTIME GetSystemTime() override {
    ::SYSTEMTIME st{};
    ::GetSystemTime(&st);
    return FromApi(st);
  }

  win::SYSTEMTIME GetLocalTime() override {
    ::SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return FromApi(st);
  }

  win::SYSTEMTIME UtcMsToLocal(uint64_t utcMs) override {
    const uint64_t t = utcMs * 10000 + kUnixEpochAsFileTime;
    FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    ::SYSTEMTIME utc{}, local{};
    if (!::FileTimeToSystemTime(&ft, &utc)) return win::SystemTimeFromUnixMs(utcMs);
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return FromApi(utc);
    return FromApi(local);
  }

  uint64_t GetTickCount64() override {
    using Fn = ULONGLONG(WINAPI*)();
    static const Fn tick64 = Export<Fn>(L"kernel32.dll", "GetTickCount64");
    if (tick64) return tick64();
    // Before Vista: widen the 32-bit count, which wraps every 49.7 days.
    std::lock_guard lock(tickMutex_);
    const DWORD now = ::GetTickCount();
    if (now < lastTick_) tickHigh_ += 0x100000000ull;
    lastTick_ = now;
    return tickHigh_ + now;
  }

  void Sleep(win::DWORD ms) override { ::Sleep(ms); }

  win::HANDLE CreateEventW(win::BOOL manualReset, win::BOOL initialState) override {
    return ::CreateEventW(nullptr, manualReset, initialState, nullptr);
  }

  win::BOOL SetEvent(win::HANDLE event) override {
    if (auto o = TableObject(event)) return Signal(o, true);
    return ::SetEvent(Handle(event)) ? TRUE : FALSE;
  }

  win::BOOL ResetEvent(win::HANDLE event) override {
    if (auto o = TableObject(event)) return Signal(o, false);
    return ::ResetEvent(Handle(event)) ? TRUE : FALSE;
  }

  win::DWORD WaitForSingleObject(win::HANDLE object, win::DWORD ms, win::WaitKind) override {
    if (auto o = TableObject(object)) {
      if (!o->IsWaitable()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      return o->Wait(ms) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    // A pause is as long as asked here: only a simulated machine shortens pauses.
    return ::WaitForSingleObject(Handle(object), ms);
  }

 private:
  static win::BOOL Signal(const std::shared_ptr<win::KernelObject>& o, bool set) {
    auto e = std::dynamic_pointer_cast<win::EventObject>(o);
    if (!e) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    set ? e->Set() : e->Reset();
    return TRUE;
  }

  std::mutex tickMutex_;
  DWORD lastTick_ = 0;
  uint64_t tickHigh_ = 0;
};

}  // namespace

std::unique_ptr<win::ITime> MakeTime() { return std::make_unique<Win32Time>(); }

}  // namespace win32
