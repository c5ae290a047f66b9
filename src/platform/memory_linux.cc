// Test memory as anonymous private mappings, huge-page aligned and advised
// from 2 MiB on, locked in RAM where permitted; the available memory as the
// kernel's MemAvailable estimate within the headroom of the process's memory
// cgroups.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/memory.h"
#include "platform/platform_linux.h"

namespace kelvaring::platform {

namespace {

// The size of a transparent huge page on x86-64, and of a small one.
constexpr uint64_t kHugePage = uint64_t{2} << 20;
constexpr uint64_t kSmallPage = 4096;

uintptr_t roundUp(uintptr_t address, uint64_t alignment) { return (address + alignment - 1) & ~(alignment - 1); }

}  // namespace

// Linux hands out mappings from the top of the address space downwards by
// default, so top-down placement needs nothing further.
//
// From one huge page on, the mapping starts on a huge-page boundary (a
// larger region is mapped and trimmed to `bytes`) and is advised for
// transparent huge pages. Where the kernel grants none (THP off, or no free
// huge page at the fault), the memory comes in small pages, silently. The
// mapping covers `bytes` as a plain one would, so munmap of `bytes` releases
// all of it.
void* commitMemory(uint64_t bytes, bool /*topDown*/) {
  if (bytes == 0) return nullptr;
  const int protection = PROT_READ | PROT_WRITE;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (bytes < kHugePage) {
    void* base = mmap(nullptr, bytes, protection, flags, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
  }
  const uint64_t reserved = bytes + kHugePage;
  if (reserved < bytes) return nullptr;  // wrapped around
  void* raw = mmap(nullptr, reserved, protection, flags, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = roundUp(start, kHugePage);
  const uintptr_t end = roundUp(aligned + bytes, kSmallPage);
  if (aligned > start) munmap(raw, aligned - start);
  if (start + reserved > end) munmap(reinterpret_cast<void*>(end), start + reserved - end);
  void* base = reinterpret_cast<void*>(aligned);
  madvise(base, bytes, MADV_HUGEPAGE);  // a refusal leaves small pages
  return base;
}

void releaseMemory(void* base, uint64_t bytes) {
  if (base != nullptr) munmap(base, bytes);
}

// mmap, mlock and mremap are system calls and the copy a plain loop: all
// of it may run inside a signal handler.
bool replacePages(void* target, const void* source, uint64_t bytes, bool lock) {
  void* fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fresh == MAP_FAILED) return false;
  auto* to = static_cast<uint64_t*>(fresh);
  const auto* from = static_cast<const volatile uint64_t*>(source);
  for (uint64_t i = 0; i < bytes / 8; ++i) to[i] = from[i];
  if (mremap(fresh, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
    munmap(fresh, bytes);
    return false;
  }
  // Locked once in place, when the old locked range is gone: locked beside
  // it, the fresh range could pass the lock limit (RLIMIT_MEMLOCK) that
  // the buffers fill. Should the lock fail all the same, the range goes on
  // unlocked: the run matters more than the lock of one page.
  if (lock) syscall(SYS_mlock, target, bytes);
  return true;
}

uint64_t availablePhysicalMemory() {
  FILE* meminfo = std::fopen("/proc/meminfo", "re");
  uint64_t bytes = kMemoryUnknown;
  if (meminfo == nullptr) return memoryCgroupHeadroom();
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

uint64_t hugePageBytesIn(const std::string& smapsText, const std::vector<AddressRange>& ranges) {
  std::istringstream lines(smapsText);
  std::string line;
  uint64_t total = 0;
  uint64_t overlap = 0;  // of the mapping whose lines are being read
  while (std::getline(lines, line)) {
    unsigned long long begin = 0, end = 0, kib = 0;
    int used = 0;
    // A mapping's first line starts with its range, "begin-end perms ...".
    if (std::sscanf(line.c_str(), "%llx-%llx %n", &begin, &end, &used) == 2 && used > 0) {
      overlap = 0;
      for (const AddressRange& range : ranges) {
        uintptr_t from = std::max<uintptr_t>(range.begin, begin);
        uintptr_t to = std::min<uintptr_t>(range.end, end);
        if (from < to) overlap += to - from;
      }
    } else if (overlap != 0 && std::sscanf(line.c_str(), "AnonHugePages: %llu kB", &kib) == 1) {
      total += std::min<uint64_t>(uint64_t{kib} * 1024, overlap);
    }
  }
  return total;
}

uint64_t hugePageBytes(const std::vector<AddressRange>& ranges) {
  // Read as it comes: its size is not known beforehand, and a buffer laid
  // out for the largest case would take memory the test has counted on.
  std::ifstream smaps("/proc/self/smaps");
  std::ostringstream text;
  text << smaps.rdbuf();
  return smaps ? hugePageBytesIn(text.str(), ranges) : 0;
}

}  // namespace kelvaring::platform
