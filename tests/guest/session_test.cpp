// A guest session places the image, its archive's index and the two control words in guest
// memory, and every session places its own: archives opened one after another are each looked
// up in their own index.
#include "guest/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpu/bus.h"
#include "cpu/machine_state.h"
#include "guest/bridge.h"
#include "guest/guest_image.h"

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
    EXPECT_EQ(
        std::memcmp(machine.ramBase + kGuestCodeAddress, kGuestCodeImage, kGuestCodeImageSize), 0);
    EXPECT_EQ(std::memcmp(machine.ramBase + kGuestIndexAddress, index.data(), kArchiveIndexSize),
              0);
    EXPECT_EQ(loadLittle<uint32_t>(machine.ramBase + kGuestSectorBaseAddress), 500u);
    EXPECT_EQ(loadLittle<uint32_t>(machine.ramBase + kGuestIndexPointerAddress),
              kGuestIndexAddress);
    const EntryAnswers a = session->ask(0, 0);
    EXPECT_EQ(a.sector, 500);
    EXPECT_EQ(a.plain, 1);
    EXPECT_EQ(a.length, length);
    EXPECT_EQ(a.stored, length);
  }
}

}  // namespace
