// The clocks, from the performance counter and the system time.
#include <ctime>

#include "platform/clock.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {

uint32_t secondsSinceEpoch() { return static_cast<uint32_t>(std::time(nullptr)); }

uint64_t monotonicNanoseconds() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  const uint64_t f = static_cast<uint64_t>(frequency);
  return ticks / f * 1000000000u + ticks % f * 1000000000u / f;
}

TimeOfDay localTimeOfDay() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wHour, local.wMinute, local.wSecond};
}

// FILETIME counts 100 ns from 1601; 11644473600 seconds lie before 1970.
int64_t epochMilliseconds() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const int64_t ticks = static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
  return ticks / 10000 - int64_t{11644473600} * 1000;
}

WallClock wallClock() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;  // minutes to add to local time for UTC
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return {epochMilliseconds(), static_cast<int32_t>(-bias * 60)};
}

}  // namespace kelvaring::platform
