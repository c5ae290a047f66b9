// A file replaced whole: written beside its target, then renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace kelvaring::platform {

bool replaceFile(const std::string& path, std::string_view content, std::string& reason) {
  // Only a file (or a link) is replaced: renamed over a device such as
  // /dev/null, a run as root would put a plain file in its place.
  struct stat existing{};
  if (lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
    reason = S_ISDIR(existing.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
    return false;
  }
  // rename(2) is atomic within one file system: the new file is written in
  // the target's own folder. The hidden name ends in ".tmp", so collectors
  // that read "*.prom" (or any other extension) pass it by.
  const size_t slash = path.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  const std::string temporary =
      path.substr(0, nameAt) + "." + path.substr(nameAt) + "." + std::to_string(getpid()) + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  bool ok = writeLogText(fd, content.data(), content.size());
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    reason = std::strerror(error);
  }
  return ok;
}

}  // namespace kelvaring::platform
