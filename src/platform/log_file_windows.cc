// The results log: a file opened for appending, written a whole line at a
// time, so that a reader following it sees complete lines.
#include <fcntl.h>
#include <io.h>

#include <string>

#include "platform/files.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {

// FILE_APPEND_DATA alone makes each write land whole at the end. The handle
// travels as a C runtime descriptor.
int openLogFile(const std::string& path, std::string& reason) {
  HANDLE file = CreateFileW(widePath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    keepLastError(GetLastError());
    reason = lastErrorText();
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_WRONLY);
  if (fd < 0) {
    keepLastError(ERROR_TOO_MANY_OPEN_FILES);
    reason = lastErrorText();
    CloseHandle(file);
  }
  return fd;
}

bool writeLogText(int fd, const char* text, size_t length) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  while (length > 0) {
    DWORD written = 0;
    DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
    if (!WriteFile(file, text, chunk, &written, nullptr) || written == 0) {
      keepLastError(written == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : GetLastError());
      return false;
    }
    text += written;
    length -= written;
  }
  return true;
}

bool syncLogFile(int fd) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  // A pipe or a console cannot be flushed, and needs not be.
  if (GetFileType(file) != FILE_TYPE_DISK || FlushFileBuffers(file)) return true;
  keepLastError(GetLastError());
  return false;
}

void closeLogFile(int fd) { _close(fd); }

}  // namespace kelvaring::platform
