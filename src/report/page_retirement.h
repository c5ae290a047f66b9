// Failing pages taken out of service while the system runs (`retire=1`):
// through the kernel's soft-offline file, once the workers have ended, so
// that no page moves under a worker and the list is complete.
#pragma once

#include "platform/page_retire.h"
#include "report/failing_pages.h"

namespace kelvaring {

// With `retire=1`, at the start: where pages cannot be retired (not root,
// no soft-offline file, Windows), the line that says so and its log record;
// the run goes on. Returns whether they can be.
bool checkPageRetirement(const platform::RetireFiles& files);

// Every failing physical page that the kernel has not taken already, one
// by one: a line each with verbose, a log record each. Pages known only by
// their virtual address cannot be named to the kernel.
void retireFailingPages(const FailingPages& pages, const platform::RetireFiles& files, bool verbose);

}  // namespace kelvaring
