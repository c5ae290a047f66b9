// Physical addresses from the kernel's page map of the process: one 64-bit
// entry per small page, the frame number in bits 0-54, bit 63 set when the
// page is present. Without CAP_SYS_ADMIN the kernel gives 0 for the frame.
#include <fcntl.h>
#include <unistd.h>

#include "platform/memory.h"

namespace kelvaring::platform {

std::optional<uint64_t> physicalAddress(uintptr_t virt) {
  constexpr uint64_t kPage = 4096;
  constexpr uint64_t kPresent = uint64_t{1} << 63;
  constexpr uint64_t kFrameMask = (uint64_t{1} << 55) - 1;
  int file = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (file < 0) return std::nullopt;
  uint64_t entry = 0;
  ssize_t got = pread(file, &entry, sizeof entry, static_cast<off_t>(virt / kPage * sizeof entry));
  close(file);
  if (got != static_cast<ssize_t>(sizeof entry) || (entry & kPresent) == 0) return std::nullopt;
  uint64_t frame = entry & kFrameMask;
  if (frame == 0) return std::nullopt;
  return frame * kPage + virt % kPage;
}

}  // namespace kelvaring::platform
