// Stopping a run in order, and faults turned into the run's end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/control_events.h"
#include "platform/faults.h"

namespace kelvaring {

struct TestRun;

// Whether a control type stops the run: Ctrl+C, Ctrl+Break (Ctrl+\) and a
// close do; others are declined.
bool stopsTheRun(uint32_t controlType);
// For those, the run's stop request (the caller prints the notice before
// it); false for the others.
bool onConsoleControl(TestRun& run, uint32_t controlType);

// The translator of the program's other threads: prints the fault line and
// ends the process with the fault's result code as exit status.
[[noreturn]] void endProcessOnFault(uint32_t code, const platform::FaultRecord& record);

// Keeps a console control handler registered while it lives.
class CtrlHandlerGuard {
 public:
  explicit CtrlHandlerGuard(platform::ControlHandler handler) : handler_(handler) {
    platform::addControlHandler(handler_, endProcessOnFault);
  }
  virtual ~CtrlHandlerGuard() { platform::removeControlHandler(handler_); }
  // The run's outcome is fixed: from now on a stop signal changes nothing.
  void ignoreFromNowOn() { platform::ignoreControlEvents(handler_); }
  CtrlHandlerGuard(const CtrlHandlerGuard&) = delete;
  CtrlHandlerGuard& operator=(const CtrlHandlerGuard&) = delete;

 private:
  platform::ControlHandler handler_;
};

// The line printed for a fault, ending with a line end.
std::string faultLine(uint32_t code, const platform::FaultRecord& record);

// The result code a fault ends the run with: the code itself when it reads
// as zero or negative, else its low 16 bits as a Win32 HRESULT.
int32_t faultResult(uint32_t code);

// Where a hardware memory error strikes one of the test buffers: the
// failed page (of the size the kernel reported, aligned down, within the
// buffer's mapping), the same page of the other buffer and which buffer
// failed. Both buffers map `mappedBytes` bytes.
struct PageReplacement {
  uintptr_t target = 0;
  uintptr_t source = 0;
  uint64_t bytes = 0;
  bool inBufferA = false;
  unsigned pageShift = 0;  // the page size taken, as log2
};
std::optional<PageReplacement> planPageReplacement(uintptr_t address, unsigned pageShift, uintptr_t baseA,
                                                   uintptr_t baseB, uint64_t mappedBytes);

// The program's handler of hardware memory errors, run inside the signal
// handler: a failed page of the active run's buffer A or B is replaced by a copy of the
// other buffer's same page and the error published in the ring of hardware
// memory errors for the monitor to report. False for an error elsewhere, or
// when the page cannot be replaced: it is then a fault.
bool onHardwareMemoryError(uintptr_t address, unsigned pageShift);

// Makes translateFault the calling thread's translator, hands hardware
// memory errors to onHardwareMemoryError, and sees to it that a
// CAtlException that cannot unwind to a catch point still ends the process
// with its result code.
void installFaultTranslation();

// The main thread's translator: prints the fault line and throws a
// CAtlException with the fault's result code; a fault that leaves nothing to
// unwind from ends the process as endProcessOnFault does.
[[noreturn]] void translateFault(uint32_t code, const platform::FaultRecord& record);

}  // namespace kelvaring
