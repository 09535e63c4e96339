// Calendar arithmetic on the proleptic Gregorian calendar, without the C library's time functions
// (they depend on the host's time zone and are not thread-safe).
#include "platform/time.h"

namespace win {

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a civil date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

SYSTEMTIME SystemTimeFromUnixMs(uint64_t ms) {
  const int64_t days = static_cast<int64_t>(ms / kMsPerDay);
  const uint64_t rest = ms % kMsPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  SYSTEMTIME st;
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  st.wDayOfWeek = static_cast<WORD>((days + 4) % 7);  // 1970-01-01 was a Thursday
  st.wHour = static_cast<WORD>(rest / 3600000);
  st.wMinute = static_cast<WORD>(rest / 60000 % 60);
  st.wSecond = static_cast<WORD>(rest / 1000 % 60);
  st.wMilliseconds = static_cast<WORD>(rest % 1000);
  return st;
}

uint64_t UnixMsFromSystemTime(const SYSTEMTIME& st) {
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
  const int64_t ms = days * kMsPerDay + int64_t{st.wHour} * 3600000 + int64_t{st.wMinute} * 60000 +
                     int64_t{st.wSecond} * 1000 + st.wMilliseconds;
  return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

}  // namespace win
