// Memory for the test: committing, releasing and locking it, how much is
// available, what lies behind it (physical addresses, huge pages) and the
// kernel's out-of-memory choice. In memory_*.cc, pagemap_*.cc and oom_*.cc.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kelvaring::platform {

// Committed, zero-filled read-write memory; null for 0 bytes or on failure.
void* commitMemory(uint64_t bytes, bool topDown);
void releaseMemory(void* base, uint64_t bytes);

// Physical memory available to a new allocation right now, in bytes: the
// kernel's estimate, or less where a memory cgroup of the process leaves
// less room; kMemoryUnknown when neither says anything (a kernel without
// MemAvailable, outside any limiting cgroup).
inline constexpr uint64_t kMemoryUnknown = UINT64_MAX;
uint64_t availablePhysicalMemory();

// Keeps the pages of a region in RAM (they must be mapped already); false,
// with nothing locked, where the system refuses. unlockMemory undoes it.
bool lockMemory(void* base, uint64_t bytes);
void unlockMemory(void* base, uint64_t bytes);

// The physical address behind a virtual one, from /proc/self/pagemap;
// nullopt when the page is not present or its frame number is hidden (an
// unprivileged reader sees 0).
std::optional<uint64_t> physicalAddress(uintptr_t virt);

// Puts a fresh page range holding a copy of `source` in place of the
// `bytes` at `target` (both page-aligned, the same size), locked in RAM
// when `lock` and the lock limit allows. The copy is made before the swap, so no thread ever sees the
// range half-filled. Async-signal-safe; false, with nothing changed, on
// failure.
bool replacePages(void* target, const void* source, uint64_t bytes, bool lock);

// Makes the process the first the kernel ends when memory runs out; silent
// on failure.
void offerToOomKiller();

// The bytes of some address ranges of the running process that lie in huge
// (large) pages; 0 when the system cannot tell.
struct AddressRange {
  uintptr_t begin;
  uintptr_t end;
};
uint64_t hugePageBytes(const std::vector<AddressRange>& ranges);

}  // namespace kelvaring::platform
