#include "report/page_retirement.h"

#include <cinttypes>

#include "platform/console.h"
#include "report/results_log.h"

namespace kelvaring {

bool checkPageRetirement(const platform::RetireFiles& files) {
  std::string why;
  if (platform::pageRetirementAvailable(files, why)) return true;
  platform::printOut("Page retirement is not available: %s.\n", why.c_str());
  logRetire({.page = std::nullopt, .outcome = "unavailable", .reason = why});
  return false;
}

void retireFailingPages(const FailingPages& pages, const platform::RetireFiles& files, bool verbose) {
  for (const FailingPage& page : pages.pages()) {
    if (!page.physical || page.retiredByKernel) continue;
    const platform::RetireResult result = platform::retirePage(page.address, files);
    RetireEvent event{page.address, "retired", ""};
    if (result.outcome == platform::RetireOutcome::alreadyRetired) event.outcome = "already_retired";
    if (result.outcome == platform::RetireOutcome::refused) event = {page.address, "refused", result.reason};
    if (verbose) {
      if (result.outcome == platform::RetireOutcome::refused)
        platform::printOut("Page %016" PRIX64 " not retired: %s.\n", page.address, result.reason.c_str());
      else
        platform::printOut("Page %016" PRIX64 " %s.\n", page.address,
                           result.outcome == platform::RetireOutcome::retired ? "retired" : "already retired");
    }
    logRetire(event);
  }
}

}  // namespace kelvaring
