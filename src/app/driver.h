// The test driver: start-up, the monitor loop and the end of a run.
#pragma once

#include "platform/system_info.h"

namespace kelvaring {

// Whether a system version (unknown when not `known`) lies before the lowest
// supported one.
bool isObsoleteVersion(bool known, int major, int minor, platform::OsVersion lowest);
// Whether the running system is obsolete for this program.
bool osVersionIsObsolete();

// Asks whether to go on anyway; true only for an answer starting with y/Y.
bool confirmObsoleteVersion();

// The whole run; its result is the process exit status. `versionIsObsolete`
// tells whether to ask before going on (tests give their own answer).
int runProgram(int argc, char** argv, bool (*versionIsObsolete)() = osVersionIsObsolete);

}  // namespace kelvaring
