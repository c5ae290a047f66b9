// Stop requests from the console.
#include "control/control.h"
#include "engine/engine.h"

namespace kelvaring {

bool onConsoleControl(uint32_t controlType) {
  if (controlType > platform::kCtrlCloseEvent) return false;
  // The notice comes before the flag, so it always precedes the summary.
  platform::printOut("\nStop signaled. Terminating...\n");
  requestStop();
  return true;
}

}  // namespace kelvaring
