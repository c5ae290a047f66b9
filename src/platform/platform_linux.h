// What the Linux files of the platform layer offer beyond its headers: the
// parsers of the kernel's texts and the mapping of signals to fault codes,
// pure functions that the tests exercise on texts of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/memory.h"

namespace kelvaring::platform {

// The bytes of some address ranges that lie in transparent huge pages,
// given the text of a /proc/PID/smaps: AnonHugePages of each mapping that
// overlaps them, counted once and at most as far as its overlap (the kernel
// may merge neighbouring mappings into one).
uint64_t hugePageBytesIn(const std::string& smapsText, const std::vector<AddressRange>& ranges);

// The least headroom (limit less usage) of the memory cgroups a process
// belongs to, at every level from its own cgroup up to the top of the
// mounted tree, given the texts of its /proc/PID/cgroup and
// /proc/PID/mountinfo; the cgroup files are read where mountinfo places
// them. A level without a limit, or whose files cannot be read, imposes
// nothing; UINT64_MAX when no level limits.
uint64_t cgroupHeadroom(const std::string& cgroupText, const std::string& mountinfoText);
// The same for the running process.
uint64_t memoryCgroupHeadroom();

// The CPU quota of the cgroups a process belongs to, as a number of CPUs
// (quota over period: 1.5 for 150000 of 100000 microseconds), the least of
// every level from its own cgroup up to the top of the mounted tree, given
// the texts of its /proc/PID/cgroup and /proc/PID/mountinfo: cgroup v2
// cpu.max, v1 cpu.cfs_quota_us and cpu.cfs_period_us. 0 when no level sets
// a quota.
double cgroupCpuQuota(const std::string& cgroupText, const std::string& mountinfoText);
// `cpus` (of the affinity mask) cut to a quota of `quota` CPUs rounded up:
// 1.5 CPUs allow 2, 0.5 allow 1; a quota of 0 (none) cuts nothing.
uint32_t cpusWithinQuota(uint32_t cpus, double quota);

inline constexpr const char* kEdacRoot = "/sys/devices/system/edac/mc";

// The fault code of a processor fault on x86-64 Linux, from its signal
// (SIGSEGV, SIGBUS, SIGILL or SIGFPE) and si_code.
uint32_t faultCode(int signal, int siCode);
// What is known of it besides: for SIGSEGV the address and, from the page
// fault error code, the kind of access; a fault without an address
// (SI_KERNEL) has the unknown address, all ones.
FaultRecord faultRecord(int signal, int siCode, uintptr_t address, uint64_t pageFaultError);

}  // namespace kelvaring::platform
