#include "app/test_size.h"

#include "platform/memory.h"

namespace kelvaring {

uint64_t memoryReserve(uint64_t available) { return kReserveFloor + available / kReserveShareDivisor; }

uint64_t testSize(uint32_t megabytes, uint64_t available) {
  if (available == platform::kMemoryUnknown) return uint64_t{megabytes} << 20;
  uint64_t reserve = memoryReserve(available);
  uint64_t usable = available > reserve ? (available - reserve) >> 20 << 20 : 0;
  if (megabytes == 0) return usable;
  uint64_t requested = uint64_t{megabytes} << 20;
  return requested <= usable ? requested : 0;
}

uint64_t shareOfDefault(uint32_t percent, uint64_t available) {
  if (available == platform::kMemoryUnknown) return 0;
  return (testSize(0, available) >> 20) * percent / 100 << 20;
}

}  // namespace kelvaring
