// The exit statuses a run ends with, named once. Two of them are the
// lengths of their messages on standard error, checked here.
#pragma once

#include <string_view>

namespace kelvaring {

inline constexpr int kStatusPassed = 0;           // no error reported
inline constexpr int kStatusErrorsFound = 1;      // memory errors reported
inline constexpr int kStatusDeclined = -1;        // no to the obsolete-version question (255)
inline constexpr int kStatusAllocationFailed = 26;
inline constexpr int kStatusThreadCreationFailed = 24;
inline constexpr int kStatusUsage = 64;           // an option not known (sysexits' EX_USAGE)
inline constexpr int kStatusCannotWrite = 73;     // a log or metrics file asked for (EX_CANTCREAT)

inline constexpr std::string_view kAllocationFailedText = "Memory allocation failed.\n";
inline constexpr std::string_view kThreadCreationFailedText = "Thread creation failed.\n";
static_assert(kAllocationFailedText.size() == kStatusAllocationFailed);
static_assert(kThreadCreationFailedText.size() == kStatusThreadCreationFailed);

}  // namespace kelvaring
