// What the results log tells about the machine and the time.
#include <string>

#include "platform/platform.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {

// The Windows version and build, "10.0.19045".
const HelpLines& helpLines() {
  static const HelpLines lines{
#ifdef _WIN64
      "Built for 64-bit Windows (x64).\n",
#else
      "Built for 32-bit Windows (x86).\n",
#endif
      "           means all available memory: the available physical memory within\n"
      "           a job's limit, less a reserve. A larger size, or one too\n",
      "  (the executable's path, extension .ini). Section [tweak]:\n",
      "Details: MANUAL.txt and WINDOWS.txt beside the program\n"};
  return lines;
}

std::string kernelRelease() {
  OSVERSIONINFOW info;
  if (!systemVersion(info)) return {};
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

const char* platformName() {
#ifdef _WIN64
  return "windows-x86_64";
#else
  return "windows-x86";
#endif
}

std::string hostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? utf8Text(name) : std::string();
}

// FILETIME counts 100 ns from 1601; 11644473600 seconds lie before 1970.
int64_t epochMilliseconds() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const int64_t ticks = static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
  return ticks / 10000 - int64_t{11644473600} * 1000;
}

WallClock wallClock() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;  // minutes to add to local time for UTC
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return {epochMilliseconds(), static_cast<int32_t>(-bias * 60)};
}

}  // namespace kelvaring::platform

namespace kelvaring::platform {

bool runningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kelvaring::platform
