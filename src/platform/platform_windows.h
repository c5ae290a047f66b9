// What the Windows files of the platform layer share beyond its headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace kelvaring::platform {

// The layer's paths are UTF-8 with '/' between the names on every system.
// These turn one into the system's wide form and back: '\' between the
// names, and a long absolute path prefixed with \\?\ so that it is not cut
// at MAX_PATH.
std::wstring widePath(const std::string& path);
std::string narrowPath(const std::wstring& path);

// UTF-8 and UTF-16 text.
std::wstring wideText(const std::string& text);
std::string utf8Text(const std::wstring& text);

// Keeps the calling thread's last error for lastErrorText.
void keepLastError(DWORD error);

// The room a job object's memory limits leave a process that has committed
// `committed` bytes: the process's own limit and the job's, whichever is
// tighter (the job's other processes are not counted); UINT64_MAX without
// a limit.
uint64_t jobMemoryHeadroom(const JOBOBJECT_EXTENDED_LIMIT_INFORMATION& job, uint64_t committed);

// The system's version and build, from RtlGetVersion; false when unknown.
bool systemVersion(OSVERSIONINFOW& info);

// The routine registered with SetConsoleCtrlHandler while a control
// handler is registered: it hands the event to that handler; FALSE, the
// system's default course, without one.
BOOL WINAPI consoleControlRoutine(DWORD type);

// True under Wine, where some services of Windows are missing or behave
// otherwise: ntdll exports wine_get_version there.
bool runningUnderWine();

}  // namespace kelvaring::platform
