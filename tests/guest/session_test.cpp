// A guest session places the image, its archive's index and the two control words in guest
// memory, and every session places its own: archives opened one after another are each looked
// up in their own index. Answers from the routines show all four in place.
#include "guest/session.h"

#include <gtest/gtest.h>

#include <vector>

#include "archive/format.h"

namespace {

// Category 0 only, with one plain entry of `length` bytes.
std::vector<uint8_t> oneEntryIndex(uint8_t length) {
  std::vector<uint8_t> index(kArchiveIndexSize);
  index[4] = 0;
  index[0x18] = 1;                // one entry,
  index[0x14] = 0x40;             // whose EntryWord is at 0x40:
  index[0x40] = length << 2 | 1;  // plain
  return index;
}

TEST(GuestSession, PlacesItsOwnIndexEveryTime) {
  for (const uint8_t length : {1, 7}) {
    const std::vector<uint8_t> index = oneEntryIndex(length);
    const auto session = GuestSession::open(index.data());
    ASSERT_TRUE(session);
    const EntryAnswers a = session->ask(0, 0);
    EXPECT_EQ(a.sector, 500);
    EXPECT_EQ(a.plain, 1);
    EXPECT_EQ(a.length, length);
    EXPECT_EQ(a.stored, length);
  }
}

}  // namespace
