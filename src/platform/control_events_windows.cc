// Console control events through SetConsoleCtrlHandler. The system runs the
// handler on a thread it starts for each event.
#include "platform/control_events.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {
namespace {

struct Control {
  ControlHandler handler = nullptr;
  FaultTranslator faultCourse = nullptr;
};
Control control;

// The event the handler is being called for; set and read on the event's
// own thread.
thread_local const char* eventInHand = nullptr;

const char* eventName(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    default: return "CTRL_SHUTDOWN_EVENT";
  }
}

}  // namespace

BOOL WINAPI consoleControlRoutine(DWORD type) {
  ControlHandler handler = control.handler;
  if (handler == nullptr) return FALSE;
  setFaultTranslator(control.faultCourse);
  eventInHand = eventName(type);
  const bool handled = handler(type);
  eventInHand = nullptr;
  return handled ? TRUE : FALSE;
}

namespace {

// Takes every event and does nothing with it.
BOOL WINAPI swallowControlEvent(DWORD) { return TRUE; }

}  // namespace

const char* controlEventSignal() { return eventInHand; }

bool addControlHandler(ControlHandler handler, FaultTranslator faultCourse) {
  if (control.handler != nullptr) return false;
  control = {handler, faultCourse};
  if (SetConsoleCtrlHandler(consoleControlRoutine, TRUE)) return true;
  control = {};
  return false;
}

void removeControlHandler(ControlHandler handler) {
  if (handler == nullptr || handler != control.handler) return;
  SetConsoleCtrlHandler(consoleControlRoutine, FALSE);
  control = {};
}

// Ctrl+C and Ctrl+Break are ignored from now on; a closing console still
// ends the process once the system's grace period is over.
void ignoreControlEvents(ControlHandler handler) {
  if (handler == nullptr || handler != control.handler) return;
  SetConsoleCtrlHandler(swallowControlEvent, TRUE);
  SetConsoleCtrlHandler(consoleControlRoutine, FALSE);
  control = {};
}

}  // namespace kelvaring::platform
