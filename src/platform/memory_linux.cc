// Test memory as anonymous private mappings, locked in RAM where permitted;
// the available memory as the kernel's MemAvailable estimate within the
// headroom of the process's memory cgroups.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kelvaring::platform {

// Linux hands out mappings from the top of the address space downwards by
// default, so top-down placement needs nothing further.
void* commitMemory(uint64_t bytes, bool /*topDown*/) {
  if (bytes == 0) return nullptr;
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

void releaseMemory(void* base, uint64_t bytes) {
  if (base != nullptr) munmap(base, bytes);
}

uint64_t availablePhysicalMemory() {
  FILE* meminfo = std::fopen("/proc/meminfo", "re");
  if (meminfo == nullptr) return 0;
  uint64_t bytes = 0;
  char line[256];
  while (std::fgets(line, sizeof line, meminfo) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      bytes = static_cast<uint64_t>(kib) * 1024;
      break;
    }
  }
  std::fclose(meminfo);
  return std::min(bytes, memoryCgroupHeadroom());
}

// The system calls themselves: the sanitizers' runtimes replace mlock and
// munlock by calls that do nothing and report success.
bool lockMemory(void* base, uint64_t bytes) { return base != nullptr && syscall(SYS_mlock, base, bytes) == 0; }

void unlockMemory(void* base, uint64_t bytes) {
  if (base != nullptr) syscall(SYS_munlock, base, bytes);
}

}  // namespace kelvaring::platform
