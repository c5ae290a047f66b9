// What the help and the results log tell about the system and the machine.
#include <string>

#include "platform/platform_windows.h"
#include "platform/system_info.h"

namespace kelvaring::platform {

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

// GetVersionEx reports what the program's manifest declares it knows, not
// the system's version; RtlGetVersion tells the truth.
bool systemVersion(OSVERSIONINFOW& info) {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto get = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  info = {};
  info.dwOSVersionInfoSize = sizeof info;
  return get != nullptr && get(&info) == 0;
}

OsVersion lowestSupportedVersion() { return {4, 90}; }

bool kernelVersion(int& major, int& minor) {
  OSVERSIONINFOW info;
  if (!systemVersion(info)) return false;
  major = static_cast<int>(info.dwMajorVersion);
  minor = static_cast<int>(info.dwMinorVersion);
  return true;
}

// The Windows version and build, "10.0.19045".
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

std::string_view noticeText() {
#if defined(_WIN64)
  constexpr std::string_view kNotice = "RAM checker for Windows (x64)";
#else
  constexpr std::string_view kNotice = "RAM checker for Windows (x86)";
#endif
  static_assert(kNotice.size() == 29);
  return kNotice;
}

}  // namespace kelvaring::platform

namespace kelvaring::platform {

bool runningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kelvaring::platform
