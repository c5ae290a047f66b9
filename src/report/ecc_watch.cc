#include "platform/edac.h"
#include "report/ecc_watch.h"

namespace kelvaring {

std::vector<EccGrowth> eccGrowth(const std::vector<platform::EccCount>& before,
                                 const std::vector<platform::EccCount>& after, bool unchangedToo) {
  auto gained = [](uint64_t from, uint64_t to) { return to > from ? to - from : 0; };
  std::vector<EccGrowth> grown;
  for (const platform::EccCount& now : after) {
    for (const platform::EccCount& then : before) {
      if (then.controller != now.controller || then.module != now.module) continue;
      EccGrowth growth{now.controller, now.label, gained(then.corrected, now.corrected),
                       gained(then.uncorrected, now.uncorrected), now.module};
      if (unchangedToo || growth.corrected != 0 || growth.uncorrected != 0) grown.push_back(growth);
      break;
    }
  }
  return grown;
}

}  // namespace kelvaring
