// What the help and the results log tell about the system and the machine.
#include <sys/utsname.h>
#include <cstdio>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/system_info.h"

namespace kelvaring::platform {

const HelpLines& helpLines() {
  static const HelpLines lines{
      "Built for x86-64 Linux.\n",
      "           means all available memory: the smaller of MemAvailable and the\n"
      "           memory cgroup's headroom, less a reserve. A larger size, or one too\n",
      "  (the executable's real path, extension .ini; an installed copy reads\n"
      "  /etc/kelvaring.ini). Section [tweak]:\n",
      "Details: man kelvaring\n"};
  return lines;
}

bool kernelVersion(int& major, int& minor) {
  utsname name{};
  if (uname(&name) != 0) return false;
  return std::sscanf(name.release, "%d.%d", &major, &minor) == 2;
}

std::string kernelRelease() {
  utsname name{};
  return uname(&name) == 0 ? std::string(name.release) : std::string();
}

const char* platformName() { return "linux-x86_64"; }

OsVersion lowestSupportedVersion() { return {3, 14}; }

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string_view noticeText() {
  constexpr std::string_view kNotice = "RAM checker for x86-64 Linux.";
  static_assert(kNotice.size() == 29);
  return kNotice;
}

}  // namespace kelvaring::platform
