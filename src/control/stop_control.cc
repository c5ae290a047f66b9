// Stop requests from the console.
#include "control/control.h"
#include "engine/engine.h"
#include "platform/control_events.h"

namespace kelvaring {

bool stopsTheRun(uint32_t controlType) { return controlType <= platform::kCtrlCloseEvent; }

bool onConsoleControl(uint32_t controlType) {
  if (!stopsTheRun(controlType)) return false;
  requestStop();
  return true;
}

}  // namespace kelvaring
