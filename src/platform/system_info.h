// What the system is: the help's lines that differ between systems, the
// kernel's version and release, the host's name and the platform's name.
// In system_info_*.cc.
#pragma once

#include <string>
#include <string_view>

namespace kelvaring::platform {

// The help's lines that differ between systems, each ending in a line end:
// the platform the program was built for, how the available memory is
// found, where the settings file lies and where the details are.
struct HelpLines {
  const char* builtFor;
  const char* availableMemory;
  const char* settingsFile;
  const char* details;
};
const HelpLines& helpLines();

// The running kernel's version; false when it cannot be read.
bool kernelVersion(int& major, int& minor);

// The lowest version of the system the program runs on: Linux 3.14, whose
// kernel first gives the available-memory estimate the default size is
// taken from; Windows 4.90.
struct OsVersion {
  int major;
  int minor;
};
OsVersion lowestSupportedVersion();

// The platform the program was built for, in 29 characters: the banner's
// third field, mixed into the generator's seed.
std::string_view noticeText();

// The kernel's release text (uname -r) and the host's name; empty when
// unknown.
std::string kernelRelease();
std::string hostName();
// The system and processor the program is built for: "linux-x86_64".
const char* platformName();

}  // namespace kelvaring::platform
