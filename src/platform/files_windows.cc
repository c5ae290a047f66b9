// The executable's own path and the small files read beside it. Paths cross this layer as UTF-8 with '/' between the names and are
// turned into the system's wide form here, so that non-ASCII and long paths
// work.
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {
namespace {

thread_local DWORD lastError = 0;
thread_local char lastErrorBuffer[256];

}  // namespace

std::wstring wideText(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string utf8Text(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

std::wstring widePath(const std::string& path) {
  std::wstring wide = wideText(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  const bool driveAbsolute = wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\';
  if (driveAbsolute && wide.size() >= MAX_PATH - 12) wide.insert(0, L"\\\\?\\");
  return wide;
}

std::string narrowPath(const std::wstring& path) {
  std::wstring plain = path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
  std::string narrow = utf8Text(plain);
  for (char& c : narrow)
    if (c == '\\') c = '/';
  return narrow;
}

void keepLastError(DWORD error) { lastError = error; }

// The system's message without its line end; a number where it has none.
const char* lastErrorText() {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, lastError, 0,
                           lastErrorBuffer, sizeof lastErrorBuffer, nullptr);
  while (n > 0 && (lastErrorBuffer[n - 1] == '\n' || lastErrorBuffer[n - 1] == '\r' || lastErrorBuffer[n - 1] == ' '))
    --n;
  if (n == 0) {
    std::snprintf(lastErrorBuffer, sizeof lastErrorBuffer, "Error %lu", static_cast<unsigned long>(lastError));
  } else {
    lastErrorBuffer[n] = '\0';
  }
  return lastErrorBuffer;
}

// GetModuleFileNameW cuts a path that does not fit and says so only by
// filling the buffer: try again with room to spare, up to the longest path.
bool executablePath(std::string& path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return false;
    if (n < buffer.size()) {
      buffer.resize(n);
      path = narrowPath(buffer);
      return true;
    }
    if (buffer.size() >= 32768) return false;
    buffer.resize(buffer.size() * 2);
  }
}

void portableArguments(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return;
  for (char* c = argv[0]; *c != '\0'; ++c)
    if (*c == '\\') *c = '/';
}

bool absolutePath(const std::string& path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '/' || path[2] == '\\');
  return drive || (!path.empty() && (path[0] == '/' || path[0] == '\\'));
}

// Links are not followed on Windows: the settings file is the one beside
// the executable itself, and a path is taken as it is.
bool linkTarget(const std::string&, std::string&) { return false; }

bool pathExists(const std::string& path) { return GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool resolvedPath(const std::string& path, std::string& resolved) {
  const std::wstring wide = widePath(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return false;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return false;
  full.resize(n);
  resolved = narrowPath(full);
  return true;
}

bool readSmallFile(const std::string& path, size_t maxBytes, std::string& content) {
  HANDLE file = CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
            static_cast<uint64_t>(size.QuadPart) <= maxBytes;
  std::string text;
  if (ok) {
    // Read one byte past the limit to notice a file that grew meanwhile.
    text.resize(maxBytes + 1);
    size_t used = 0;
    while (used < text.size()) {
      DWORD n = 0;
      if (!ReadFile(file, text.data() + used, static_cast<DWORD>(text.size() - used), &n, nullptr)) ok = false;
      if (!ok || n == 0) break;
      used += n;
    }
    ok = ok && used <= maxBytes;
    text.resize(used);
  }
  CloseHandle(file);
  if (ok) content.swap(text);
  return ok;
}

}  // namespace kelvaring::platform
