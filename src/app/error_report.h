// Error reports: the console lines, the title, the bell, the error limit and
// the log's record of each, for a mismatch (found by a cycle or a sweep), a
// hardware memory error in the buffers and ECC counts that grew.
#pragma once

#include <optional>
#include <vector>

#include "platform/platform.h"

namespace kelvaring {

// The memory controllers' counts as last read; none where EDAC is absent.
struct EccWatch {
  std::optional<std::vector<platform::EccCount>> counts;
  unsigned polls = 0;
};

// Reports what the finder of the latest error left in the detail, then
// clears the detail. Main thread only.
void reportError();

// Reads the counts again; counts that grew are one error report with a line
// per module. False when nothing grew or nothing is watched.
bool reportEccGrowth(EccWatch& ecc);

}  // namespace kelvaring
