// The stop signals (Windows's console control events). In
// control_events_*.cc.
#pragma once

#include <cstdint>

#include "platform/faults.h"

namespace kelvaring::platform {

inline constexpr uint32_t kCtrlCEvent = 0;      // SIGINT
inline constexpr uint32_t kCtrlBreakEvent = 1;  // SIGQUIT
inline constexpr uint32_t kCtrlCloseEvent = 2;  // SIGHUP and SIGTERM

// Receives the control type; true means handled. Runs on a thread of its
// own, never inside a signal handler.
using ControlHandler = bool (*)(uint32_t controlType);

// While a handler is registered, SIGINT, SIGQUIT, SIGHUP and SIGTERM go to
// it; before and after they take their default course. A stop signal that
// was ignored when the program started stays ignored throughout. Register on
// the main thread before any other thread of the program is started. The
// handler's thread hands its faults to `faultCourse`.
bool addControlHandler(ControlHandler handler, FaultTranslator faultCourse);
void removeControlHandler(ControlHandler handler);
// Removes the handler and leaves the four signals ignored for the rest of
// the process, those already pending included.
void ignoreControlEvents(ControlHandler handler);
// The name of the signal behind the control event the handler is being
// called for ("SIGINT", "SIGQUIT", "SIGHUP", "SIGTERM"); call it from the
// handler. Null outside one.
const char* controlEventSignal();

}  // namespace kelvaring::platform
