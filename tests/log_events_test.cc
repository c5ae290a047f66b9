// The lines of the events in the results log.
#include "report/log_events.h"

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "platform/platform_linux.h"

namespace kelvaring {
namespace {

const char* kTime = "2026-12-07T13:45:09.042+01:00";

TEST(ResultsLogJson, EventLines) {
  StartEvent start;
  start.version = "0.9.0";
  start.host = "host\"1";
  start.kernel = "6.1.0";
  start.testBytes = 16777216;
  start.wordsPerBuffer = 2097152;
  start.opsPerCycle = 1048576;
  start.settings.timeout = -1;
  start.settings.errmax = 3;
  start.settings.processPriorityClass = PriorityClass::high;
  start.settings.threadPriority = ThreadPriority::belowNormal;
  start.settings.log = "/var/log/k.jsonl";
  start.bufferA = 0x7F2FC0600000;
  start.bufferB = 0x7F2FBE600000;
  start.hugePageShare = 0.5;
  start.locked = true;
  EXPECT_EQ(startJson(start, kTime),
            R"({"event":"start","time":"2026-12-07T13:45:09.042+01:00","version":"0.9.0","host":"host\"1",)"
            R"("kernel":"6.1.0","test_bytes":16777216,"words_per_buffer":2097152,"ops_per_cycle":1048576,)"
            R"("settings":{"console":0,"verbose":0,"timeout":4294967295,"signal":0,"method":0,"topmem":0,)"
            R"("errmax":3,"process":"high","thread":"below","sweep":10,"log":"/var/log/k.jsonl"},)"
            R"("buffer_a":"00007F2FC0600000","buffer_b":"00007F2FBE600000","huge_page_share":0.500,)"
            R"("locked":true,"ecc_watched":false})"
            "\n");
  // The keys of an unattended run follow the log when set.
  start.settings.coverage = -1;
  start.settings.minutes = 480;
  start.settings.metrics = "/m \"1\".prom";
  start.settings.retire = 1;
  EXPECT_NE(startJson(start, kTime).find(R"("log":"/var/log/k.jsonl","coverage":4294967295,"minutes":480,)"
                                         R"("metrics":"/m \"1\".prom","retire":1},)"),
            std::string::npos);
  EXPECT_EQ(progressJson({.cycles = 120, .coverage = 74.5, .opsPerSecond = 2097152.4}, kTime),
            R"({"event":"progress","time":"2026-12-07T13:45:09.042+01:00","cycles":120,"coverage":75,)"
            R"("ops_per_second":2097152})"
            "\n");
  // What is not known is left out.
  ErrorEvent bare;
  bare.kind = ErrorKind::ecc;
  bare.errors = 2;
  bare.cycles = 9;
  bare.coverage = 5.6;
  EXPECT_EQ(errorJson(bare, kTime),
            R"({"event":"error","time":"2026-12-07T13:45:09.042+01:00","number":2,"cycles":9,"coverage":6,)"
            R"("kind":"ecc"})"
            "\n");
  ErrorEvent full;
  full.errors = 1;
  full.cycles = 36;
  full.coverage = 45;
  full.worker = 2;
  full.mismatches = 3;
  full.virtualA = 0x7F2FC0600190;
  full.virtualB = 0x7F2FBE600190;
  full.physicalA = 0x1234000;
  full.physicalB = 0x5678000;
  full.comparedA = 0x12345678;
  full.comparedB = 0x12345679;
  full.valueA = 0xabcdef01;
  full.valueB = 0xabcdef01;
  full.failingBits = 1;
  full.pageSize = 4096;
  full.ecc = {{"mc0", "DIMM \"A1\"", 2, 0, "dimm0"}, {"mc1", "", 0, 3, ""}};
  EXPECT_EQ(errorJson(full, kTime),
            R"({"event":"error","time":"2026-12-07T13:45:09.042+01:00","number":1,"cycles":36,"coverage":45,)"
            R"("kind":"mismatch","worker":2,"mismatches":3,"virtual_a":"00007F2FC0600190",)"
            R"("virtual_b":"00007F2FBE600190",)"
            R"("physical_a":"0000000001234000","physical_b":"0000000005678000","compared_a":"12345678",)"
            R"("compared_b":"12345679","reread_a":"abcdef01","reread_b":"abcdef01","failing_bits":"00000001",)"
            R"("page_size":4096,"ecc":[{"controller":"mc0","module":"DIMM \"A1\"","corrected":2,"uncorrected":0},)"
            R"({"controller":"mc1","module":"","corrected":0,"uncorrected":3}]})"
            "\n");
  EXPECT_EQ(stopJson({"SIGTERM"}, kTime),
            R"({"event":"stop","time":"2026-12-07T13:45:09.042+01:00","reason":"signal","signal":"SIGTERM"})"
            "\n");
  EXPECT_EQ(stopJson({}, kTime), R"({"event":"stop","time":"2026-12-07T13:45:09.042+01:00","reason":"errmax"})"
                                 "\n");
  EXPECT_EQ(stopJson({.reason = "coverage"}, kTime),
            R"({"event":"stop","time":"2026-12-07T13:45:09.042+01:00","reason":"coverage"})"
            "\n");
  EXPECT_EQ(summaryJson({.errors = 0, .cycles = 7, .coverage = 8.75, .durationSeconds = 12.3456, .status = 0}, kTime),
            R"({"event":"summary","time":"2026-12-07T13:45:09.042+01:00","errors":0,"mismatches_found":0,"cycles":7,)"
            R"("coverage":9,)"
            R"("duration_seconds":12.346,"verdict":"pass","status":0})"
            "\n");
  EXPECT_EQ(summaryJson({.errors = 5, .mismatchesFound = 9, .cycles = 83, .coverage = 104, .durationSeconds = 1,
                         .status = 1},
                        kTime),
            R"({"event":"summary","time":"2026-12-07T13:45:09.042+01:00","errors":5,"mismatches_found":9,"cycles":83,)"
            R"("coverage":104,)"
            R"("duration_seconds":1.000,"verdict":"fail","status":1})"
            "\n");
  char fault[kFaultJsonSize];
  EXPECT_EQ(std::string(fault, formatFaultJson(0xC0000005, uintptr_t{0x10}, kTime, fault)),
            R"({"event":"fault","time":"2026-12-07T13:45:09.042+01:00","code":"c0000005",)"
            R"("address":"0000000000000010"})"
            "\n");
  EXPECT_EQ(std::string(fault, formatFaultJson(0xC000008C, std::nullopt, kTime, fault)),
            R"({"event":"fault","time":"2026-12-07T13:45:09.042+01:00","code":"c000008c"})"
            "\n");
}

TEST(ResultsLogHugePages, AnonHugePagesOfTheBuffersMappingsCountedOnce) {
  const std::string smaps =
      "7f0000000000-7f0000400000 rw-p 00000000 00:00 0 \n"
      "Size:               4096 kB\n"
      "AnonHugePages:      4096 kB\n"
      "VmFlags: rd wr mr mw me ac hg\n"
      // A and B merged into one mapping, half of it in huge pages.
      "7f1000000000-7f1000800000 rw-p 00000000 00:00 0 \n"
      "Size:               8192 kB\n"
      "AnonHugePages:      4096 kB\n"
      // Reaching past the buffers: no more than its overlap counts.
      "7f2000000000-7f2000800000 rw-p 00000000 00:00 0 \n"
      "AnonHugePages:      8192 kB\n";
  using platform::AddressRange;
  const uintptr_t mib = 1 << 20;
  EXPECT_EQ(platform::hugePageBytesIn(smaps, {{0x7f1000000000, 0x7f1000000000 + 4 * mib},
                                              {0x7f1000000000 + 4 * mib, 0x7f1000000000 + 8 * mib}}),
            4 * mib);
  EXPECT_EQ(platform::hugePageBytesIn(smaps, {{0x7f2000000000 + 6 * mib, 0x7f2000000000 + 10 * mib}}), 2 * mib);
  EXPECT_EQ(platform::hugePageBytesIn(smaps, {{0x7f3000000000, 0x7f3000000000 + 4 * mib}}), 0u);
  EXPECT_EQ(platform::hugePageBytesIn("", {{0x7f0000000000, 0x7f0000400000}}), 0u);
}

}  // namespace
}  // namespace kelvaring
