// Page retirement against a folder that stands for sysfs and /proc.
#include "platform/page_retire.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace kelvaring::platform;
namespace fs = std::filesystem;

namespace {

class PageRetire : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kelvaring-retire-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
    files_ = {folder_ + "/soft_offline_page", folder_ + "/kpageflags"};
  }
  void TearDown() override { fs::remove_all(folder_); }

  static std::string content(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  // A page flags file whose word for `frame` is `flags`, the others 0.
  void pageFlags(uint64_t frame, uint64_t flags) {
    std::ofstream out(files_.pageFlags, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(frame * sizeof flags));
    out.write(reinterpret_cast<const char*>(&flags), sizeof flags);
  }

  std::string folder_;
  RetireFiles files_;
};

constexpr uint64_t kPoisoned = uint64_t{1} << 19;

}  // namespace

// The page's address, aligned down, in one line; flags that cannot be read,
// or that do not say poisoned, let the write go ahead.
TEST_F(PageRetire, WritesThePageAddress) {
  std::ofstream(files_.softOffline).close();
  std::string why = "stale";
  EXPECT_TRUE(pageRetirementAvailable(files_, why));
  EXPECT_EQ(why, "");
  for (bool withFlags : {false, true}) {
    if (withFlags) pageFlags(0x12345, ~kPoisoned);
    fs::resize_file(files_.softOffline, 0);
    RetireResult result = retirePage(0x12345678, files_);
    EXPECT_EQ(result.outcome, RetireOutcome::retired) << result.reason;
    EXPECT_EQ(content(files_.softOffline), "0x12345000\n");
  }
}

TEST_F(PageRetire, AlreadyPoisonedPageIsLeftAlone) {
  std::ofstream(files_.softOffline).close();
  pageFlags(0x12345, kPoisoned);
  EXPECT_EQ(retirePage(0x12345FFF, files_).outcome, RetireOutcome::alreadyRetired);
  EXPECT_EQ(content(files_.softOffline), "");
}

// A write the system refuses comes back with its error text.
TEST_F(PageRetire, RefusedWithTheSystemsErrorText) {
  const std::pair<std::string, const char*> rows[] = {
      {folder_, "Is a directory"},                  // the open fails
      {"/dev/full", "No space left on device"},     // the write fails
  };
  for (const auto& [path, reason] : rows) {
    SCOPED_TRACE(path);
    RetireResult result = retirePage(0x1000, {path, files_.pageFlags});
    EXPECT_EQ(result.outcome, RetireOutcome::refused);
    EXPECT_EQ(result.reason, reason);
  }
}

TEST_F(PageRetire, UnavailableSaysWhy) {
  std::string why;
  EXPECT_FALSE(pageRetirementAvailable(files_, why));
  EXPECT_EQ(why, "the kernel has no soft_offline_page");
  // A file this process may not write, asked about by a process that is
  // not root (as root: a child that gives its root up).
  std::ofstream(files_.softOffline).close();
  fs::permissions(files_.softOffline, fs::perms::owner_read);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    std::string reason;
    _exit(!pageRetirementAvailable(files_, reason) && reason == "not permitted (run as root)" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
