// Clocks, pauses and waits. Every clock reading and every pause of the code above the platform
// goes through here, so tests can inject a clock and simulated machines can run pauses faster.
#pragma once

#include "platform/types.h"

namespace win {

// How a timed wait's time-out is meant: a pause (the time-out is the point of the wait, such as a
// retry interval) may be shortened by a simulated machine; an I/O limit never is.
enum class WaitKind { Pause, Limit };

class ITime {
 public:
  virtual ~ITime() = default;
  // Milliseconds since 1970-01-01 UTC (GetSystemTimeAsFileTime, converted).
  virtual uint64_t GetSystemTimeMs() = 0;
  virtual SYSTEMTIME GetSystemTime() = 0;
  virtual SYSTEMTIME GetLocalTime() = 0;
  // Local calendar time of a UTC instant, in the machine's time zone.
  virtual SYSTEMTIME UtcMsToLocal(uint64_t utcMs) = 0;
  virtual uint64_t GetTickCount64() = 0;
  DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }
  virtual void Sleep(DWORD ms) = 0;

  // Events and waits on any waitable handle (events, processes).
  virtual HANDLE CreateEventW(BOOL manualReset, BOOL initialState) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD ms, WaitKind kind = WaitKind::Limit) = 0;
};

// Calendar helpers that need no machine.
SYSTEMTIME SystemTimeFromUnixMs(uint64_t ms);
uint64_t UnixMsFromSystemTime(const SYSTEMTIME& st);

}  // namespace win
