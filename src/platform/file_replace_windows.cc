// A file replaced whole: written beside its target under a hidden name,
// then moved over it (MoveFileEx replaces within one volume at once).
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {

bool replaceFile(const std::string& path, std::string_view content, std::string& reason) {
  const std::wstring target = widePath(path);
  const DWORD existing = GetFileAttributesW(target.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    keepLastError(ERROR_DIRECTORY);
    reason = lastErrorText();
    return false;
  }
  const size_t slash = path.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  const std::wstring temporary = widePath(path.substr(0, nameAt) + "." + path.substr(nameAt) + "." +
                                          std::to_string(GetCurrentProcessId()) + ".tmp");
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    keepLastError(GetLastError());
    reason = lastErrorText();
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < content.size();) {
    DWORD written = 0;
    const size_t left = content.size() - done;
    ok = WriteFile(file, content.data() + done, left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left), &written,
                   nullptr) && written > 0;
    done += written;
  }
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  // The replacement is no hidden file.
  if (ok) SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (ok && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temporary.c_str());
    keepLastError(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
    reason = lastErrorText();
  }
  return ok;
}

}  // namespace kelvaring::platform
