// Stop requests from the console.
#include "control/control.h"
#include "engine/test_run.h"
#include "engine/engine.h"
#include "platform/control_events.h"

namespace kelvaring {

bool stopsTheRun(uint32_t controlType) { return controlType <= platform::kCtrlCloseEvent; }

bool onConsoleControl(TestRun& run, uint32_t controlType) {
  if (!stopsTheRun(controlType)) return false;
  requestStop(run);
  return true;
}

}  // namespace kelvaring
