// The CPUs the process may run on: its affinity mask, within the CPU quota
// of its cgroups.
#include <sched.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "platform/cpus.h"
#include "platform/files.h"
#include "platform/platform_linux.h"

namespace kelvaring::platform {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

// The CPUs of the affinity mask; the mask grows until it holds every CPU
// the kernel knows. 1 when it cannot be read.
uint32_t affinityCpus() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    const size_t size = CPU_ALLOC_SIZE(cpus);
    std::vector<cpu_set_t> mask((size + sizeof(cpu_set_t) - 1) / sizeof(cpu_set_t));
    if (sched_getaffinity(0, size, mask.data()) == 0) {
      const int count = CPU_COUNT_S(size, mask.data());
      return count > 0 ? static_cast<uint32_t>(count) : 1;
    }
    if (errno != EINVAL) break;
  }
  return 1;
}

}  // namespace

uint32_t cpusWithinQuota(uint32_t cpus, double quota) {
  if (quota > 0 && std::ceil(quota) < cpus) return static_cast<uint32_t>(std::ceil(quota));
  return cpus;
}

uint32_t usableCpuCount() {
  const uint32_t cpus = affinityCpus();
  std::string cgroupText;
  std::string mountinfoText;
  if (!readSmallFile("/proc/self/cgroup", kMaxFileBytes, cgroupText) ||
      !readSmallFile("/proc/self/mountinfo", kMaxFileBytes, mountinfoText))
    return cpus;
  return cpusWithinQuota(cpus, cgroupCpuQuota(cgroupText, mountinfoText));
}

}  // namespace kelvaring::platform
