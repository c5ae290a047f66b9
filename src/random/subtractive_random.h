// The subtractive pseudo-random generator that chooses the word indexes and
// the written values of the test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "kelvaring/text.h"
#include "random/remainder.h"

namespace kelvaring {

// "aEbFcGdHeI", the time in decimal, a space and the notice, padded with
// "K$" until it holds at least 98 characters. For worker k > 0 of a run of
// several, "#" and k in decimal come after the notice, before the padding:
// each worker draws a stream of its own.
Text buildSeedText(uint32_t seconds, std::string_view notice, uint32_t worker = 0);

// Sets slots 1..97 from characters 1..97 of the seed text.
void fillSlots(SubtractiveRandom& g, const Text& seedText);

// Mixes the filled slots; leaves the indexes and lastOutput alone.
void warmUp(SubtractiveRandom& g);

// Fills and warms up `g` from the seed text built from `seconds` and
// `notice`. Nothing of the previous state survives.
void seedGenerator(SubtractiveRandom& g, uint32_t seconds, std::string_view notice);


// Seeds the generator of worker k > 0 from the seed text of `seconds` with
// k folded in (buildSeedText).
void seedWorkerGenerator(SubtractiveRandom& g, uint32_t seconds, uint32_t worker);

// lastOutput mod 42 by multiplication: it lies on the chain from one draw
// to the next, where a shorter latency makes every draw faster.
inline constexpr RemainderBy kShuffleRemainder{42};

// Must not be called before seeding. Calls nothing, allocates nothing.
inline uint32_t nextRandom(SubtractiveRandom& g) {
  uint32_t x = g.slots[g.writeIndex] - g.slots[g.subtractIndex];
  g.slots[g.writeIndex] = x;
  if (--g.writeIndex == 0) g.writeIndex = 55;
  if (--g.subtractIndex == 0) g.subtractIndex = 55;
  uint32_t p = 55 + kShuffleRemainder(g.lastOutput);
  uint32_t r = g.slots[p];
  g.lastOutput = r;
  g.slots[p] = x;
  return r;
}

// The same generator in a form for long runs of draws, such as a test
// cycle. In nextRandom each draw waits for the one before it twice: for the
// load of its result and then for that result's remainder by 42, which
// picks the next shuffle slot. Here every word is stored with the shuffle
// slot it would pick, worked out beside the chain, so a draw waits for one
// load only. The draws and the state written back are those of nextRandom.
class SubtractiveStream {
 public:
  explicit SubtractiveStream(const SubtractiveRandom& g)
      : writeIndex_(g.writeIndex),
        subtractIndex_(g.subtractIndex),
        lastOutput_(g.lastOutput),
        nextSlot_(shuffleSlot(g.lastOutput)) {
    std::copy(std::begin(g.slots), std::end(g.slots), slots_);
    for (uint32_t i = 1; i < kChosen; ++i) chosenSlot_[i] = shuffleSlot(slots_[i]);
  }

  uint32_t next() {
    const int32_t w = writeIndex_;
    const uint32_t x = slots_[w] - slots_[subtractIndex_];
    const uint8_t xPicks = shuffleSlot(x);
    slots_[w] = x;
    chosenSlot_[w] = xPicks;
    if (--writeIndex_ == 0) writeIndex_ = 55;
    if (--subtractIndex_ == 0) subtractIndex_ = 55;
    const uint32_t p = nextSlot_;
    const uint32_t r = slots_[p];
    nextSlot_ = chosenSlot_[p];
    slots_[p] = x;
    chosenSlot_[p] = xPicks;
    lastOutput_ = r;
    return r;
  }

  // Field by field: each index goes from where it is kept straight back.
  void writeBack(SubtractiveRandom& g) const {
    std::copy(std::begin(slots_), std::end(slots_), g.slots);
    g.writeIndex = writeIndex_;
    g.subtractIndex = subtractIndex_;
    g.lastOutput = lastOutput_;
  }

 private:
  // Slots 1 to 96: every slot a draw writes (97 is written only in seeding).
  static constexpr uint32_t kChosen = 97;
  static uint8_t shuffleSlot(uint32_t word) { return static_cast<uint8_t>(55 + kShuffleRemainder(word)); }

  uint32_t slots_[98];
  int32_t writeIndex_;
  int32_t subtractIndex_;
  uint32_t lastOutput_;
  uint32_t nextSlot_;
  uint8_t chosenSlot_[kChosen];
};

}  // namespace kelvaring
