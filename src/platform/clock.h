// The clocks: the time of day, the wall clock and a monotonic one. In
// clock_*.cc.
#pragma once

#include <cstdint>

namespace kelvaring::platform {

uint32_t secondsSinceEpoch();
// A clock that only moves forward, unaffected by changes of the time of day.
uint64_t monotonicNanoseconds();

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};
TimeOfDay localTimeOfDay();

// The wall clock to the millisecond and the local time's offset from UTC.
struct WallClock {
  int64_t epochMilliseconds;
  int32_t utcOffsetSeconds;
};
WallClock wallClock();
// The wall clock alone; safe in a signal handler.
int64_t epochMilliseconds();

}  // namespace kelvaring::platform
