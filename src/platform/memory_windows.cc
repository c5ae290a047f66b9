// Test memory from VirtualAlloc: large pages where the process holds the
// lock-memory privilege, small ones silently otherwise; the available memory
// as GlobalMemoryStatusEx reports it, within the memory limit of a job
// object the process runs in.
#include <algorithm>
#include <atomic>
#include <iterator>

#include "platform/memory.h"
#include "platform/platform_windows.h"

#include <psapi.h>

namespace kelvaring::platform {
namespace {

// The regions given out in large pages, for hugePageBytes.
struct LargeRegion {
  std::atomic<uintptr_t> base{0};
  uint64_t bytes = 0;
};
LargeRegion largeRegions[4];

// Enables SeLockMemoryPrivilege in the process token where the token holds
// it at all; false otherwise. Asked once.
bool lockPrivilegeEnabled() {
  static const bool enabled = [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;  // ERROR_NOT_ALL_ASSIGNED: not held
    CloseHandle(token);
    return ok;
  }();
  return enabled;
}

void* largePageMemory(uint64_t bytes, DWORD topDown) {
  const SIZE_T large = GetLargePageMinimum();
  if (large == 0 || bytes % large != 0 || !lockPrivilegeEnabled()) return nullptr;
  void* base = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes),
                            MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES | topDown, PAGE_READWRITE);
  if (base == nullptr) return nullptr;
  for (LargeRegion& region : largeRegions) {
    uintptr_t free = 0;
    if (region.base.compare_exchange_strong(free, reinterpret_cast<uintptr_t>(base))) {
      region.bytes = bytes;
      break;
    }
  }
  return base;
}

}  // namespace

void* commitMemory(uint64_t bytes, bool topDown) {
  if (bytes == 0 || bytes > SIZE_MAX) return nullptr;
  const DWORD placement = topDown ? MEM_TOP_DOWN : 0;
  if (void* base = largePageMemory(bytes, placement)) return base;
  return VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE | MEM_COMMIT | placement, PAGE_READWRITE);
}

void releaseMemory(void* base, uint64_t /*bytes*/) {
  if (base == nullptr) return;
  for (LargeRegion& region : largeRegions) {
    uintptr_t held = reinterpret_cast<uintptr_t>(base);
    if (region.base.compare_exchange_strong(held, 0)) break;
  }
  VirtualFree(base, 0, MEM_RELEASE);
}

uint64_t availablePhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  // A 32-bit process has less address space than the machine has memory.
  uint64_t bytes = GlobalMemoryStatusEx(&status) ? std::min(status.ullAvailPhys, status.ullAvailVirtual) : kMemoryUnknown;
  // A job object's limit on the process's or the job's committed memory
  // plays the part of a memory cgroup; the job's other processes are not
  // counted.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr)) {
    PROCESS_MEMORY_COUNTERS_EX used{};
    used.cb = sizeof used;
    const bool known =
        K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&used), sizeof used);
    bytes = std::min(bytes, jobMemoryHeadroom(job, known ? used.PrivateUsage : 0));
  }
  return bytes;
}

uint64_t jobMemoryHeadroom(const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& job, uint64_t committed) {
  auto headroom = [committed](uint64_t limit) { return limit > committed ? limit - committed : 0; };
  uint64_t bytes = UINT64_MAX;
  const DWORD flags = job.BasicLimitInformation.LimitFlags;
  if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) bytes = std::min(bytes, headroom(job.ProcessMemoryLimit));
  if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) bytes = std::min(bytes, headroom(job.JobMemoryLimit));
  return bytes;
}

// VirtualLock keeps no more pages than the working set's minimum allows:
// the minimum and maximum are raised by the region's size first.
bool lockMemory(void* base, uint64_t bytes) {
  if (base == nullptr || bytes > SIZE_MAX) return false;
  SIZE_T minimum = 0, maximum = 0;
  HANDLE self = GetCurrentProcess();
  if (!GetProcessWorkingSetSize(self, &minimum, &maximum)) return false;
  const SIZE_T more = static_cast<SIZE_T>(bytes);
  if (!SetProcessWorkingSetSize(self, minimum + more, std::max(maximum, minimum + more) + more)) return false;
  if (VirtualLock(base, more)) return true;
  SetProcessWorkingSetSize(self, minimum, maximum);
  return false;
}

void unlockMemory(void* base, uint64_t bytes) {
  if (base != nullptr) VirtualUnlock(base, static_cast<SIZE_T>(bytes));
}

// No hardware memory error reaches a Windows program as a signal: nothing
// is ever replaced.
bool replacePages(void*, const void*, uint64_t, bool) { return false; }

uint64_t hugePageBytes(const std::vector<AddressRange>& ranges) {
  uint64_t total = 0;
  for (const LargeRegion& region : largeRegions) {
    const uintptr_t begin = region.base.load();
    if (begin == 0) continue;
    for (const AddressRange& range : ranges) {
      const uintptr_t from = std::max<uintptr_t>(range.begin, begin);
      const uintptr_t to = std::min<uintptr_t>(range.end, begin + region.bytes);
      if (from < to) total += to - from;
    }
  }
  return total;
}

}  // namespace kelvaring::platform
