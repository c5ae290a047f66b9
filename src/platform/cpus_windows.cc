// The CPUs the process may run on: its affinity mask within its processor
// group, or every active CPU of every group where the mask holds the whole
// group (Windows 11 spreads such a process over all groups).
#include <bit>

#include "platform/cpus.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {

uint32_t usableCpuCount() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  const auto mine = static_cast<uint32_t>(std::popcount(static_cast<uint64_t>(process)));
  if (process != system) return mine;
  const DWORD all = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return all > mine ? all : mine;
}

}  // namespace kelvaring::platform
