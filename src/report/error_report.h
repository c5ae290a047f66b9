// Error reports: the console lines, the title, the bell, the error limit and
// the log's record of each, for a mismatch (found by a cycle or a sweep), a
// hardware memory error in the buffers and ECC counts that grew.
#pragma once

#include <optional>
#include <vector>

#include "kelvaring/state.h"
#include "platform/platform.h"

namespace kelvaring {

// The memory controllers' counts as last read; none where EDAC is absent.
struct EccWatch {
  std::optional<std::vector<platform::EccCount>> counts;
  unsigned polls = 0;
};

// The workers' error slots as the monitor last read them.
class ErrorReader {
 public:
  // The newest complete record published into any slot since the last
  // call; none when nothing new could be read. Nothing is cleared.
  std::optional<ErrorRecord> newest();

 private:
  std::vector<uint32_t> seen_;  // each slot's sequence when last read
};

// Reports the newest error the workers published since the last report
// (one report, however many came in between). Main thread only.
void reportError(ErrorReader& reader);

// Reads the counts again; counts that grew are one error report with a line
// per module. False when nothing grew or nothing is watched.
bool reportEccGrowth(EccWatch& ecc);

}  // namespace kelvaring
