// The results log: a file opened for appending, written a whole line at a
// time, so that a reader following it sees complete lines.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace kelvaring::platform {

int openLogFile(const std::string& path, std::string& reason) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) reason = std::strerror(errno);
  return fd;
}

// O_APPEND makes each write land whole at the end; a short write (a disk
// that filled meanwhile) goes on with the rest, so only an error is a loss.
bool writeLogText(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool syncLogFile(int fd) {
  // A pipe or a terminal cannot be synced, and needs not be.
  return fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

void closeLogFile(int fd) { close(fd); }

// strerrordesc_np hands back a constant text: no allocation, no locale.
const char* lastErrorText() {
  const char* text = strerrordesc_np(errno);
  return text != nullptr ? text : "Unknown error";
}

}  // namespace kelvaring::platform
