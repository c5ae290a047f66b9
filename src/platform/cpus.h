// The processors the program may use. In cpus_*.cc.
#pragma once

#include <cstdint>

namespace kelvaring::platform {

// The CPUs this process may run on: those of its affinity mask, or where
// the cgroup CPU quota allows fewer, the quota rounded up; at least 1.
uint32_t usableCpuCount();

}  // namespace kelvaring::platform
