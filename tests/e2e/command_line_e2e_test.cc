// Help, version and unknown options answer at once; nothing is tested.
#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

TEST(CommandLine, HelpAndVersionAnswerWithoutTesting) {
  for (const char* arg : {"-h", "--help", "-V", "--version"}) {
    SCOPED_TRACE(arg);
    // A settings file that would print lines if it were read.
    Program run({.args = {arg, "8"}, .name = "probe", .settings = "[tweak]\nconsole=1\nverbose=1\n"});
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(0)) << status;
    EXPECT_EQ(run.err(), "");
    EXPECT_EQ(run.out().find("allocated"), std::string::npos) << run.out();
    EXPECT_EQ(run.out().find("new console created.\n"), std::string::npos) << run.out();
    if (arg[1] == 'V' || arg[2] == 'v') {
      EXPECT_TRUE(std::regex_match(run.out(), std::regex(R"(Kelvaring \d+\.\d+\.\d+ \(build [A-Z][a-z]{2} [ 0-9]\d \d{4}\)\n)")))
          << run.out();
    } else {
      EXPECT_EQ(run.out().rfind("Usage: probe [megabytes]\n", 0), 0u) << run.out();
      // Where this copy reads its settings: beside its real path.
      EXPECT_NE(run.out().find("Settings file: " + run.dir().file("probe.ini") + "\n"), std::string::npos)
          << run.out();
    }
  }
}

// An option the program does not know ends it before the banner, and before
// the settings file is read or anything allocated.
TEST(CommandLine, UnknownOptionRefusedWithUsage) {
  Program run({.args = {"--size", "64"}, .name = "probe", .settings = "[tweak]\nconsole=1\n"});
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(64)) << status;
  EXPECT_EQ(run.out(), "");
  EXPECT_EQ(run.err(), "Unknown option --size\nUsage: probe [megabytes]\n       probe -h | --help | -V | --version\n");
}

}  // namespace
}  // namespace e2e
