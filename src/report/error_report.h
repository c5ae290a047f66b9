// Error reports: the console lines, the title, the bell, the error limit and
// the log's records of each, for the errors the monitor drained (mismatches
// found by a cycle or a sweep, hardware memory errors in the buffers) and
// for ECC counts that grew.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelvaring/state.h"
#include "platform/edac.h"
#include "report/ecc_watch.h"
#include "report/error_drain.h"
#include "report/failing_pages.h"

namespace kelvaring {

// One report of what a look found (it holds at least one record): the
// console shows the newest record, the log every one, and `pages` counts
// each in its pages. Main thread only.
void reportErrors(TestRun& run, const FoundErrors& found, FailingPages& pages);

// Reads the counts again and keeps them as the new baseline; counts that
// grew are one error report with a line per module. With `eccfail=0`
// corrected errors alone are not an error report: the module lines are
// printed and logged (as not counted) all the same. False when nothing
// grew or nothing is watched.
bool reportEccGrowth(TestRun& run, EccWatch& ecc);

}  // namespace kelvaring
