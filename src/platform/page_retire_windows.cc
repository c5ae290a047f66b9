// Windows keeps its own list of bad pages (WHEA's page offlining) and gives
// a program no call to add one.
#include "platform/page_retire.h"

namespace kelvaring::platform {

bool pageRetirementAvailable(const RetireFiles&, std::string& why) {
  why = "not available on Windows";
  return false;
}

RetireResult retirePage(uint64_t, const RetireFiles&) {
  return {RetireOutcome::refused, "not available on Windows"};
}

}  // namespace kelvaring::platform
