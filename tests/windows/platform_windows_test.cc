// The Windows platform files under test: what the program asks of the system.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/platform_windows.h"

namespace kelvaring::platform {
namespace {

TEST(WindowsFiles, ExecutablePathLiesBesideTheTestProgram) {
  std::string path;
  ASSERT_TRUE(executablePath(path));
  EXPECT_TRUE(path.ends_with("/kelvaring_tests.exe")) << path;
  EXPECT_EQ(path.find('\\'), std::string::npos) << path;
  EXPECT_TRUE(pathExists(path));
}

}  // namespace
}  // namespace kelvaring::platform
