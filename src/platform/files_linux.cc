// The executable's own path and the small files read beside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace kelvaring::platform {

bool linkTarget(const std::string& path, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      target = buffer;
      return true;
    }
    // Possibly cut: try again with room to spare.
    buffer.resize(buffer.size() * 2);
  }
}

bool executablePath(std::string& path) { return linkTarget("/proc/self/exe", path); }

void portableArguments(int, char**) {}

bool absolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool pathExists(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0;
}

bool resolvedPath(const std::string& path, std::string& resolved) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return false;
  resolved = real;
  std::free(real);
  return true;
}

bool readSmallFile(const std::string& path, size_t maxBytes, std::string& content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info{};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<uint64_t>(info.st_size) <= maxBytes;
  std::string text;
  if (ok) {
    // Read one byte past the limit to notice a file that grew meanwhile.
    text.resize(maxBytes + 1);
    size_t used = 0;
    while (used < text.size()) {
      ssize_t n = read(fd, text.data() + used, text.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      used += static_cast<size_t>(n);
    }
    ok = ok && used <= maxBytes;
    text.resize(used);
  }
  close(fd);
  if (ok) content.swap(text);
  return ok;
}

}  // namespace kelvaring::platform
