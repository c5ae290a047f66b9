// How much memory a run tests.
#pragma once

#include <cstdint>

namespace kelvaring {

// Memory left to the system and to the program's own needs (code, stacks,
// page tables) beside the buffers: a floor plus a share of what is available.
inline constexpr uint64_t kReserveFloor = uint64_t{64} << 20;
inline constexpr uint64_t kReserveShareDivisor = 16;
uint64_t memoryReserve(uint64_t available);

// The byte count to test. Without a size (megabytes 0) it is the available
// memory less the reserve, rounded down to whole MiB; a given size is taken
// when it fits within that. 0, which no allocation satisfies, when it does
// not fit or nothing is left. Where the available memory is unknown, a given
// size is taken as it is and there is no default.
uint64_t testSize(uint32_t megabytes, uint64_t available);

// `percent` of what a run without a size takes, rounded down to whole MiB;
// 0 when nothing is known or left.
uint64_t shareOfDefault(uint32_t percent, uint64_t available);

}  // namespace kelvaring
