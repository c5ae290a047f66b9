// Taking a failing physical page out of service on a running system: the
// kernel moves the page's contents elsewhere and never hands the page out
// again (Linux's soft offline). Not for a signal handler.
#pragma once

#include <cstdint>
#include <string>

namespace kelvaring::platform {

// Where the kernel's files are; tests give folders of their own.
struct RetireFiles {
  std::string softOffline = "/sys/devices/system/memory/soft_offline_page";
  std::string pageFlags = "/proc/kpageflags";
};

enum class RetireOutcome { retired, alreadyRetired, refused };

struct RetireResult {
  RetireOutcome outcome;
  std::string reason;  // the system's error text when refused
};

// Whether pages can be retired: the soft-offline file exists and this
// process may write it. Where not, `why` says so in a few words ("the
// kernel has no soft_offline_page", "not permitted (run as root)", "not
// available on Windows"); where so, `why` is emptied.
bool pageRetirementAvailable(const RetireFiles& files, std::string& why);

// Takes the page holding `physicalAddress` out of service. Already retired
// when the page's flags (one 64-bit word per 4 KiB frame in pageFlags, in
// the kernel's byte order; bit 19: hardware-poisoned) say so; flags that
// cannot be read are no verdict. Otherwise writes the page's address
// (aligned down to 4 KiB) as "0x%llx\n" into softOffline: refused, with the
// error text, when the write fails.
RetireResult retirePage(uint64_t physicalAddress, const RetireFiles& files);

}  // namespace kelvaring::platform
