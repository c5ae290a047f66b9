// Windows has no OOM killer and no score to raise: nothing to offer.
#include "platform/memory.h"

namespace kelvaring::platform {

void offerToOomKiller() {}

}  // namespace kelvaring::platform
