#include "report/console_lines.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/driver.h"
#include "app/monitor.h"
#include "report/results_log.h"
#include "report/ecc_watch.h"
#include "report/error_report.h"
#include "platform/platform_linux.h"
#include "capture.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "platform/edac.h"
#include "platform/system_info.h"
#include "test_state.h"

using namespace kelvaring;

namespace {

std::string shortNameOf(const char* path) {
  Text name(path);
  makeShortName(name);
  return name.str();
}

// Feeds standard input from a temporary file holding `content` until destroyed.
class StandardInputFeed {
 public:
  explicit StandardInputFeed(const std::string& content) {
    char name[] = "/tmp/kelvaring-input-XXXXXX";
    int file = mkstemp(name);
    if (file < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    if (write(file, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        lseek(file, 0, SEEK_SET) != 0) {
      close(file);
      throw std::runtime_error("cannot prepare input");
    }
    __fpurge(stdin);
    saved_ = dup(STDIN_FILENO);
    dup2(file, STDIN_FILENO);
    close(file);
    clearerr(stdin);
  }
  ~StandardInputFeed() {
    __fpurge(stdin);
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    clearerr(stdin);
  }

 private:
  int saved_ = -1;
};

}  // namespace

TEST(ReportLines, BannerAndUsage) {
  EXPECT_EQ(bannerLine("Dec  7 2026"), "\nKelvaring - build Dec  7 2026 (beta), " + std::string(platform::noticeText()));
  EXPECT_EQ(usageLine("probe"), "\nUsage: probe [megabytes]\n\n");
}

TEST(ReportLines, CountLinesToTheCharacter) {
  EXPECT_EQ(progressLine(16, 10.0, ':'), "\r16 cycles, (10% coverage) :      ");
  EXPECT_EQ(errorLine(3, 40, 25.0), "\rError 3, out of 40 cycles, (25% coverage)        \n");
  EXPECT_EQ(summaryLine(1, 2, 1.25), "\rErrors 1, cycles 2, (1% coverage)          \n");
}

// With progress=N nothing is left on the line to overwrite: no "\r", no
// blanks over the rest of a progress line, no line end before the notice.
TEST(ReportLines, ProgressEveryNSecondsLeavesNoCarriageReturn) {
  for (auto [progress, inPlace] : {std::pair{-1, true}, {0, true}, {1, false}, {60, false}}) {
    Settings settings;
    settings.progress = progress;
    EXPECT_EQ(progressInPlace(settings), inPlace) << progress;
  }
  EXPECT_EQ(timedProgressLine(16, 10.0), "16 cycles, (10% coverage)\n");
  EXPECT_EQ(errorLine(3, 40, 25.0, false), "Error 3, out of 40 cycles, (25% coverage)\n");
  EXPECT_EQ(summaryLine(1, 2, 1.25, false), "Errors 1, cycles 2, (1% coverage)\n");
  EXPECT_STREQ(stopNoticeLine(false), "Stop signaled. Terminating...\n");
  EXPECT_STREQ(stopNoticeLine(true), "\nStop signaled. Terminating...\n");
}

TEST(ReportLines, VerdictNamesTheErrorsAndTheTimeTested) {
  EXPECT_EQ(verdictLine(0, 3723, false), "PASS: no errors found in 1:02:03\n");
  EXPECT_EQ(verdictLine(3, 12, false), "FAIL: 3 errors found in 0:00:12\n");
  EXPECT_EQ(verdictLine(1, 360059, false), "FAIL: 1 error found in 100:00:59\n");
  EXPECT_EQ(verdictLine(0, 59, true), "\rPASS: no errors found in 0:00:59          \n");
}

TEST(ReportLines, FillProgressNeverShowsAFullFillBeforeItsEnd) {
  for (auto [filled, words, percent] : {std::tuple<uint64_t, uint64_t, unsigned>{0, 100, 0}, {37, 100, 37},
                                        {99, 100, 99}, {100, 100, 100}, {(uint64_t{1} << 40) - 1, uint64_t{1} << 40, 99},
                                        {0, 0, 100}})
    EXPECT_EQ(fillPercent(filled, words), percent) << filled << " of " << words;
  EXPECT_EQ(fillLine(37), "\rFilling: 37 %");
  // The erasure blanks the longest line whole and leaves the cursor at
  // its start for the allocation line.
  EXPECT_EQ(fillLineErasure(), "\r" + std::string(fillLine(100).size() - 1, ' ') + "\r");
}

// Times in milliseconds from a start at 10000; slices end every 500 ms.
TEST(ProgressSchedule, EveryNSecondsOnTheStartsGrid) {
  struct Row {
    int32_t seconds;
    std::vector<std::pair<uint64_t, bool>> looks;
  };
  for (const Row& r : std::vector<Row>{
           {0, {{10500, true}, {11000, true}, {11000, true}}},
           {-3, {{10500, true}}},
           {1, {{10500, false}, {11004, true}, {11504, false}, {12010, true}, {12600, false}, {13000, true}}},
           // A report took the slice that was due: the next slice prints,
           // and the one after keeps to the grid.
           {2, {{11999, false}, {12500, true}, {13000, false}, {14000, true}}},
           // Looks that fall behind by whole periods do not print them all.
           {1, {{14700, true}, {14900, false}, {15000, true}}},
       }) {
    ProgressSchedule schedule(10000, r.seconds);
    for (auto [now, due] : r.looks) EXPECT_EQ(schedule.due(now), due) << r.seconds << " s, at " << now;
  }
}

TEST(ReportLines, DetailLineDigits) {
  EXPECT_EQ(detailLine(0x7F0012345678, 0x45, 0x7F00ABCDEF00, 0x4D, "12:34:56"),
            "[00007F0012345678]=00000045 vs [00007F00ABCDEF00]=0000004d, 12:34:56\n");
  EXPECT_EQ(detailLine(0xFEDCBA9876543210, 0xDEADBEEF, 0, 0, "00:00:00"),
            "[FEDCBA9876543210]=deadbeef vs [0000000000000000]=00000000, 00:00:00\n");
}

TEST(ReportLines, LocationHardwareAndEccLines) {
  EXPECT_EQ(locationLine(0x123456789ABC, 0xFEDCBA987654, 0x00010008),
            "Physical [0000123456789ABC] vs [0000FEDCBA987654], failing bits 00010008\n");
  EXPECT_EQ(locationLine(std::nullopt, std::nullopt, 0xFFFFFFFF),
            "Physical [unknown] vs [unknown], failing bits ffffffff\n");
  EXPECT_EQ(hardwareErrorLine(0x7F0012345678, 'B', 4096),
            "Hardware memory error at [00007F0012345678] in buffer B, page of 4096 bytes replaced\n");
  EXPECT_EQ(eccLine("mc1", "CPU_SrcID#0_Ha#0_Chan#1_DIMM#0", 3, 0),
            "ECC errors on mc1, module CPU_SrcID#0_Ha#0_Chan#1_DIMM#0: 3 corrected, 0 uncorrected gained\n");
  EXPECT_EQ(eccWatchLine(true), "ECC counts watched.\n");
  EXPECT_EQ(eccWatchLine(false), "ECC counts not watched.\n");
}

TEST(ReportLines, CountsFromTwoToTheThirtyFirstPrintNegative) {
  EXPECT_EQ(progressLine(0x80000000u, 0, '.'), "\r-2147483648 cycles, (0% coverage) .      ");
  EXPECT_EQ(errorLine(0xFFFFFFFFu, 0x80000000u, 0), "\rError -1, out of -2147483648 cycles, (0% coverage)        \n");
  EXPECT_EQ(summaryLine(0x80000001u, 0x7FFFFFFFu, 0), "\rErrors -2147483647, cycles 2147483647, (0% coverage)          \n");
}

TEST(ReportLines, LongProgramNameIsPrintedWhole) {
  // A file name may hold 255 characters; its usage line must not be cut.
  std::string name(255, 'k');
  EXPECT_EQ(usageLine(name.c_str()), "\nUsage: " + name + " [megabytes]\n\n");
}

TEST(ReportSpinner, CyclesThroughColonDotBlankDot) {
  const char expected[] = {':', '.', ' ', '.', ':', '.', ' ', '.'};
  for (uint32_t n = 1; n <= 8; ++n) EXPECT_EQ(spinnerCharacter(n), expected[n - 1]) << "count " << n;
  EXPECT_EQ(spinnerCharacter(0xFFFFFFFFu), ' ');
}

TEST(Coverage, TenTimesOperationsPerWord) {
  EXPECT_DOUBLE_EQ(coverage(1u << 20, uint64_t{1} << 24, 1), 0.625);
  EXPECT_DOUBLE_EQ(coverage(1u << 20, uint64_t{1} << 24, 16), 10.0);
  EXPECT_DOUBLE_EQ(coverage(10u << 20, uint64_t{1} << 26, 1), 1.5625);
  EXPECT_DOUBLE_EQ(coverage(1u << 20, 0, 5), 0.0);
}

TEST(Coverage, PrintedHalvesRoundUp) {
  EXPECT_EQ(progressLine(1, 0.5, ':'), "\r1 cycles, (1% coverage) :      ");
  EXPECT_EQ(progressLine(1, 2.5, ':'), "\r1 cycles, (3% coverage) :      ");
  EXPECT_EQ(progressLine(1, 99.5, ':'), "\r1 cycles, (100% coverage) :      ");
  EXPECT_EQ(progressLine(1, 1.49, ':'), "\r1 cycles, (1% coverage) :      ");
  EXPECT_EQ(errorLine(1, 1, 4.5), "\rError 1, out of 1 cycles, (5% coverage)        \n");
  EXPECT_EQ(summaryLine(0, 1, 6.5), "\rErrors 0, cycles 1, (7% coverage)          \n");
}

TEST(ReportShortName, FolderAndExtensionRemoved) {
  EXPECT_EQ(shortNameOf("/usr/local/bin/probe.exe"), "probe");
  EXPECT_EQ(shortNameOf("./kelvaring"), "kelvaring");
  EXPECT_EQ(shortNameOf("kelvaring"), "kelvaring");
  EXPECT_EQ(shortNameOf("/opt/x.y/tool"), "tool");
  EXPECT_EQ(shortNameOf("/bin/probe.v2.exe"), "probe.v2");
}

TEST(ReportTimeOfDay, EightCharacterClock) {
  char buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 'z');
  EXPECT_EQ(timeOfDayText(buffer), buffer);
  ASSERT_EQ(std::strlen(buffer), 8u) << buffer;
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(buffer[i] >= '0' && buffer[i] <= '9') << buffer;
  EXPECT_EQ(buffer[2], ':');
  EXPECT_EQ(buffer[5], ':');
  EXPECT_LT(std::atoi(buffer), 24) << buffer;
  EXPECT_LT(std::atoi(buffer + 3), 60) << buffer;
  EXPECT_LT(std::atoi(buffer + 6), 61) << buffer;
}

TEST(ReportTimeOfDay, HoursMinutesSecondsInThatOrder) {
  char buffer[9];
  EXPECT_STREQ(timeOfDayText(7, 8, 9, buffer), "07:08:09");
  EXPECT_STREQ(timeOfDayText(23, 59, 5, buffer), "23:59:05");
  EXPECT_STREQ(timeOfDayText(0, 0, 0, buffer), "00:00:00");
}

// Linux before 3.14 and Windows before 4.90 are obsolete, and so is a
// version that cannot be read.
TEST(SystemVersion, BeforeTheLowestSupportedIsObsolete) {
  struct Row {
    platform::OsVersion lowest;
    bool known;
    int major, minor;
    bool obsolete;
  };
  for (const Row& r : std::vector<Row>{{{3, 14}, false, 6, 1, true},
                                       {{3, 14}, true, 2, 6, true},
                                       {{3, 14}, true, 3, 13, true},
                                       {{3, 14}, true, 3, 14, false},
                                       {{3, 14}, true, 4, 0, false},
                                       {{4, 90}, true, 3, 95, true},
                                       {{4, 90}, true, 4, 89, true},
                                       {{4, 90}, true, 4, 90, false},
                                       {{4, 90}, true, 5, 0, false}})
    EXPECT_EQ(isObsoleteVersion(r.known, r.major, r.minor, r.lowest), r.obsolete)
        << r.lowest.major << "." << r.lowest.minor << ": " << r.major << "." << r.minor;
  EXPECT_EQ(platform::lowestSupportedVersion().major, 3);
  EXPECT_EQ(platform::lowestSupportedVersion().minor, 14);
}

class VersionQuestion : public ::testing::Test {
 protected:
  int run() {
    char program[] = "probe";
    char size[] = "1";
    char* argv[] = {program, size, nullptr};
    return runProgram(2, argv, [] { return true; });
  }
};

TEST_F(VersionQuestion, NoEndsTheRunBeforeAnyOutput) {
  for (const char* answer : {"n\n", ""}) {
    StandardInputFeed input(answer);
    kelvaring::testing::OutputCapture capture(true);
    EXPECT_EQ(run(), -1) << "answer '" << answer << "'";
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(capture.errorText(), "Obsolete or unsupported OS version. Continue? (Y/N) ");
  }
}

TEST_F(VersionQuestion, OnlyAnAnswerStartingWithYGoesOn) {
  kelvaring::testing::OutputCapture capture(true);
  {
    StandardInputFeed input("Yes\n");
    EXPECT_TRUE(confirmObsoleteVersion());
  }
  {
    StandardInputFeed input("y\n");
    EXPECT_TRUE(confirmObsoleteVersion());
  }
  {
    StandardInputFeed input("N\n");
    EXPECT_FALSE(confirmObsoleteVersion());
  }
  {
    // Each question takes a whole line of the answer.
    StandardInputFeed input("no\nyes\n");
    EXPECT_FALSE(confirmObsoleteVersion());
    EXPECT_TRUE(confirmObsoleteVersion());
  }
}

TEST(ReportText, PositionOfTheTerminatorIsTheLastAllowed) {
  Text text("abc");
  EXPECT_EQ(text.at(2), 'c');
  EXPECT_EQ(text.at(3), '\0');
  try {
    text.at(4);
    ADD_FAILURE() << "no exception for a position past the terminator";
  } catch (const CAtlException& e) {
    EXPECT_EQ(e.m_hr, kInvalidArgument);
    EXPECT_EQ(static_cast<uint32_t>(e.m_hr), 0x80070057u);
  }
}

// A copy of the form of the kernel's EDAC folder: mc0 with two modules (one
// without a label), mc10 without modules, numbered past mc9 so that the
// order is numeric.
class FakeEdac {
 public:
  FakeEdac() {
    char name[] = "/tmp/kelvaring-edac-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = name;
    write("mc0/dimm0/dimm_label", "CPU_SrcID#0_Chan#0_DIMM#0\n");
    write("mc0/dimm0/dimm_ce_count", "5\n");
    write("mc0/dimm0/dimm_ue_count", "0\n");
    write("mc0/dimm1/dimm_ce_count", "0\n");
    write("mc0/dimm1/dimm_ue_count", "0\n");
    write("mc0/ce_count", "5\n");
    write("mc10/ce_count", "1\n");
    write("mc10/ue_count", "2\n");
  }
  ~FakeEdac() { std::filesystem::remove_all(root_); }
  void write(const std::string& file, const std::string& text) {
    std::filesystem::path path = root_ + "/" + file;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

TEST(EccCounts, GrowthBetweenTwoReadsNamesTheModule) {
  FakeEdac edac;
  auto before = platform::readEccCounts(edac.root());
  ASSERT_TRUE(before);
  ASSERT_EQ(before->size(), 3u);
  EXPECT_EQ((*before)[1].label, "dimm1");
  EXPECT_EQ((*before)[2].controller, "mc10");
  EXPECT_EQ((*before)[2].uncorrected, 2u);
  // Unchanged counts: nothing.
  EXPECT_TRUE(eccGrowth(*before, *platform::readEccCounts(edac.root())).empty());

  // Corrected errors alone, the common case, on the second module of mc0:
  // compared with its own counts, not with those of the first.
  edac.write("mc0/dimm1/dimm_ce_count", "3\n");
  std::vector<EccGrowth> grown = eccGrowth(*before, *platform::readEccCounts(edac.root()));
  ASSERT_EQ(grown.size(), 1u);
  EXPECT_EQ(eccLine(grown[0].controller, grown[0].label, grown[0].corrected, grown[0].uncorrected),
            "ECC errors on mc0, module dimm1: 3 corrected, 0 uncorrected gained\n");
  edac.write("mc0/dimm1/dimm_ce_count", "0\n");

  edac.write("mc0/dimm0/dimm_ce_count", "8\n");
  edac.write("mc0/dimm0/dimm_ue_count", "1\n");
  edac.write("mc0/ce_count", "9\n");
  auto after = platform::readEccCounts(edac.root());
  ASSERT_TRUE(after);
  grown = eccGrowth(*before, *after);
  ASSERT_EQ(grown.size(), 1u);
  EXPECT_EQ(eccLine(grown[0].controller, grown[0].label, grown[0].corrected, grown[0].uncorrected),
            "ECC errors on mc0, module CPU_SrcID#0_Chan#0_DIMM#0: 3 corrected, 1 uncorrected gained\n");
  // A count that fell (a driver reloaded) gains nothing.
  EXPECT_TRUE(eccGrowth(*after, *before).empty());
}

// A transient flip: the compare saw the two words differ, read again they
// agree. The failing bits are those of the compare.
TEST(ErrorReport, FailingBitsOfATransientFlipAreThoseTheCompareSaw) {
  TestRun run;
  run.settings.verbose = 1;
  uint32_t words[2] = {0x12345678, 0x12345678};
  ErrorRecord r;
  r.addressA = reinterpret_cast<uintptr_t>(&words[0]);
  r.addressB = reinterpret_cast<uintptr_t>(&words[1]);
  r.valueA = r.valueB = 0x12345678;
  r.comparedA = 0x12345678;
  r.comparedB = 0x12345778;
  ASSERT_TRUE(run.workers[0].errors.publish(r, run.errorStamps));
  std::string printed;
  {
    kelvaring::testing::OutputCapture capture;
    ErrorDrain drain(run);
    {
      FailingPages pages;
      reportErrors(run, drain.drain(), pages);
    }
    printed = capture.text();
  }
  EXPECT_NE(printed.find("]=12345678, "), std::string::npos) << printed;
  EXPECT_NE(printed.find(", failing bits 00000100\n"), std::string::npos) << printed;
}

// A count that grew is one report; that read is the new baseline, so the
// same count is not reported again.
TEST(EccCounts, GrowthIsReportedOnceAndBecomesTheBaseline) {
  TestRun run;
  FakeEdac edac;
  EccWatch ecc;
  ecc.root = edac.root();
  ecc.counts = platform::readEccCounts(edac.root());
  edac.write("mc0/dimm0/dimm_ce_count", "6\n");
  kelvaring::testing::OutputCapture output;
  EXPECT_TRUE(reportEccGrowth(run, ecc));
  EXPECT_FALSE(reportEccGrowth(run, ecc));
  EXPECT_EQ(run.errors, 1u);
}

// With eccfail=0 a rise of corrected errors alone is printed and logged,
// not counted: no error line, no count, no errmax. Uncorrected ones count.
TEST(EccCounts, CorrectedErrorsCountUnlessEccfailIsZero) {
  struct Row {
    int32_t eccfail;
    const char* file;
    uint32_t errors;
  };
  for (const Row& r : {Row{1, "mc0/dimm0/dimm_ce_count", 1}, Row{0, "mc0/dimm0/dimm_ce_count", 0},
                       Row{0, "mc0/dimm0/dimm_ue_count", 1}, Row{0, "mc10/ue_count", 1}}) {
    SCOPED_TRACE(std::string(r.file) + ", eccfail=" + std::to_string(r.eccfail));
    TestRun run;
    run.settings.eccfail = r.eccfail;
    run.settings.errmax = 1;
    FakeEdac edac;
    const std::string log = edac.root() + "/run.jsonl";
    std::string message;
    ASSERT_TRUE(openResultsLog(log, message)) << message;
    EccWatch ecc;
    ecc.root = edac.root();
    ecc.counts = platform::readEccCounts(edac.root());
    edac.write(r.file, "9\n");
    std::string printed;
    {
      kelvaring::testing::OutputCapture output;
      EXPECT_TRUE(reportEccGrowth(run, ecc));
      printed = output.text();
    }
    closeResultsLog();
    std::string logged;
    std::getline(std::ifstream(log), logged);
    EXPECT_EQ(run.errors, r.errors);
    EXPECT_EQ(run.stopRequested.load(), r.errors != 0);
    EXPECT_NE(printed.find(" gained\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.starts_with("\rError 1, "), r.errors != 0) << printed;
    EXPECT_EQ(logged.find(R"("counted":false,"cycles")") != std::string::npos, r.errors == 0) << logged;
    EXPECT_NE(logged.find(R"("kind":"ecc")"), std::string::npos) << logged;
  }

}

TEST(EccCounts, MissingTreeIsNotWatched) {
  FakeEdac edac;
  EXPECT_FALSE(platform::readEccCounts(edac.root() + "/none"));
}
