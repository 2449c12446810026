// The four lookup routines, run on the interpreter, against an independent model of the index.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "cpu/machine_state.h"
#include "guest/bridge.h"
#include "index_model.h"

namespace {

using r5900::machine;

class LookupTest : public ::testing::Test {
 protected:
  // Thousands of indexes: each goes straight into guest memory, which a session would copy.
  void SetUp() override {
    static const std::vector<uint8_t> empty(kArchiveIndexSize);
    ASSERT_TRUE(initMachine(empty.data()));
  }
  static void useIndex(const std::vector<uint8_t>& index) {
    std::memcpy(machine.ramBase + kGuestIndexAddress, index.data(), kArchiveIndexSize);
  }
};

struct Answers {
  int32_t sector, plain, length, stored;
  bool operator==(const Answers&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Answers& a) {
  return out << "{sector " << a.sector << ", plain " << a.plain << ", length " << a.length
             << ", stored " << a.stored << "}";
}
Answers guestAnswers(int32_t c, int32_t e) {
  return {queryEntrySector(c, e), queryEntryIsPlain(c, e), queryEntryLength(c, e),
          queryEntryStoredLength(c, e)};
}
Answers modelAnswers(const IndexModel& model, int32_t c, int32_t e) {
  return {model.sector(c, e), model.isPlain(c, e), model.length(c, e), model.storedLength(c, e)};
}

void putWord(std::vector<uint8_t>& index, uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) index.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}
void putRecord(std::vector<uint8_t>& index, int c, uint32_t groups, uint32_t entries,
               uint32_t count) {
  const uint32_t record = 0x10 + 10 * c;
  putWord(index, record, groups);
  putWord(index, record + 4, entries);
  index.at(record + 8) = static_cast<uint8_t>(count);
  index.at(record + 9) = static_cast<uint8_t>(count >> 8);
}

uint32_t randomEntryWord(std::mt19937& rng) {
  switch (rng() % 6) {
    case 0: return 0xFFFFFFFD | (rng() & 2);                 // plain, no data
    case 1: return ((rng() % 5000) << 2) | 1 | (rng() & 2);  // plain, short
    case 2: return ((rng() & 0x3FFFFFFF) << 2) | 1;          // plain, up to 30 bits
    case 3: return (rng() & ~0x3FFFU) | (rng() % 4 << 1);    // compressed, 0-3 sectors
    default: return rng() & ~1U;                             // compressed, any
  }
}

// A random index: garbage everywhere the format does not define, a random highest category, and
// for each category up to 36 (or the highest) a record with its tables, counts from 0 into the
// thousands so that the count's high byte matters.
std::vector<uint8_t> randomIndex(std::mt19937& rng) {
  std::vector<uint8_t> index(kArchiveIndexSize);
  for (uint8_t& b : index) b = static_cast<uint8_t>(rng());
  const int highest = static_cast<int>(rng() % 41);
  index[4] = static_cast<uint8_t>(highest);
  uint32_t free = 0x200;
  for (int c = 0; c <= std::min(highest, 36); ++c) {
    uint32_t count = 0;
    switch (rng() % 4) {
      case 0: count = rng() % 3; break;
      case 1: count = rng() % 40; break;
      default: count = rng() % 3000; break;
    }
    const uint32_t room = free + 64 < kArchiveIndexSize ? (kArchiveIndexSize - free - 64) / 5 : 0;
    count = std::min(count, room);
    const uint32_t groups = free + rng() % 4;  // the group table needs no alignment
    free = (groups + 3 * ((count + 15) / 16) + 3) & ~3U;
    const uint32_t entries = free;
    free += 4 * count;
    putRecord(index, c, groups, entries, count);
    for (uint32_t e = 0; e < count; ++e) putWord(index, entries + 4 * e, randomEntryWord(rng));
  }
  return index;
}

TEST_F(LookupTest, AgreesWithTheIndexModelOnRandomIndexes) {
  const char* seedText = std::getenv("LOOKUP_SEED");
  const uint32_t seed = seedText != nullptr ? std::strtoul(seedText, nullptr, 0) : 20261207;
  const int indexes = 2000;
  std::mt19937 rng(seed);
  for (int i = 0; i < indexes; ++i) {
    const std::vector<uint8_t> index = randomIndex(rng);
    useIndex(index);
    const IndexModel model{index};
    for (int32_t c = 0; c <= 36; ++c) {
      const int32_t count =
          c <= index[4] ? static_cast<int32_t>(model.half(model.record(c) + 8)) : 5;
      std::set<int32_t> entries = {0, 1, 15, 16, 17, 31, 32, count - 1, count, count + 1};
      for (int k = 0; k < 3 && count > 0; ++k) entries.insert(static_cast<int32_t>(rng() % count));
      for (int32_t e : entries) {
        if (e < 0) continue;
        ASSERT_EQ(guestAnswers(c, e), modelAnswers(model, c, e))
            << "category " << c << ", entry " << e << ", index " << i << ", seed " << seed
            << " (rerun with LOOKUP_SEED)";
      }
    }
  }
}

}  // namespace
