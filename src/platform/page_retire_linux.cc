// Page retirement through the kernel's soft-offline file, which takes the
// physical address of a page in hex. Writing it needs CAP_SYS_ADMIN and a
// kernel built with memory failure handling.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/page_retire.h"

namespace kelvaring::platform {

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHardwarePoisoned = uint64_t{1} << 19;  // KPF_HWPOISON

// Whether the frame's flags say the kernel has poisoned the page already;
// false where they cannot be read (no root, no such file).
bool framePoisoned(const std::string& pageFlags, uint64_t frame) {
  int fd = open(pageFlags.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  uint64_t flags = 0;
  ssize_t got = pread(fd, &flags, sizeof flags, static_cast<off_t>(frame * sizeof flags));
  close(fd);
  return got == static_cast<ssize_t>(sizeof flags) && (flags & kHardwarePoisoned) != 0;
}

RetireResult refused(int error) { return {RetireOutcome::refused, std::strerror(error)}; }

}  // namespace

bool pageRetirementAvailable(const RetireFiles& files, std::string& why) {
  // Opened for writing without a write: that asks the kernel itself. The
  // soft-offline file acts only on a write.
  int fd = open(files.softOffline.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd >= 0) {
    close(fd);
    why.clear();
    return true;
  }
  if (errno == ENOENT)
    why = "the kernel has no soft_offline_page";
  else if (errno == EACCES || errno == EPERM)
    why = "not permitted (run as root)";
  else
    why = std::strerror(errno);
  return false;
}

RetireResult retirePage(uint64_t physicalAddress, const RetireFiles& files) {
  const uint64_t frame = physicalAddress / kPage;
  if (framePoisoned(files.pageFlags, frame)) return {RetireOutcome::alreadyRetired, ""};
  char text[24];
  const int length = std::snprintf(text, sizeof text, "0x%llx\n", static_cast<unsigned long long>(frame * kPage));
  int fd = open(files.softOffline.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return refused(errno);
  // The kernel takes the address in one write and answers it with the
  // outcome of the whole offline.
  ssize_t written;
  do written = write(fd, text, static_cast<size_t>(length));
  while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : EIO;
  close(fd);
  if (written != length) return refused(error);
  return {RetireOutcome::retired, ""};
}

}  // namespace kelvaring::platform
