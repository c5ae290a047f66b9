// Several workers in-process: the slices and shares, each worker's traffic
// over its own slice, and the road of their errors to one report.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "report/error_report.h"
#include "report/results_log.h"
#include "capture.h"
#include "engine/engine.h"
#include "kelvaring/mul_div.h"
#include "kelvaring/state.h"
#include "random/subtractive_random.h"
#include "test_state.h"

namespace kelvaring {
namespace {

constexpr uint32_t kSeedTime = 1103285978;

// The state as at the start, with a team of one again.
class WorkersTest : public testing::StateTest {
 protected:
  void TearDown() override {
    oneWorker(run);
    testing::StateTest::TearDown();
  }
};

// Slices, shares and cycle limits multiply in 128 bits without a 128-bit
// type, so that the 32-bit build agrees: checked against one here.
TEST(SliceTest, MulDivAgreesWithA128BitProduct) {
  const uint64_t big = UINT64_MAX, top = uint64_t{1} << 63;
  for (auto [a, b, c] : std::vector<std::array<uint64_t, 3>>{{0, 5, 3},
                                                             {7, 3, 2},
                                                             {3000017, 2, 3},
                                                             {(uint64_t{1} << 61) - 3, 1023, 1024},
                                                             {big, big, big},
                                                             {big, top + 5, top + 7},
                                                             {4294967295u, 10485760, 10485760ull * 10},
                                                             {123456789012345ull, 987654321098ull, 1000000007}}) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    const unsigned __int128 down = product / c;
    const unsigned __int128 up = (product + c - 1) / c;
    EXPECT_EQ(mulDiv(a, b, c), down > UINT64_MAX ? UINT64_MAX : uint64_t(down)) << a << " " << b << " " << c;
    EXPECT_EQ(mulDivUp(a, b, c), up > UINT64_MAX ? UINT64_MAX : uint64_t(up)) << a << " " << b << " " << c;
  }
  EXPECT_EQ(mulDiv(big, 2, 1), UINT64_MAX);
}

// Every word in exactly one slice, in order. Where each worker can have a
// whole 2 MiB, every edge but the last on a 2 MiB boundary and the slices
// within one 2 MiB stretch of each other (the last also takes the words
// after the last whole stretch); below, the sizes within one word.
TEST(SliceTest, SlicesPartitionTheWords) {
  constexpr uint64_t kStretch = kSliceAlignWords;
  struct Row {
    uint64_t words;
    uint32_t workers;
  };
  std::vector<Row> rows;
  for (uint64_t words : {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{7}, uint64_t{3000017},
                         (uint64_t{1} << 61) - 3})
    for (uint32_t workers : {1u, 2u, 3u, 1024u, static_cast<uint32_t>(std::min<uint64_t>(words + 1, 1025))})
      rows.push_back({words, workers});
  // Just below, at and just above the size from which the edges align.
  for (uint32_t workers : {3u, 5u, 12u})
    for (uint64_t words : {workers * kStretch - 1, workers * kStretch, workers * kStretch + 1,
                           (workers + 1) * kStretch - 1, 7 * workers * kStretch + 12345})
      rows.push_back({words, workers});
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.words) + " words, " + std::to_string(r.workers) + " workers");
    const bool aligned = r.words >= r.workers * kStretch;
    const uint64_t stretches = r.words / kStretch;
    uint64_t next = 0;
    for (uint32_t k = 0; k < r.workers; ++k) {
      const Slice slice = sliceOf(r.words, r.workers, k);
      ASSERT_EQ(slice.first, next) << "worker " << k;
      uint64_t size = slice.end - slice.first;
      if (aligned) {
        ASSERT_EQ(slice.first % kStretch, 0u) << "worker " << k;
        if (k + 1 == r.workers) size -= r.words % kStretch;
        ASSERT_EQ(size % kStretch, 0u) << "worker " << k;
        ASSERT_GE(size / kStretch, stretches / r.workers) << "worker " << k;
        ASSERT_LE(size / kStretch, stretches / r.workers + 1) << "worker " << k;
      } else {
        ASSERT_GE(size, r.words / r.workers) << "worker " << k;
        ASSERT_LE(size, r.words / r.workers + 1) << "worker " << k;
      }
      next = slice.end;
    }
    EXPECT_EQ(next, r.words);
  }
  EXPECT_EQ(sliceOf(7, 3, 0), (Slice{0, 2}));
  EXPECT_EQ(sliceOf(7, 3, 1), (Slice{2, 4}));
  EXPECT_EQ(sliceOf(7, 3, 2), (Slice{4, 7}));
  EXPECT_EQ(sliceOf(2, 3, 0), (Slice{0, 0}));  // more workers than words: some get none
  EXPECT_EQ(sliceOf(2, 3, 2), (Slice{1, 2}));
  // Below 3 whole stretches the edges are the word counts' thirds; from
  // there on they are whole stretches.
  EXPECT_EQ(sliceOf(3 * kStretch - 1, 3, 1), (Slice{kStretch - 1, 2 * kStretch - 1}));
  EXPECT_EQ(sliceOf(3 * kStretch + 5, 3, 2), (Slice{2 * kStretch, 3 * kStretch + 5}));
  EXPECT_EQ(sliceOf(5 * kStretch, 3, 1), (Slice{kStretch, 3 * kStretch}));
}

TEST(SliceTest, SharesOfACycleFollowTheSlicesAndAddUp) {
  for (uint64_t words : {uint64_t{7}, uint64_t{3000017}, uint64_t{1} << 33}) {
    for (uint32_t workers : {1u, 2u, 3u, 7u}) {
      uint64_t sum = 0;
      for (uint32_t k = 0; k < workers; ++k) {
        const Slice slice = sliceOf(words, workers, k);
        const uint32_t share = shareOfCycle(kLongCycleOps, words, slice);
        const double proportional = double(kLongCycleOps) * double(slice.end - slice.first) / double(words);
        EXPECT_LE(std::abs(share - proportional), 1.0) << words << " " << workers << " " << k;
        sum += share;
      }
      EXPECT_EQ(sum, kLongCycleOps) << words << " " << workers;
    }
  }
}

TEST(SliceTest, WorkerCountFromTheKey) {
  struct Row {
    int32_t key;
    uint32_t cpus;
    uint64_t words;
    uint32_t count;
  };
  for (const Row& r : {Row{1, 8, 100, 1}, Row{-3, 8, 100, 1}, Row{0, 8, 100, 8}, Row{0, 0, 100, 1},
                       Row{3, 1, 100, 3}, Row{5000, 8, uint64_t{1} << 30, 1024}, Row{0, 4096, 1u << 30, 1024},
                       Row{8, 8, 3, 3}, Row{0, 8, 1, 1}}) {
    EXPECT_EQ(workerCount(r.key, r.cpus, r.words), r.count) << r.key << " " << r.cpus << " " << r.words;
  }
  EXPECT_FALSE(workersAsked(1));
  EXPECT_FALSE(workersAsked(-1));
  EXPECT_TRUE(workersAsked(0));
  EXPECT_TRUE(workersAsked(2));
}

SubtractiveRandom generatorOf(uint32_t worker) {
  SubtractiveRandom g{};
  if (worker == 0)
    seedGenerator(g, kSeedTime, platform::noticeText());
  else
    seedWorkerGenerator(g, kSeedTime, worker);
  return g;
}

// One cycle of 3 workers side by side over a word count that is no power of
// two: each slice holds what its worker's own stream chose, its indexes
// counted from the slice's first word; the cycles count once all three are
// done.
TEST_F(WorkersTest, ThreeWorkersEachWriteTheirOwnStreamIntoTheirSlice) {
  constexpr uint64_t kWords = 3000017;
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kWords * 8 + 5));
  setUpWorkers(run, 3);
  ASSERT_EQ(run.workers.count(), 3u);
  std::vector<uint32_t> model(kWords, kFillWord);
  std::vector<SubtractiveRandom> expected;
  for (uint32_t k = 0; k < 3; ++k) {
    const Worker& w = run.workers[k];
    EXPECT_EQ((Slice{w.firstWord, w.endWord}), sliceOf(kWords, 3, k));
    SubtractiveRandom g = generatorOf(k);
    for (uint32_t op = 0; op < w.opsPerCycle; ++op) {
      const uint64_t index = w.firstWord + nextRandom(g) % (w.endWord - w.firstWord);
      model[index] = nextRandom(g);
    }
    expected.push_back(g);
  }
  EXPECT_NE(std::memcmp(&expected[1], &expected[2], sizeof expected[1]), 0);

  std::vector<std::thread> running;
  for (uint32_t k = 0; k < 2; ++k) running.emplace_back([this, k] { runCycle(run.workers[k]); });
  for (std::thread& t : running) t.join();
  EXPECT_EQ(run.cycles.load(), 0u) << "two of three shares are no whole cycle";
  runCycle(run.workers[2]);
  EXPECT_EQ(run.cycles.load(), 1u);

  uint64_t wrong = 0;
  for (uint64_t i = 0; i < kWords; ++i)
    wrong += run.bufferA.at(i) != model[i] || run.bufferB.at(i) != model[i];
  EXPECT_EQ(wrong, 0u);
  for (uint32_t k = 0; k < 3; ++k)
    EXPECT_EQ(std::memcmp(&run.workers[k].generator, &expected[k], sizeof expected[k]), 0) << k;
  EXPECT_FALSE(run.errorSeen.load());
}

// A flip in the first and in the last word of each slice: the sweep of that
// worker finds it, and only that worker's, and its record names the worker
// and holds the pair as compared; the report shows that record.
TEST_F(WorkersTest, FlipAtEitherEndOfEverySliceIsReportedWithItsWorker) {
  constexpr uint64_t kWords = 1000003;
  constexpr uint32_t kWorkers = 3;
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kWords * 8));
  setUpWorkers(run, kWorkers);
  run.settings.verbose = 1;
  ErrorDrain reader(run);
  for (uint32_t k = 0; k < kWorkers; ++k) {
    for (bool last : {false, true}) {
      SCOPED_TRACE("worker " + std::to_string(k) + (last ? " last word" : " first word"));
      Worker& w = run.workers[k];
      const uint64_t word = last ? w.endWord - 1 : w.firstWord;
      run.bufferB.at(word) = kFillWord ^ 8;
      // Every other worker's sweep passes it by.
      for (uint32_t other = 0; other < kWorkers; ++other)
        if (other != k) {
          ASSERT_TRUE(sweepSlice(run.workers[other]));
        }
      ASSERT_FALSE(run.errorSeen.load());
      ASSERT_TRUE(sweepSlice(w));
      ASSERT_TRUE(run.errorSeen.exchange(false));
      testing::OutputCapture output;
      {
        FailingPages pages;
        reportErrors(run, reader.drain(), pages);
      }
      const std::string text = output.text();
      char detail[96];
      std::snprintf(detail, sizeof detail, "[%016" PRIXPTR "]=%08x vs [%016" PRIXPTR "]=%08x, ",
                    reinterpret_cast<uintptr_t>(&run.bufferA.base[word]), kFillWord,
                    reinterpret_cast<uintptr_t>(&run.bufferB.base[word]), kFillWord ^ 8);
      EXPECT_NE(text.find(detail), std::string::npos) << text;
      EXPECT_NE(text.find("failing bits 00000008"), std::string::npos) << text;
      ErrorRecord record;
      uint32_t sequence;
      ASSERT_TRUE(w.errors.read(record, sequence));
      EXPECT_EQ(record.worker, k);
      EXPECT_EQ(record.kind, ErrorKind::sweep);
      EXPECT_EQ(record.addressB, reinterpret_cast<uintptr_t>(&run.bufferB.base[word]));
      EXPECT_EQ(record.comparedB, kFillWord ^ 8);
      EXPECT_EQ(run.bufferB.at(word), kFillWord);  // mended
    }
  }
}

// Three workers find 1, 2 and 3 mismatches before the monitor looks, worker
// 2 first and worker 1 last: one report, whose detail is the newest record
// (worker 1's last); the log holds every worker's record with the
// mismatches it counted, in the order found, and the run's count is exact.
// Nothing is new at the next look.
TEST_F(WorkersTest, EveryWorkersRecordAndCountReachTheLogAtOneLook) {
  constexpr uint64_t kWords = 100003;
  constexpr uint32_t kWorkers = 3;
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kWords * 8));
  setUpWorkers(run, kWorkers);
  run.settings.verbose = 1;
  run.settings.workers = kWorkers;
  char folder[] = "/tmp/kelvaring-drain-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string log = std::string(folder) + "/run.jsonl";
  std::string message;
  ASSERT_TRUE(openResultsLog(log, message)) << message;
  for (uint32_t k : {2u, 0u, 1u}) {
    for (uint32_t j = 0; j <= k; ++j) run.bufferB.at(run.workers[k].firstWord + 7 * j + 1) = 0x11111111 * (k + 1);
    ASSERT_TRUE(sweepSlice(run.workers[k]));
  }
  ErrorDrain drain(run);
  std::string text;
  {
    testing::OutputCapture output;
    {
      FailingPages pages;
      reportErrors(run, drain.drain(), pages);
    }
    text = output.text();
  }
  closeResultsLog();
  std::ifstream in(log);
  std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(log.c_str());
  rmdir(folder);
  EXPECT_EQ(run.errors, 1u);
  EXPECT_EQ(mismatchesFound(run), 6u);
  EXPECT_EQ(text.find("]=00000045 vs ["), text.rfind("]=00000045 vs [")) << "one detail line:\n" << text;
  EXPECT_NE(text.find("]=22222222, "), std::string::npos) << "worker 1's record:\n" << text;
  // Each record's worker and count, in the log's order.
  std::string order;
  const std::string key = "\"number\":1,\"cycles\":0,\"coverage\":0,\"kind\":\"sweep\",\"worker\":";
  for (size_t at = lines.find(key); at != std::string::npos; at = lines.find(key, at + 1))
    order += lines.substr(at + key.size(), lines.find(",\"virtual_a\"", at) - at - key.size()) + " ";
  EXPECT_EQ(order, "2,\"mismatches\":3 0,\"mismatches\":1 1,\"mismatches\":2 ") << lines;
  EXPECT_TRUE(drain.drain().records.empty());
}

// A writer publishing record after record while the reader reads: every
// record read is one of them whole, never fields of two, and its count
// never falls; every publication is counted, also one that gave way.
TEST(ErrorSlotTest, ReaderNeverSeesAMixOfTwoRecords) {
  ErrorSlot slot;
  std::atomic<uint32_t> stamps{0};
  std::atomic<bool> enough{false};
  // A second publisher makes publications give way now and then: each is
  // counted all the same.
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> gaveWay{0};
  std::thread rival([&] {
    while (!enough.load(std::memory_order_relaxed)) {
      ErrorRecord r;
      r.worker = 0;
      calls.fetch_add(1);
      gaveWay += !slot.publish(r, stamps);
    }
  });
  std::thread writer([&] {
    for (uint32_t i = 1; !enough.load(std::memory_order_relaxed); ++i) {
      ErrorRecord r;
      r.worker = i;
      r.addressA = i;
      r.addressB = uintptr_t{i} << 2;
      r.valueA = ~i;
      r.valueB = i * 3;
      r.comparedA = i ^ 0x5555;
      r.comparedB = i + 7;
      r.hardwareAddress = i;
      calls.fetch_add(1);
      gaveWay += !slot.publish(r, stamps);
    }
  });
  uint64_t reads = 0;
  uint64_t mixed = 0;
  uint32_t lastSequence = 0;
  uint32_t sequenceBackwards = 0;
  uint64_t lastFound = 0;
  uint32_t countsBackwards = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (reads < 2000000 && std::chrono::steady_clock::now() < end) {
    ErrorRecord r;
    uint32_t sequence;
    if (!slot.read(r, sequence) || sequence == 0 || r.worker == 0) continue;
    ++reads;
    countsBackwards += r.found < lastFound;
    lastFound = r.found;
    const uint32_t i = r.worker;
    mixed += r.addressA != i || r.addressB != uintptr_t{i} << 2 || r.valueA != ~i || r.valueB != i * 3 ||
             r.comparedA != (i ^ 0x5555) || r.comparedB != i + 7 || r.hardwareAddress != i;
    sequenceBackwards += sequence < lastSequence;
    lastSequence = sequence;
  }
  enough = true;
  writer.join();
  rival.join();
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(mixed, 0u);
  EXPECT_EQ(sequenceBackwards, 0u);
  EXPECT_EQ(countsBackwards, 0u);
  EXPECT_EQ(slot.found(), calls.load()) << gaveWay.load() << " gave way";
}

}  // namespace
}  // namespace kelvaring
