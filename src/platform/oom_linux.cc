// The process's standing with the kernel's OOM killer.
#include <fcntl.h>
#include <unistd.h>

#include "platform/memory.h"

namespace kelvaring::platform {

// The top of the scale (1000) marks the process as the one to end first.
// Raising one's own score needs no privilege.
void offerToOomKiller() {
  int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = write(fd, "1000", 4);
  close(fd);
}

}  // namespace kelvaring::platform
