// Faults become the fault line and the run's result code.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "control/control.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/console.h"
#include "platform/faults.h"

namespace kelvaring {
namespace {

// Formats without allocating: this runs while a fault is being handled.
size_t formatFaultLine(uint32_t code, const platform::FaultRecord& record, char* out, size_t size) {
  int n;
  if (code == kAccessViolation) {
    n = std::snprintf(out, size, "Exception code = %08" PRIx32 " (%s address %016" PRIXPTR ")\n", code,
                      record.accessKind != 0 ? "write to" : "read from", record.address);
  } else {
    n = std::snprintf(out, size, "Exception code = %08" PRIx32 "\n", code);
  }
  return n < 0 ? 0 : static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void printFaultLine(uint32_t code, const platform::FaultRecord& record) {
  char line[128];
  size_t length = formatFaultLine(code, record, line, sizeof line);
  platform::writeOutRaw(line, length);
  // The run's log records the fault, if it has one.
  const ActiveRunUse use;
  if (use.run() != nullptr && use.run()->faultWitness != nullptr) use.run()->faultWitness(code, record);
}

// An exception cannot unwind through a frame that the compiler took for one
// that cannot throw, such as a C library call in which the fault struck.
// The process then ends here, with the result code all the same.
[[noreturn]] void endWithUncaughtResult() {
  try {
    if (std::exception_ptr pending = std::current_exception()) std::rethrow_exception(pending);
  } catch (CAtlException e) {
    platform::exitImmediately(e.m_hr);
  } catch (...) {
  }
  std::abort();
}

}  // namespace

void installFaultTranslation() {
  platform::setFaultTranslator(translateFault);
  platform::setHardwareErrorHandler(onHardwareMemoryError);
  std::set_terminate(endWithUncaughtResult);
}

std::string faultLine(uint32_t code, const platform::FaultRecord& record) {
  char line[128];
  return std::string(line, formatFaultLine(code, record, line, sizeof line));
}

int32_t faultResult(uint32_t code) {
  if (static_cast<int32_t>(code) <= 0) return static_cast<int32_t>(code);
  return static_cast<int32_t>((code & 0xFFFF) | 0x80070000);
}

void translateFault(uint32_t code, const platform::FaultRecord& record) {
  if (!record.unwindable) endProcessOnFault(code, record);
  printFaultLine(code, record);
  throw CAtlException{faultResult(code)};
}

void endProcessOnFault(uint32_t code, const platform::FaultRecord& record) {
  printFaultLine(code, record);
  platform::exitImmediately(faultResult(code));
}

}  // namespace kelvaring
