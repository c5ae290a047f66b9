// The results log of a real run: every line JSON, every event and field,
// and a console that does not change with it.
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

const char* kPython = "/usr/bin/python3";
const std::string kTime = R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")";

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

// What a strict reader finds wrong with the log: every line must be one
// JSON object in UTF-8, and the last line must be ended. Empty when all is
// well.
std::string jsonProblems(const std::string& path) {
  const char* check =
      "import json, sys\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "if not data.endswith(b'\\n'): print('last line unended')\n"
      "for n, line in enumerate(data.split(b'\\n')[:-1], 1):\n"
      "    try:\n"
      "        if not isinstance(json.loads(line.decode('utf-8')), dict): print(n, 'not an object')\n"
      "    except Exception as e: print(n, e, line)\n";
  Process python(Options{.path = kPython, .argv = {kPython, "-c", check, path}});
  ExitStatus status = python.wait_exit();
  return status.exited_with(0) ? python.out() : "python3 failed: " + python.err();
}

// The value of `key` in a line, as written (a string without its quotes).
std::string field(const std::string& line, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("\"" + key + R"(":("([^"\\]|\\.)*"|[^,}]*))"))) return "<none>";
  std::string value = m[1];
  return value.front() == '"' ? value.substr(1, value.size() - 2) : value;
}

std::string hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// Waits until the log holds `needle`; the log's text.
std::string waitForLog(TempDir& dir, const std::string& name, const std::string& needle, Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  while ((text = dir.read_file(name)).find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(Millis(100));
  return text;
}

TEST(ResultsLog, FlippedWordRunLogsEveryEvent) {
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << "python3 is not installed; it checks the JSON";
  // Started elsewhere: the relative path is taken beside the settings file.
  Program run({.args = {"16"}, .settings = "[tweak]\nlog=run.jsonl\nthread=below\n", .workingDir = "elsewhere"});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  ASSERT_NE(b, 0u);
  run.expectOut(R"(\r\d+ cycles)");
  const std::uint32_t bits = 0x80000101;
  ASSERT_TRUE(run.flipInB(100, bits));
  // Under the sanitizers a cycle takes a while.
  run.expectOut(R"(\rError 1, out of \d+ cycles)", Millis(15000));
  // The progress record comes once a minute.
  waitForLog(run.dir(), "run.jsonl", "\"event\":\"progress\"", Millis(90000));
  ExitStatus status = run.stop(SIGINT);
  ASSERT_TRUE(status.exited_with(1)) << status;

  std::string path = run.dir().file("run.jsonl");
  EXPECT_EQ(jsonProblems(path), "");
  std::vector<std::string> lines = linesOf(run.dir().read_file("run.jsonl"));
  ASSERT_GE(lines.size(), 5u);
  std::string events;
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_search(line, std::regex("^\\{\"event\":\"[a-z]+\"," + kTime))) << line;
    events += field(line, "event") + " ";
  }
  EXPECT_TRUE(std::regex_match(events, std::regex("start error (progress )+stop summary "))) << events;

  const std::string& start = lines[0];
  utsname name{};
  uname(&name);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_TRUE(std::regex_match(field(start, "version"), std::regex(R"(\d+\.\d+\.\d+)"))) << start;
  EXPECT_EQ(field(start, "host"), host);
  EXPECT_EQ(field(start, "kernel"), name.release);
  EXPECT_EQ(field(start, "test_bytes"), "16777216");
  EXPECT_EQ(field(start, "words_per_buffer"), "2097152");
  EXPECT_EQ(field(start, "ops_per_cycle"), "1048576");
  EXPECT_NE(start.find(R"("settings":{"console":0,"verbose":0,"timeout":0,"signal":0,"method":0,"topmem":0,)"
                       R"("errmax":0,"process":"normal","thread":"below","sweep":10,"log":")" +
                       path + "\"}"),
            std::string::npos)
      << start;
  EXPECT_EQ(field(start, "buffer_a"), hex16(a));
  EXPECT_EQ(field(start, "buffer_b"), hex16(b));
  double share = std::stod(field(start, "huge_page_share"));
  EXPECT_TRUE(share >= 0 && share <= 1) << start;
  EXPECT_TRUE(std::regex_match(field(start, "locked"), std::regex("true|false"))) << start;
  EXPECT_EQ(field(start, "ecc_watched"), access("/sys/devices/system/edac/mc", F_OK) == 0 ? "true" : "false");

  const std::string& error = lines[1];
  EXPECT_EQ(field(error, "number"), "1");
  // A cycle's operation or the sweep between cycles, whichever came first.
  EXPECT_TRUE(std::regex_match(field(error, "kind"), std::regex("mismatch|sweep"))) << error;
  // Physical addresses where frame numbers can be seen (root), else none.
  EXPECT_TRUE(std::regex_match(field(error, "physical_b"), std::regex(getuid() == 0 ? "[0-9A-F]{16}" : "<none>")))
      << error;
  EXPECT_EQ(field(error, "virtual_a"), hex16(a + 400));
  EXPECT_EQ(field(error, "virtual_b"), hex16(b + 400));
  EXPECT_EQ(field(error, "failing_bits"), hex8(bits)) << error;
  std::uint32_t comparedA = std::stoul(field(error, "compared_a"), nullptr, 16);
  EXPECT_EQ(field(error, "compared_b"), hex8(comparedA ^ bits)) << error;
  // Read again at once, before the operation rewrites them: still apart.
  std::uint32_t rereadA = std::stoul(field(error, "reread_a"), nullptr, 16);
  EXPECT_EQ(field(error, "reread_b"), hex8(rereadA ^ bits)) << error;
  EXPECT_NE(field(error, "cycles"), "<none>");
  EXPECT_NE(field(error, "coverage"), "<none>");
  // One flip, found once; a run of one worker names no worker.
  EXPECT_EQ(field(error, "mismatches"), "1") << error;
  EXPECT_EQ(field(error, "worker"), "<none>") << error;

  const std::string& progress = lines[2];
  EXPECT_GT(std::stoul(field(progress, "cycles")), 0u) << progress;
  EXPECT_NE(field(progress, "coverage"), "<none>");
  EXPECT_GT(std::stod(field(progress, "ops_per_second")), 0) << progress;

  EXPECT_EQ(field(lines[lines.size() - 2], "signal"), "SIGINT");
  const std::string& summary = lines.back();
  std::smatch console;
  const std::string out = run.out();
  ASSERT_TRUE(std::regex_search(out, console, std::regex(R"(\rErrors (\d+), cycles (\d+), \((\d+)% coverage\))")));
  EXPECT_EQ(field(summary, "errors"), console[1]);
  EXPECT_EQ(field(summary, "mismatches_found"), "1");
  EXPECT_EQ(field(summary, "cycles"), console[2]);
  EXPECT_EQ(field(summary, "coverage"), console[3]);
  EXPECT_GE(std::stod(field(summary, "duration_seconds")), 60);
  EXPECT_EQ(field(summary, "verdict"), "fail");
  EXPECT_EQ(field(summary, "status"), std::to_string(status.code));
}

// One run to its end, a stop after the first progress line; with the
// worker pausing without end after its first cycle and the main thread held
// while the stop is made, the output is the same every time but for the
// progress lines of polls that came before the first cycle ended.
std::string steadyRun(const std::vector<std::string>& setarch, const std::string& settings, Program*& keep) {
  keep = new Program({.args = {"16"}, .settings = settings, .wrapper = setarch});
  Program& run = *keep;
  if (!run.process().wait_for_regex(Channel::kOut, std::regex(R"(\r1 cycles)"))) return run.out() + run.err();
  {
    ThreadHold hold(run.process().pid());
    if (!hold.holding()) return "cannot hold the main thread";
    run.process().send_signal(SIGINT);
    for (int i = 0; i < 1000 && run.thread("worker") != 0; ++i) usleep(10000);
  }
  ExitStatus status = run.process().wait_exit();
  return status.exited_with(0) ? run.out() : "exit status " + std::to_string(status.code);
}

TEST(ResultsLog, CleanRunEndsPassAndTheConsoleStaysTheSame) {
  const char* setarch = "/usr/bin/setarch";
  if (access(setarch, X_OK) != 0) GTEST_SKIP() << "setarch is not installed; it keeps the addresses in place";
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << "python3 is not installed; it checks the JSON";
  // Without address randomization both runs get the same buffer addresses.
  std::vector<std::string> fixed = {setarch, "x86_64", "-R"};
  Program* plainRun = nullptr;
  Program* loggedRun = nullptr;
  std::string plain = steadyRun(fixed, "[tweak]\ntimeout=-1\n", plainRun);
  std::unique_ptr<Program> ownPlain(plainRun);
  if (plainRun->err().starts_with("setarch:")) GTEST_SKIP() << "setarch cannot change the personality: " << plainRun->err();
  std::string logged = steadyRun(fixed, "[tweak]\ntimeout=-1\nlog=clean.jsonl\n", loggedRun);
  std::unique_ptr<Program> ownLogged(loggedRun);
  EXPECT_NE(plain.find("\rErrors 0, cycles 1,"), std::string::npos) << plain;
  // A slow first cycle (a sanitizer, a busy machine) lets a poll show 0
  // cycles in one run and not in the other; every other byte is the same.
  const std::regex earlyPoll(R"(\r0 cycles, \(0% coverage\) [.: ] {6})");
  const std::regex spinner(R"((\r\d+ cycles, \(\d+% coverage\) )[.: ]( {6}))");
  auto steadyPart = [&](const std::string& out) {
    return std::regex_replace(std::regex_replace(out, earlyPoll, ""), spinner, "$1*$2");
  };
  EXPECT_EQ(steadyPart(logged), steadyPart(plain));
  EXPECT_EQ(loggedRun->err(), "");

  EXPECT_EQ(jsonProblems(loggedRun->dir().file("clean.jsonl")), "");
  std::vector<std::string> lines = linesOf(loggedRun->dir().read_file("clean.jsonl"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(field(lines[0], "event"), "start");
  EXPECT_EQ(field(lines[1], "event"), "stop");
  EXPECT_EQ(field(lines[1], "signal"), "SIGINT");
  EXPECT_EQ(field(lines[2], "event"), "summary");
  EXPECT_EQ(field(lines[2], "errors"), "0");
  EXPECT_EQ(field(lines[2], "cycles"), "1");
  EXPECT_EQ(field(lines[2], "verdict"), "pass");
  EXPECT_EQ(field(lines[2], "status"), "0");
}

TEST(ResultsLog, UnwritableLogEndsTheRunBeforeAllocation) {
  // A read-only file, ready before the run starts.
  TempDir other;
  std::string readOnly = other.write_file("read-only.jsonl", "kept\n");
  chmod(readOnly.c_str(), 0444);
  chmod(other.path().c_str(), 0755);
  struct Case {
    std::string log;
    const char* reason;
  };
  for (const Case& c : {Case{"missing/run.jsonl", "No such file or directory"}, Case{readOnly, "Permission denied"},
                        Case{".", "Is a directory"}}) {
    SCOPED_TRACE(c.log);
    // Root may write a read-only file: that case runs the program as nobody.
    bool asNobody = c.log == readOnly && geteuid() == 0;
    if (asNobody && access(kAsNobody[0].c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    Program run({.args = {"8"},
                 .settings = "[tweak]\nlog=" + c.log + "\n",
                 .wrapper = asNobody ? kAsNobody : std::vector<std::string>{},
                 .openToAll = asNobody});
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(73)) << status;
    std::string path = c.log.starts_with("/") ? c.log : run.dir().file(c.log);
    EXPECT_EQ(run.err(), "Log file " + path + " cannot be opened: " + c.reason + "\n");
    EXPECT_EQ(run.out().find("allocated"), std::string::npos) << run.out();
  }
  EXPECT_EQ(other.read_file("read-only.jsonl"), "kept\n");
}

TEST(ResultsLog, StartThatCannotBeWrittenEndsTheRunBeforeTheTest) {
  Program run({.args = {"8"}, .settings = "[tweak]\nlog=/dev/full\n"});
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(73)) << status;
  EXPECT_EQ(run.err(), "Log file /dev/full cannot be written: No space left on device\n");
  EXPECT_EQ(run.out().find("cycles"), std::string::npos) << run.out();
}

// An installed copy reads /etc/kelvaring.ini through a link beside it: the
// log goes beside the file itself.
TEST(ResultsLog, RelativePathTakenBesideTheLinkedSettingsFile) {
  TempDir dir;
  std::string copy = dir.copy_executable(kExecutable, "kelvaring");
  dir.make_dir("etc");
  dir.write_file("etc/kelvaring.ini", "[tweak]\nlog=run.jsonl\n");
  ASSERT_EQ(symlink("etc/kelvaring.ini", dir.file("kelvaring.ini").c_str()), 0);
  Process run(Options{.path = copy, .argv = {copy, "8"}, .cwd = dir.path()});
  EXPECT_TRUE(run.wait_for_regex(Channel::kOut, std::regex(R"(\r\d+ cycles)")));
  run.send_signal(SIGINT);
  EXPECT_TRUE(run.wait_exit().exited_with(0));
  EXPECT_NE(dir.read_file("etc/run.jsonl").find(R"("log":")" + dir.file("etc/run.jsonl") + "\""), std::string::npos)
      << dir.read_file("etc/run.jsonl");
}

TEST(ResultsLog, PathWithQuotesBackslashesAndControlCharactersIsEscaped) {
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << "python3 is not installed; it checks the JSON";
  // A quote, a backslash, a control character, DEL, a byte that is no UTF-8
  // and a UTF-8 character.
  const std::string name = "a\"b\\c\x01" "d\x7f\xe9\xc3\xa9.jsonl";
  Program run({.args = {"8"}, .settings = "[tweak]\nlog=" + name + "\n"});
  run.expectOut(R"(\r\d+ cycles)");
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0));
  EXPECT_EQ(jsonProblems(run.dir().file(name)), "");
  std::string start = run.dir().read_file(name);
  EXPECT_NE(start.find("\"log\":\"" + run.dir().path() + "/a\\\"b\\\\c\\u0001d\\u007f\\u00e9\xc3\xa9.jsonl\""),
            std::string::npos)
      << start;
}

}  // namespace
}  // namespace e2e
