// Runs that end by themselves (`coverage`, `minutes`) and the metrics file
// for Prometheus, read by Debian's node exporter started here.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

const char* kExporter = "/usr/bin/prometheus-node-exporter";
const char* kPromtool = "/usr/bin/promtool";
const std::string kSummary = R"(\rErrors (\d+), cycles (\d+), \((\d+)% coverage\) {10}\n$)";

// The body of GET /metrics from 127.0.0.1:port; "" when it cannot be had.
std::string scrape(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "" : response.substr(body + 4);
}

std::string scrapeUntil(int port, const std::string& needle, Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string body;
  while ((body = scrape(port)).find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(Millis(200));
  return body;
}

bool has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

// The lines of the results log.
std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

TEST(Metrics, NodeExporterScrapesTheErrorReportAndTheExitStatus) {
  if (access(kExporter, X_OK) != 0)
    GTEST_SKIP() << kExporter << " is not installed (Debian's prometheus-node-exporter; .ci/run installs it)";
  TempDir textfiles;
  const int port = freePort();
  ASSERT_GT(port, 0);
  Process exporter(Options{.path = kExporter,
                           .argv = {kExporter, "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                    "--collector.disable-defaults", "--collector.textfile",
                                    "--collector.textfile.directory=" + textfiles.path()}});
  ASSERT_TRUE(exporter.wait_for_regex(Channel::kErr, std::regex("Listening on"))) << exporter.err();

  Program run({.args = {"16"}, .settings = "[tweak]\nmetrics=" + textfiles.file("kelvaring.prom") + "\n"});
  run.expectOut(R"(\r\d+ cycles)");
  ASSERT_TRUE(run.flipInB(1000, 0x00000400));
  run.expectOut(R"(\rError 1, out of \d+ cycles)", Millis(15000));
  // The file is rewritten right after the report.
  std::string body = scrapeUntil(port, "kelvaring_errors_total 1\n", Millis(5000));
  EXPECT_TRUE(has(body, "kelvaring_errors_total 1\n")) << body;
  EXPECT_TRUE(has(body, "node_textfile_scrape_error 0\n")) << body;
  EXPECT_TRUE(has(body, "kelvaring_running 1\n")) << body;
  EXPECT_TRUE(has(body, "kelvaring_test_size_bytes 1.6777216e+07\n")) << body;

  ExitStatus status = run.stop(SIGINT);
  ASSERT_TRUE(status.exited_with(1)) << status;
  body = scrape(port);
  EXPECT_TRUE(has(body, "kelvaring_exit_status 1\n")) << body;
  EXPECT_TRUE(has(body, "kelvaring_verdict{verdict=\"fail\"} 1\n")) << body;
  EXPECT_TRUE(has(body, "kelvaring_running 0\n")) << body;
  EXPECT_TRUE(has(body, "node_textfile_scrape_error 0\n")) << body;
}

TEST(PlannedEnd, CoverageEndsTheRunAfterTheCycleThatReachedIt) {
  // 16 MiB: every cycle adds 5 %, so the sixth reaches 30 %.
  Program run({.args = {"16"}, .settings = "[tweak]\ncoverage=30\nlog=run.jsonl\n"});
  ExitStatus status = run.process().wait_exit(Millis(60000));
  ASSERT_TRUE(status.exited_with(0)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\rErrors 0, cycles 6, \(30% coverage\) {10}\n$)")))
      << run.out();
  EXPECT_FALSE(has(run.out(), "Stop signaled")) << run.out();
  std::vector<std::string> lines = logLines(run.dir().read_file("run.jsonl"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(has(lines[lines.size() - 2], R"("event":"stop",)") && has(lines[lines.size() - 2], R"("reason":"coverage"})"))
      << lines[lines.size() - 2];
  EXPECT_TRUE(has(lines.back(), R"("cycles":6,"coverage":30,)")) << lines.back();
}

// One minute with a reader of the metrics file in a loop: it finds a whole
// file every time, rewritten every 15 seconds.
TEST(PlannedEnd, MinutesEndTheRunWithTheMetricsFileWholeThroughout) {
  std::atomic<bool> done{false};
  std::vector<std::string> partial;
  std::set<std::string> versions;
  auto whole = [](const std::string& text) {
    return text.starts_with("# HELP kelvaring_info ") &&
           (text.ends_with("\nkelvaring_running 1\n") || text.ends_with("\nkelvaring_verdict{verdict=\"fail\"} 0\n"));
  };
  const auto launched = std::chrono::steady_clock::now();
  const auto launchedWall = std::chrono::system_clock::now();
  Program run({.args = {"16"}, .settings = "[tweak]\nminutes=1\nlog=run.jsonl\nmetrics=run.prom\n"});
  TempDir& folder = run.dir();
  const std::string path = folder.file("run.prom");
  std::thread reader([&] {
    while (!done.load()) {
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;  // not written yet
      std::string text;
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
      close(fd);
      if (!whole(text)) {
        if (partial.size() < 3) partial.push_back(text);
      } else {
        const size_t at = text.find("\nkelvaring_cycles_total ");
        versions.insert(text.substr(at, text.find('\n', at + 1) - at));
      }
    }
  });
  ExitStatus status = run.process().wait_exit(Millis(100000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - launched).count();
  done = true;
  reader.join();
  ASSERT_TRUE(status.exited_with(0)) << status;
  EXPECT_GE(seconds, 60);
  EXPECT_TRUE(partial.empty()) << "a reader saw a part of a file:\n" << partial.front();
  // At the start, the first poll, every 15 s and after the summary.
  EXPECT_GE(versions.size(), 5u);

  const std::string out = run.out();
  std::smatch summary;
  ASSERT_TRUE(std::regex_search(out, summary, std::regex(kSummary))) << out;
  EXPECT_FALSE(has(out, "Stop signaled")) << out;
  std::vector<std::string> lines = logLines(folder.read_file("run.jsonl"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(has(lines[lines.size() - 2], R"("reason":"time"})")) << lines[lines.size() - 2];
  // From the test's start: the minute, then at most a poll and a cycle.
  std::smatch duration;
  ASSERT_TRUE(std::regex_search(lines.back(), duration, std::regex(R"("duration_seconds":([0-9.]+))")));
  EXPECT_GE(std::stod(duration[1]), 60);
  EXPECT_LT(std::stod(duration[1]), 63);

  const std::string metrics = folder.read_file("run.prom");
  EXPECT_TRUE(has(metrics, "kelvaring_cycles_total " + summary[2].str() + "\n")) << metrics;
  EXPECT_TRUE(has(metrics, "kelvaring_operations_total " + std::to_string(std::stoull(summary[2]) << 20) + "\n"));
  EXPECT_TRUE(has(metrics, "kelvaring_errors_total 0\n"));
  EXPECT_TRUE(has(metrics, "kelvaring_exit_status 0\n"));
  EXPECT_TRUE(has(metrics, "kelvaring_verdict{verdict=\"pass\"} 1\n"));
  EXPECT_TRUE(has(metrics, "kelvaring_test_size_bytes 16777216\n"));
  EXPECT_TRUE(std::regex_search(metrics, std::regex(R"(\nkelvaring_info\{version="\d+\.\d+\.\d+",)"
                                                    R"(platform="linux-x86_64",size="16 MiB"\} 1\n)")))
      << metrics;
  std::smatch started;
  ASSERT_TRUE(std::regex_search(metrics, started, std::regex(R"(\nkelvaring_start_time_seconds ([0-9.]+)\n)")));
  const double launchedAt = std::chrono::duration<double>(launchedWall.time_since_epoch()).count();
  EXPECT_NEAR(std::stod(started[1]), launchedAt, 5);
  // Nothing left beside it: the copy, its settings, the log and the file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 4);
  if (access(kPromtool, X_OK) == 0) {
    Process check({.path = kPromtool, .argv = {kPromtool, "check", "metrics"}, .input = folder.file("run.prom")});
    ExitStatus checked = check.wait_exit();
    EXPECT_TRUE(checked.exited_with(0)) << checked << check.out() << check.err();
  }
}

TEST(Metrics, UnwritablePathEndsTheRunBeforeAllocation) {
  struct Case {
    std::string metrics;
    const char* reason;
  };
  for (const Case& c : {Case{"missing/k.prom", "No such file or directory"}, Case{"elsewhere", "Is a directory"}}) {
    SCOPED_TRACE(c.metrics);
    Program run({.args = {"8"}, .settings = "[tweak]\nmetrics=" + c.metrics + "\n", .workingDir = "elsewhere"});
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(73)) << status;
    EXPECT_EQ(run.err(), "Metrics file " + run.dir().file(c.metrics) + " cannot be written: " + c.reason + "\n");
    EXPECT_FALSE(has(run.out(), "allocated")) << run.out();
  }
}

}  // namespace
}  // namespace e2e
