// The clocks, from clock_gettime and the C library's local time.
#include <time.h>

#include <ctime>

#include "platform/clock.h"

namespace kelvaring::platform {

uint32_t secondsSinceEpoch() { return static_cast<uint32_t>(std::time(nullptr)); }

uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

TimeOfDay localTimeOfDay() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

int64_t epochMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

WallClock wallClock() {
  int64_t milliseconds = epochMilliseconds();
  time_t seconds = static_cast<time_t>(milliseconds / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  return {milliseconds, static_cast<int32_t>(local.tm_gmtoff)};
}

}  // namespace kelvaring::platform
