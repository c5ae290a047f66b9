// Windows tells a program no error counts of the memory controllers.
#include "platform/edac.h"

namespace kelvaring::platform {

std::optional<std::vector<EccCount>> readEccCounts() { return std::nullopt; }
std::optional<std::vector<EccCount>> readEccCounts(const std::string&) { return std::nullopt; }

}  // namespace kelvaring::platform
