// The monitor's look at what the finders published: every worker's slot
// and the ring of hardware memory errors, drained into one event.
#pragma once

#include <cstdint>
#include <vector>

#include "kelvaring/state.h"

namespace kelvaring {

// A record and the mismatches its finder counted since its previous record
// (this one included): with the slot's, those whose publication gave way.
struct FoundRecord {
  ErrorRecord record;
  uint64_t mismatches = 1;
};

// What one look found: every record published since the previous look, in
// the order of publication. Empty when nothing new and whole could be read:
// a record still being written is taken at the next look.
struct FoundErrors {
  std::vector<FoundRecord> records;
  // Hardware memory errors whose entries were reused before a look read
  // them; they are counted by mismatchesFound all the same.
  uint64_t lost = 0;
  const ErrorRecord& newest() const { return records.back().record; }
};

class ErrorDrain {
 public:
  explicit ErrorDrain(TestRun& run) : run_(run) {}
  // Lowers errorSeen, then reads every slot and the ring. Main thread only.
  FoundErrors drain();

 private:
  void drainSlots(FoundErrors& found);
  void drainRing(FoundErrors& found);

  TestRun& run_;
  std::vector<uint32_t> sequences_;  // each slot's sequence when last read
  std::vector<uint64_t> counted_;    // each slot's count in its last record read
  uint64_t nextTicket_ = 0;          // the first hardware memory error not yet read
};

}  // namespace kelvaring
