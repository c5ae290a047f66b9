// What the Windows platform files ask of the system: the settings file
// beside the executable, the available memory, the version.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "kelvaring/text.h"
#include "platform/clock.h"
#include "platform/cpus.h"
#include "platform/edac.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/system_info.h"
#include "platform/platform_windows.h"
#include "settings/settings.h"

namespace kelvaring::platform {
namespace {

TEST(WindowsFiles, SettingsFileLiesBesideTheExecutableInTheLayersPathForm) {
  std::string executable;
  ASSERT_TRUE(executablePath(executable));
  EXPECT_TRUE(executable.ends_with("/kelvaring_tests.exe")) << executable;
  EXPECT_EQ(executable.find('\\'), std::string::npos) << executable;
  const std::string ini = executable.substr(0, executable.size() - 4) + ".ini";
  Text path;
  DeleteFileW(widePath(ini).c_str());
  EXPECT_FALSE(settingsPath(path));
  std::ofstream(widePath(ini).c_str()) << "[tweak]\n";
  EXPECT_TRUE(settingsPath(path));
  EXPECT_EQ(path.str(), ini);
  DeleteFileW(widePath(ini).c_str());
}

TEST(WindowsFiles, LogPathBesideTheSettingsFileUnlessAbsolute) {
  struct Row {
    const char* log;
    const char* path;
  };
  for (Row row : {Row{"run.jsonl", "Z:/opt/k/run.jsonl"}, Row{"logs/run.jsonl", "Z:/opt/k/logs/run.jsonl"},
                  Row{"C:/logs/run.jsonl", "C:/logs/run.jsonl"}, Row{"C:\\logs\\run.jsonl", "C:\\logs\\run.jsonl"},
                  Row{"//server/share/run.jsonl", "//server/share/run.jsonl"}, Row{"/logs/run.jsonl", "/logs/run.jsonl"}})
    EXPECT_EQ(pathBeside("Z:/opt/k/kelvaring.ini", row.log), row.path) << row.log;
}

TEST(WindowsFiles, LongAndNonAsciiPathsRoundTrip) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  // Past MAX_PATH, with a name in Greek and one in Japanese.
  std::string folder = narrowPath(temp) + "kelvaring-\xce\xbc\xce\xbd\xce\xae\xce\xbc\xce\xb7-\xe6\xa4\x9c\xe6\x9f\xbb";
  CreateDirectoryW(widePath(folder).c_str(), nullptr);
  std::string deep = folder;
  for (int i = 0; i < 3; ++i) {
    deep += "/" + std::string(100, static_cast<char>('a' + i));
    CreateDirectoryW(widePath(deep).c_str(), nullptr);
  }
  ASSERT_GT(deep.size(), size_t{MAX_PATH});
  const std::string file = deep + "/kelvaring.ini";
  std::string content;
  {
    HANDLE h = CreateFileW(widePath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(h, "[tweak]\nverbose=1\n", 18, &written, nullptr);
    CloseHandle(h);
  }
  EXPECT_TRUE(pathExists(file));
  EXPECT_TRUE(readSmallFile(file, 1024, content));
  EXPECT_EQ(content, "[tweak]\nverbose=1\n");
  std::string resolved;
  EXPECT_TRUE(resolvedPath(file, resolved));
  EXPECT_EQ(resolved, file);
  DeleteFileW(widePath(file).c_str());
  for (std::string at = deep; at.size() >= folder.size(); at = at.substr(0, at.rfind('/')))
    RemoveDirectoryW(widePath(at).c_str());
}

TEST(WindowsMemory, AvailableIsWhatTheSystemReportsWithinAJobLimit) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  const uint64_t available = availablePhysicalMemory();
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, status.ullTotalPhys);
  EXPECT_LE(available, status.ullAvailVirtual);
  // In a job whose processes may commit 64 MiB, no more is available; the
  // job holds the process for good, so a child of its own is put in it.
  if (runningUnderWine())
    GTEST_SKIP() << "Wine does not tell a process the limits of its own job (QueryInformationJobObject answers none)";
  EXPECT_EXIT(
      {
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        limit.ProcessMemoryLimit = 64 << 20;
        if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit, sizeof limit) ||
            !AssignProcessToJobObject(job, GetCurrentProcess()))
          std::_Exit(2);
        std::_Exit(availablePhysicalMemory() <= (64 << 20) ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(WindowsMemory, JobHeadroomIsTheTighterLimitLessWhatTheProcessCommitted) {
  constexpr uint64_t MiB = 1 << 20;
  struct Row {
    DWORD flags;
    SIZE_T processLimit, jobLimit;
    uint64_t used, expected;
  };
  for (Row row : {Row{0, 64 * MiB, 32 * MiB, 8 * MiB, UINT64_MAX},
                  Row{JOB_OBJECT_LIMIT_PROCESS_MEMORY, 64 * MiB, 32 * MiB, 8 * MiB, 56 * MiB},
                  Row{JOB_OBJECT_LIMIT_JOB_MEMORY, 64 * MiB, 32 * MiB, 8 * MiB, 24 * MiB},
                  Row{JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_JOB_MEMORY, 20 * MiB, 32 * MiB, 8 * MiB, 12 * MiB},
                  Row{JOB_OBJECT_LIMIT_PROCESS_MEMORY, 64 * MiB, 0, 65 * MiB, 0}}) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
    job.BasicLimitInformation.LimitFlags = row.flags;
    job.ProcessMemoryLimit = row.processLimit;
    job.JobMemoryLimit = row.jobLimit;
    EXPECT_EQ(jobMemoryHeadroom(job, row.used), row.expected) << row.flags << " " << row.used;
  }
}

TEST(WindowsMemory, TopDownPlacesTheBufferAboveABottomUpOne) {
  const uint64_t bytes = 3 << 20;
  void* low = commitMemory(bytes, false);
  void* high = commitMemory(bytes, true);
  ASSERT_NE(low, nullptr);
  ASSERT_NE(high, nullptr);
  EXPECT_GT(reinterpret_cast<uintptr_t>(high), reinterpret_cast<uintptr_t>(low));
  // Committed, zero-filled and writable.
  EXPECT_EQ(static_cast<volatile char*>(high)[bytes - 1], 0);
  static_cast<volatile char*>(high)[bytes - 1] = 1;
  EXPECT_TRUE(lockMemory(high, bytes));
  unlockMemory(high, bytes);
  releaseMemory(low, bytes);
  releaseMemory(high, bytes);
  // Windows tells a program neither physical addresses nor ECC counts.
  EXPECT_FALSE(physicalAddress(reinterpret_cast<uintptr_t>(low)));
  EXPECT_FALSE(readEccCounts());
}

TEST(WindowsSystem, VersionAndNamesAreKnown) {
  int major = 0, minor = 0;
  ASSERT_TRUE(kernelVersion(major, minor));
  EXPECT_GE(major, 5);
  EXPECT_TRUE(kernelRelease().starts_with(std::to_string(major) + "." + std::to_string(minor) + "."));
  EXPECT_FALSE(hostName().empty());
  const int64_t before = epochMilliseconds();
  EXPECT_GT(before, int64_t{1700000000} * 1000);
  EXPECT_LE(before / 1000 - secondsSinceEpoch(), 1);
}

}  // namespace
}  // namespace kelvaring::platform

namespace kelvaring::platform {
// Declared beside the workers and the metrics file.
uint32_t usableCpuCount();
const char* platformName();
bool replaceFile(const std::string& path, std::string_view content, std::string& reason);

namespace {

TEST(WindowsSystem, CpusAndPlatformName) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_GE(usableCpuCount(), 1u);
  EXPECT_LE(usableCpuCount(), GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  EXPECT_STREQ(platformName(), sizeof(void*) == 8 ? "windows-x86_64" : "windows-x86");
}

TEST(WindowsFiles, ReplaceFileSwapsTheWholeContentAndRefusesAFolder) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::string folder = narrowPath(temp) + "kelvaring-replace-\xc3\xa9";
  CreateDirectoryW(widePath(folder).c_str(), nullptr);
  const std::string file = folder + "/metrics.prom";
  std::string reason, content;
  ASSERT_TRUE(replaceFile(file, "first\n", reason)) << reason;
  ASSERT_TRUE(replaceFile(file, "second, longer\n", reason)) << reason;
  EXPECT_TRUE(readSmallFile(file, 1024, content));
  EXPECT_EQ(content, "second, longer\n");
  EXPECT_EQ(GetFileAttributesW(widePath(file).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_FALSE(replaceFile(folder, "x", reason));
  EXPECT_FALSE(reason.empty());
  DeleteFileW(widePath(file).c_str());
  // Nothing else was left behind.
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widePath(folder + "/*.tmp").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  RemoveDirectoryW(widePath(folder).c_str());
}

}  // namespace
}  // namespace kelvaring::platform
