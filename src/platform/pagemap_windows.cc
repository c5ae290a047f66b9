// Windows tells a program no physical address behind its memory.
#include "platform/memory.h"

namespace kelvaring::platform {

std::optional<uint64_t> physicalAddress(uintptr_t) { return std::nullopt; }

}  // namespace kelvaring::platform
