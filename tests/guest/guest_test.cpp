// The guest call bridge, the committed guest code image, and the four lookup routines against an
// independent host model of the archive index (only the tests read the index on the host).
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "cpu/machine_state.h"
#include "guest/bridge.h"
#include "guest/guest_image.h"
#include "support/assembler.h"
#include "support/machine_fixture.h"

namespace {

using r5900::machine;

constexpr uint32_t kCode = 0x00200000;

void setUpOnce() {
  static const std::vector<uint8_t> empty(kArchiveIndexSize);
  if (machine.ramBase == nullptr) {
    ASSERT_TRUE(initMachine(empty.data()));
  }
}

// Places test code in RAM and returns its routine record: entry at kCode, the return address
// `returnOffset` bytes on.
GuestRoutine placeRoutine(const std::string& source, uint32_t returnOffset) {
  setUpOnce();
  const std::vector<uint8_t> code = assemble(source);
  std::memcpy(machine.ramBase + kCode, code.data(), code.size());
  return {kCode, kCode + returnOffset};
}

TEST(GuestBridge, CallingConvention) {
  const GuestRoutine routine = placeRoutine("daddu $v0, $a0, $a1\n daddu $v1, $sp, $zero", 8);
  machine.GPR[31].lower = 0x12345678;  // ra is left as it is
  machine.GPR[4].upper = 0xAAAA;       // so are the upper halves
  EXPECT_EQ(callGuestRoutine(routine, -1, -1), -2);
  EXPECT_EQ(machine.GPR[4].lower, ~0ULL);  // -1 arrives as 64 one bits
  EXPECT_EQ(machine.GPR[5].lower, ~0ULL);
  EXPECT_EQ(machine.GPR[2].lower, ~1ULL);
  EXPECT_EQ(machine.GPR[3].lower, 0x10000u);
  EXPECT_EQ(machine.GPR[31].lower, 0x12345678u);
  EXPECT_EQ(machine.GPR[4].upper, 0xAAAAu);
  EXPECT_EQ(machine.PC, routine.returnAddress);
  // The answer is the low word of v0, as a signed number.
  EXPECT_EQ(callGuestRoutine(routine, 0x7FFFFFFF, 1), INT32_MIN);
}

TEST(GuestBridge, RegisterZeroIsClearedBeforeEveryStep) {
  // The interpreter writes register 0 like any other.
  const GuestRoutine routine =
      placeRoutine("addiu $zero, $zero, 7\n addu $v0, $zero, $zero\n addiu $zero, $zero, 9", 12);
  machine.GPR[0].upper = 0x55;
  EXPECT_EQ(callGuestRoutine(routine, 0, 0), 0);
  EXPECT_EQ(machine.GPR[0].lower, 9u);     // the last write stays until the next step begins
  EXPECT_EQ(machine.GPR[0].upper, 0x55u);  // only the lower half is cleared
}

TEST(GuestBridge, ARoutineThatNeverReturnsStopsTheMachine) {
  const GuestRoutine routine = placeRoutine("loop: b loop\n nop\n", 16);
  expectFault([&] { callGuestRoutine(routine, 0, 0); },
              "Guest routine at 200000 did not return within 10000000 steps\n");
}

// Segments of type 1 that lie inside the image and inside RAM are copied; the others are not.
TEST(GuestBridge, ProgramLoaderCopiesLoadableSegmentsThatFit) {
  setUpOnce();
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  // 32-byte program headers: type, file offset, virtual and physical address, size. Loaded, not
  // loadable, past the image's end, past the end of RAM, loaded.
  const uint32_t table[5][8] = {{1, 0x10, 0, 0x00300000, 0x20},
                                {2, 0x00, 0, 0x00300100, 0x10},
                                {1, 0xF0, 0, 0x00300200, 0x20},
                                {1, 0x00, 0, 0x01FFFFF8, 0x10},
                                {1, 0x40, 0, 0x00300300, 0x08}};
  std::memset(machine.ramBase + 0x00300000, 0xEE, 0x400);
  attachedProgram = {image.data(), static_cast<uint32_t>(image.size()),
                     reinterpret_cast<const uint8_t*>(table), 5};
  EXPECT_EQ(copyProgramToMemory(), 2);
  EXPECT_EQ(std::memcmp(machine.ramBase + 0x00300000, image.data() + 0x10, 0x20), 0);
  EXPECT_EQ(std::memcmp(machine.ramBase + 0x00300300, image.data() + 0x40, 0x08), 0);
  EXPECT_EQ(machine.ramBase[0x00300100], 0xEE);
  EXPECT_EQ(machine.ramBase[0x00300200], 0xEE);
  attachedProgram = {};
  EXPECT_EQ(copyProgramToMemory(), 0);
}

TEST(GuestImage, IsTheAssembledSource) {
  std::ifstream in(std::string(PROJECT_SOURCE_DIR) + "/src/guest/lookup_routines.s");
  ASSERT_TRUE(in) << "cannot read the assembly source";
  std::stringstream source;
  source << in.rdbuf();
  const std::vector<uint8_t> bytes = assemble(source.str());
  ASSERT_EQ(bytes.size(), kGuestCodeImageSize);
  EXPECT_EQ(std::memcmp(bytes.data(), kGuestCodeImage, kGuestCodeImageSize), 0)
      << "src/guest/guest_image.cpp is stale: run scripts/assemble-guest-image";
}

struct IndexModel {
  const std::vector<uint8_t>& index;

  uint32_t byte(uint32_t offset) const { return index.at(offset); }
  uint32_t half(uint32_t offset) const { return byte(offset) | byte(offset + 1) << 8; }
  uint32_t triple(uint32_t offset) const { return half(offset) | byte(offset + 2) << 16; }
  uint32_t word(uint32_t offset) const { return triple(offset) | byte(offset + 3) << 24; }

  static constexpr uint32_t kNoData = 0x3FFFFFFF;

  // The CategoryRecord of c at 0x10 + 10c: group table, entry table, entry count.
  uint32_t record(int32_t c) const { return 0x10 + 10 * static_cast<uint32_t>(c); }
  bool exists(int32_t c, int32_t e) const {
    return c <= static_cast<int32_t>(byte(4)) && e < static_cast<int32_t>(half(record(c) + 8));
  }
  uint32_t entryWord(int32_t c, int32_t e) const {
    return word(word(record(c) + 4) + 4 * static_cast<uint32_t>(e));
  }

  int32_t isPlain(int32_t c, int32_t e) const { return exists(c, e) ? entryWord(c, e) & 1 : 0; }

  // A plain entry's length (-1: no data), or a compressed one's expanded or stored length.
  int32_t length(int32_t c, int32_t e, bool stored = false) const {
    if (!exists(c, e)) return 0;
    const uint32_t w = entryWord(c, e);
    if ((w & 1) == 0) return static_cast<int32_t>(stored ? sectors(w) * 2048 : (w >> 14) * 64);
    return (w >> 2) == kNoData ? -1 : static_cast<int32_t>(w >> 2);
  }
  // Sectors an entry occupies: plain lengths rounded up to whole 2048-byte sectors, entries
  // without data none, compressed entries their stored sector count.
  uint32_t sectors(uint32_t w) const {
    if ((w & 1) == 0) return (w >> 1) & 0x1FFF;
    const uint32_t length = w >> 2;
    return length == kNoData ? 0 : (length + 2047) / 2048;
  }
  int32_t sector(int32_t c, int32_t e) const {
    if (!exists(c, e)) return 0;
    const uint32_t group = static_cast<uint32_t>(e) / 16;
    uint32_t start = triple(word(record(c)) + 3 * group) >> 2;
    for (int32_t k = static_cast<int32_t>(group * 16); k < e; ++k) {
      start += sectors(entryWord(c, k));
    }
    return static_cast<int32_t>(500 + start);
  }
};

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

// sector, plain, length, stored
using Answers = std::array<int32_t, 4>;
Answers guestAnswers(int32_t c, int32_t e) {
  return {queryEntrySector(c, e), queryEntryIsPlain(c, e), queryEntryLength(c, e),
          queryEntryStoredLength(c, e)};
}
Answers modelAnswers(const IndexModel& model, int32_t c, int32_t e) {
  return {model.sector(c, e), model.isPlain(c, e), model.length(c, e), model.length(c, e, true)};
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
