// The metrics file's text, the file replaced whole, and the cycle at which
// a coverage is reached.
#include "report/metrics_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "report/console_lines.h"
#include "app/planned_end.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "test_state.h"

using namespace kelvaring;
namespace fs = std::filesystem;

namespace {

const std::string kHead =
    "# HELP kelvaring_info The program and its test: version, platform and test size.\n"
    "# TYPE kelvaring_info gauge\n"
    "kelvaring_info{version=\"0.9.0\",platform=\"linux-x86_64\",size=\"24 MiB\"} 1\n"
    "# HELP kelvaring_start_time_seconds When the run started, in seconds since 1970.\n"
    "# TYPE kelvaring_start_time_seconds gauge\n"
    "kelvaring_start_time_seconds 1765200000.125\n"
    "# HELP kelvaring_test_size_bytes Memory under test, both buffers together, in bytes.\n"
    "# TYPE kelvaring_test_size_bytes gauge\n"
    "kelvaring_test_size_bytes 25165824\n"
    "# HELP kelvaring_workers Workers testing side by side, each on a slice of its own.\n"
    "# TYPE kelvaring_workers gauge\n"
    "kelvaring_workers 3\n"
    "# HELP kelvaring_cycles_total Test cycles completed.\n"
    "# TYPE kelvaring_cycles_total counter\n"
    "kelvaring_cycles_total 3\n"
    "# HELP kelvaring_operations_total Random operations completed (compare, write, read back, compare).\n"
    "# TYPE kelvaring_operations_total counter\n"
    "kelvaring_operations_total 3145728\n"
    "# HELP kelvaring_errors_total Error reports: memory errors found.\n"
    "# TYPE kelvaring_errors_total counter\n";

RunMetrics sampleRun() {
  RunMetrics m;
  m.version = "0.9.0";
  m.platform = "linux-x86_64";
  m.testBytes = 24 << 20;
  m.startSeconds = 1765200000.125;
  m.workers = 3;
  m.cycles = 3;
  m.operations = 3 << 20;
  m.coverage = 10;
  return m;
}

}  // namespace

TEST(MetricsText, RunningWithoutErrorsOrEcc) {
  EXPECT_EQ(metricsText(sampleRun()),
            kHead +
                "kelvaring_errors_total 0\n"
                "# HELP kelvaring_mismatches_found_total Mismatches found by the workers, their sweeps and hardware "
                "memory errors, each counted once; several may make one error report.\n"
                "# TYPE kelvaring_mismatches_found_total counter\n"
                "kelvaring_mismatches_found_total 0\n"
                "# HELP kelvaring_failing_pages Distinct pages of 4 KiB in which errors were found.\n"
                "# TYPE kelvaring_failing_pages gauge\n"
                "kelvaring_failing_pages 0\n"
                "# HELP kelvaring_coverage_ratio Operations per word times ten: 1 is the console's 100 % coverage.\n"
                "# TYPE kelvaring_coverage_ratio gauge\n"
                "kelvaring_coverage_ratio 0.1\n"
                "# HELP kelvaring_last_error_time_seconds When the latest error report was made, in seconds since "
                "1970; 0 before the first.\n"
                "# TYPE kelvaring_last_error_time_seconds gauge\n"
                "kelvaring_last_error_time_seconds 0\n"
                "# HELP kelvaring_running 1 while the test runs, 0 once its summary is printed.\n"
                "# TYPE kelvaring_running gauge\n"
                "kelvaring_running 1\n");
}

TEST(MetricsText, EndedWithErrorsAndEccPerModuleAndKind) {
  RunMetrics m = sampleRun();
  m.errors = 2;
  m.mismatchesFound = 7;
  m.failingPages = 3;
  m.coverage = 1250;
  m.lastErrorSeconds = 1765200042.5;
  // A label with a quote, a backslash and a line end, and one byte that is
  // no UTF-8 beside a character that is.
  m.ecc = std::vector<EccGrowth>{{"mc0", "DIMM \"A\\1\"\n", 3, 0, "dimm0"}, {"mc1", "B\xe9\xc3\xa9", 0, 1, ""}};
  m.running = false;
  m.exitStatus = 1;
  std::string text = metricsText(m);
  std::string tail = text.substr(text.find("kelvaring_errors_total 2\n"));
  EXPECT_EQ(text.substr(0, kHead.size()), kHead);
  EXPECT_EQ(tail,
            "kelvaring_errors_total 2\n"
            "# HELP kelvaring_mismatches_found_total Mismatches found by the workers, their sweeps and hardware "
            "memory errors, each counted once; several may make one error report.\n"
            "# TYPE kelvaring_mismatches_found_total counter\n"
            "kelvaring_mismatches_found_total 7\n"
            "# HELP kelvaring_failing_pages Distinct pages of 4 KiB in which errors were found.\n"
            "# TYPE kelvaring_failing_pages gauge\n"
            "kelvaring_failing_pages 3\n"
            "# HELP kelvaring_coverage_ratio Operations per word times ten: 1 is the console's 100 % coverage.\n"
            "# TYPE kelvaring_coverage_ratio gauge\n"
            "kelvaring_coverage_ratio 12.5\n"
            "# HELP kelvaring_last_error_time_seconds When the latest error report was made, in seconds since "
            "1970; 0 before the first.\n"
            "# TYPE kelvaring_last_error_time_seconds gauge\n"
            "kelvaring_last_error_time_seconds 1765200042.5\n"
            "# HELP kelvaring_ecc_errors_total ECC errors the memory controllers counted during the run, per "
            "module and kind.\n"
            "# TYPE kelvaring_ecc_errors_total counter\n"
            "kelvaring_ecc_errors_total{controller=\"mc0\",module=\"dimm0\",label=\"DIMM \\\"A\\\\1\\\"\\n\","
            "kind=\"corrected\"} 3\n"
            "kelvaring_ecc_errors_total{controller=\"mc0\",module=\"dimm0\",label=\"DIMM \\\"A\\\\1\\\"\\n\","
            "kind=\"uncorrected\"} 0\n"
            "kelvaring_ecc_errors_total{controller=\"mc1\",module=\"\",label=\"B\xef\xbf\xbd\xc3\xa9\","
            "kind=\"corrected\"} 0\n"
            "kelvaring_ecc_errors_total{controller=\"mc1\",module=\"\",label=\"B\xef\xbf\xbd\xc3\xa9\","
            "kind=\"uncorrected\"} 1\n"
            "# HELP kelvaring_running 1 while the test runs, 0 once its summary is printed.\n"
            "# TYPE kelvaring_running gauge\n"
            "kelvaring_running 0\n"
            "# HELP kelvaring_exit_status The exit status the run ends with.\n"
            "# TYPE kelvaring_exit_status gauge\n"
            "kelvaring_exit_status 1\n"
            "# HELP kelvaring_verdict The run's verdict: 1 for the one that holds, pass or fail.\n"
            "# TYPE kelvaring_verdict gauge\n"
            "kelvaring_verdict{verdict=\"pass\"} 0\n"
            "kelvaring_verdict{verdict=\"fail\"} 1\n");
  // Watched, but no module: no ECC lines; a clean end passes.
  m.ecc.emplace();
  m.errors = 0;
  m.exitStatus = 0;
  text = metricsText(m);
  EXPECT_EQ(text.find("kelvaring_ecc_errors_total"), std::string::npos);
  EXPECT_NE(text.find("kelvaring_verdict{verdict=\"pass\"} 1\nkelvaring_verdict{verdict=\"fail\"} 0\n"),
            std::string::npos);
}

// Prometheus's own checker finds nothing to fault in a file with every
// metric: HELP and TYPE, base units, counters ending in _total.
TEST(MetricsText, PromtoolFindsNoProblem) {
  const char* promtool = "/usr/bin/promtool";
  if (access(promtool, X_OK) != 0)
    GTEST_SKIP() << promtool << " is not installed (Debian's prometheus; .ci/run installs it)";
  RunMetrics m = sampleRun();
  m.errors = 1;
  m.ecc = std::vector<EccGrowth>{{"mc0", "CPU_SrcID#0_Chan#0_DIMM#0", 3, 0, "dimm0"}};
  m.running = false;
  m.exitStatus = 1;
  char path[] = "/tmp/kelvaring-metrics-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = metricsText(m);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const std::string command = std::string(promtool) + " check metrics < " + path + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string said;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) said.append(buffer, n);
  const int status = pclose(pipe);
  unlink(path);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "");
}

class ReplaceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvaring-replace-XXXXXX";
    folder_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string read(const std::string& name) {
    std::ifstream in(folder_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t entries() { return static_cast<size_t>(std::distance(fs::directory_iterator(folder_), {})); }
  std::string folder_;
};

TEST_F(ReplaceFile, NewAndReplacedWholeWithNothingLeftBeside) {
  std::string path = folder_ + "/k.prom";
  std::string reason;
  ASSERT_TRUE(platform::replaceFile(path, "first\n", reason)) << reason;
  struct stat first{};
  stat(path.c_str(), &first);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(first.st_mode & 0777, 0666 & ~mask);
  std::string large(1 << 20, 'x');
  ASSERT_TRUE(platform::replaceFile(path, large, reason)) << reason;
  EXPECT_EQ(read("k.prom"), large);
  struct stat second{};
  stat(path.c_str(), &second);
  // A new file under the name, not the old one rewritten.
  EXPECT_NE(second.st_ino, first.st_ino);
  EXPECT_EQ(entries(), 1u);
}

// A link is itself replaced by the new file; what it led to stays as it was.
TEST_F(ReplaceFile, LinkReplacedByTheFileItsTargetKept) {
  std::ofstream(folder_ + "/target") << "old";
  fs::create_symlink("target", folder_ + "/k.prom");
  std::string reason;
  ASSERT_TRUE(platform::replaceFile(folder_ + "/k.prom", "new\n", reason)) << reason;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder_ + "/k.prom")));
  EXPECT_EQ(read("k.prom"), "new\n");
  EXPECT_EQ(read("target"), "old");
  EXPECT_EQ(entries(), 2u);
}

TEST_F(ReplaceFile, FailureKeepsTheOldFileAndTellsWhy) {
  fs::create_directory(folder_ + "/folder");
  std::ofstream(folder_ + "/folder/old") << "old";
  std::string reason;
  EXPECT_FALSE(platform::replaceFile(folder_ + "/missing/k.prom", "x", reason));
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_FALSE(platform::replaceFile(folder_ + "/folder", "x", reason));
  EXPECT_EQ(reason, "Is a directory");
  // A device or a pipe is never replaced by a file.
  ASSERT_EQ(mkfifo((folder_ + "/pipe").c_str(), 0600), 0);
  EXPECT_FALSE(platform::replaceFile(folder_ + "/pipe", "x", reason));
  EXPECT_EQ(reason, "Not a regular file");
  EXPECT_TRUE(fs::is_fifo(folder_ + "/pipe"));
  EXPECT_EQ(read("folder/old"), "old");
  EXPECT_EQ(entries(), 2u);
}

namespace {

double lastErrorSeconds(const std::string& path) {
  std::ifstream in(path);
  const std::string key = "kelvaring_last_error_time_seconds ";
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, key.size(), key) == 0) return std::stod(line.substr(key.size()));
  return -1;
}

}  // namespace

using MetricsFileWrites = kelvaring::testing::StateTest;

// The time of the latest error report: 0 before one, the time of the write
// that tells it, kept by the clean writes after.
TEST_F(MetricsFileWrites, LastErrorTimeChangesWithAnErrorReportAlone) {
  char pattern[] = "/tmp/kelvaring-metrics-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const std::string path = folder + "/k.prom";
  MetricsFile file(run);
  ASSERT_TRUE(file.start(path, 24 << 20));
  file.afterPoll();  // the first poll writes
  EXPECT_EQ(lastErrorSeconds(path), 0);
  const double before = static_cast<double>(platform::epochMilliseconds()) / 1000;
  run.errors = 1;
  file.afterPoll();  // at once after the report
  const double reported = lastErrorSeconds(path);
  EXPECT_GE(reported, before);
  EXPECT_LE(reported, static_cast<double>(platform::epochMilliseconds()) / 1000);
  // A clock a few milliseconds on, so that a time set anew would differ.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  file.afterSummary(1);
  EXPECT_EQ(lastErrorSeconds(path), reported);
  fs::remove_all(folder);
}

// The fewest cycles whose coverage reaches the percentage, so that the
// console's figure at the end is at least the percentage asked for.
TEST(CycleLimit, FewestCyclesReachingTheCoverage) {
  const struct {
    uint32_t percent;
    uint32_t ops;
    uint64_t words;
    uint64_t cycles;
  } table[] = {
      {30, 1u << 20, 1u << 21, 6},         // 16 MiB: 5 % a cycle
      {10, 1u << 20, 1u << 24, 16},        // 128 MiB: 0.625 % a cycle
      {1, 1u << 20, 1u << 24, 2},          // 1.25 % after two; one is short
      {10, 1u << 20, 3u << 20, 3},         // 24 MiB: 3.33 % a cycle
      {11, 1u << 20, 3u << 20, 4},
      {1000, 10u << 20, 5u << 26, 3200},   // 2.5 GiB: 3.125 % a cycle
      {0, 1u << 20, 1u << 21, 0},          // no such end
      {30, 0, 1u << 21, 0},
      {0xFFFFFFFF, 1, uint64_t{1} << 40, UINT64_MAX},  // beyond any count
  };
  for (const auto& row : table) {
    SCOPED_TRACE(::testing::Message() << row.percent << "% of " << row.words << " words");
    EXPECT_EQ(cycleLimit(row.percent, row.ops, row.words), row.cycles);
    if (row.cycles == 0 || row.cycles == UINT64_MAX) continue;
    const auto cycles = static_cast<uint32_t>(row.cycles);
    EXPECT_GE(roundHalfUp(coverage(row.ops, row.words, cycles)), row.percent);
    EXPECT_LT(coverage(row.ops, row.words, cycles - 1), row.percent);
  }
}
