// Paths, the small files read beside the program, the results log and the
// files replaced whole. In files_*.cc, log_file_*.cc and file_replace_*.cc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvaring::platform {

// Paths cross this layer in one form on every system: '/' between the
// names (the Windows files turn them into the system's form and back).
// Gives the program's own path in argv[0] that form; argv[0] may be null.
void portableArguments(int argc, char** argv);
// Whether the path names its place without a starting folder: "/..." on
// Linux; "X:/...", "/..." or "//server/..." on Windows.
bool absolutePath(const std::string& path);

// The full path of the running executable file; false when unknown.
bool executablePath(std::string& path);
bool pathExists(const std::string& path);
// The path with every symbolic link followed; false when it cannot be
// resolved.
bool resolvedPath(const std::string& path, std::string& resolved);
// Where a symbolic link leads, as written in it (its target need not exist);
// false when the path is no link.
bool linkTarget(const std::string& path, std::string& target);
// The whole content of a regular file of at most maxBytes bytes.
bool readSmallFile(const std::string& path, size_t maxBytes, std::string& content);

// An append-only log file, created when missing. Returns its descriptor, or
// -1 with the reason (the system's error text) filled in.
int openLogFile(const std::string& path, std::string& reason);
// Writes the text whole with a single write where the system allows; false
// on failure (lastErrorText tells why). Safe in a signal handler.
bool writeLogText(int fd, const char* text, size_t length);
// Pushes what was written to the storage device; false on failure.
bool syncLogFile(int fd);
void closeLogFile(int fd);

// Replaces the file at `path` with one holding `content`: written whole
// under a hidden name in the same folder, then renamed over the target, so
// that a reader sees the old file or the new one, never a part. The new
// file is created with mode 0666 less the umask. A target that exists and
// is neither a file nor a link (a folder, a device) is refused. False, with
// the reason (the system's error text) filled in and nothing left behind,
// on failure.
bool replaceFile(const std::string& path, std::string_view content, std::string& reason);

// The system's description of why the calling thread's last failed call of
// this layer failed. A constant text: no allocation, safe in a signal
// handler.
const char* lastErrorText();

}  // namespace kelvaring::platform
