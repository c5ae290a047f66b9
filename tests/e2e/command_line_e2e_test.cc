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
      EXPECT_EQ(run.out().rfind("Usage: probe [size] [key=value ...]\n", 0), 0u) << run.out();
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
  EXPECT_EQ(run.err(),
            "Unknown option --size\nUsage: probe [size] [key=value ...]\n       probe -h | --help | -V | --version\n");
}

// Arguments that do not read end the run the same way, each named.
TEST(CommandLine, ArgumentsThatDoNotReadAreRefusedBeforeAnything) {
  const struct {
    std::vector<std::string> args;
    const char* reason;
  } table[] = {
      {{"8", "minuts=5"}, "Unknown key minuts in minuts=5"},
      {{"4X"}, "Cannot read the size 4X: a number of MiB, or of K, M, G or T, or 1% to 100%"},
      {{"8", "ini=missing.ini"}, "Cannot read the settings file missing.ini"},
  };
  for (const auto& row : table) {
    Program run({.args = row.args, .name = "probe", .settings = "[tweak]\nconsole=1\n"});
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(64)) << status;
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(run.err(), std::string(row.reason) + "\nUsage: probe [size] [key=value ...]\n"
                         "       probe -h | --help | -V | --version\n");
  }
}

// ini=PATH is read instead of the file beside the executable, its keys
// under those of the command line; what it cannot read is named on
// standard error, standard output unchanged.
TEST(CommandLine, SettingsOfTheCommandLineOverTheNamedFile) {
  Program run({.args = {"8M", "ini=named.ini", "coverage=3", "log=run.jsonl"},
               .settings = "[tweak]\nconsole=1\n",
               .files = {{"named.ini", "[tweak]\nverbose=1\ncoverage=0\nminuts=5\nlog=named.jsonl\n"}}});
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(0)) << status;
  EXPECT_EQ(run.err(), run.dir().file("named.ini") + ":4: unknown key minuts (ignored)\n");
  EXPECT_EQ(run.out().find("new console"), std::string::npos) << run.out();
  EXPECT_NE(run.out().find("\nStarted "), std::string::npos) << run.out();
  EXPECT_NE(run.out().find("\rErrors 0, cycles 1, ("), std::string::npos) << run.out();
  EXPECT_NE(run.dir().read_file("run.jsonl").find("\"summary\""), std::string::npos);
  EXPECT_EQ(run.dir().read_file("named.jsonl"), "");
}

}  // namespace
}  // namespace e2e
