// What the results log tells about the machine and the time.
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/platform.h"

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

int64_t epochMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

WallClock wallClock() {
  int64_t milliseconds = epochMilliseconds();
  time_t seconds = static_cast<time_t>(milliseconds / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  return {milliseconds, static_cast<int32_t>(local.tm_gmtoff)};
}

}  // namespace kelvaring::platform
