// The set-up happens at the first guest call of a process, whichever query it is, and never
// again. This test must run in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cpu/bus.h"
#include "cpu/machine_state.h"
#include "guest/bridge.h"
#include "guest/guest_image.h"

TEST(GuestBridgeSetUp, FirstQueryInitialisesAndLaterOnesDoNot) {
  ASSERT_FALSE(machineInitialised());
  std::vector<uint8_t> index(kArchiveIndexSize);
  index[4] = 0;        // category 0 only
  index[0x18] = 1;     // with one entry,
  index[0x14] = 0x40;  // whose EntryWord is at 0x40:
  index[0x40] = 0x05;  // plain, 1 byte
  hostIndexBuffer = index.data();

  EXPECT_EQ(queryEntryLength(0, 0), 1);
  ASSERT_TRUE(machineInitialised());
  EXPECT_EQ(std::memcmp(machine.ramBase + kGuestCodeAddress, kGuestCodeImage, kGuestCodeImageSize),
            0);
  EXPECT_EQ(std::memcmp(machine.ramBase + kGuestIndexAddress, index.data(), kArchiveIndexSize), 0);
  EXPECT_EQ(loadLittle<uint32_t>(machine.ramBase + kGuestSectorBaseAddress), 500u);
  EXPECT_EQ(loadLittle<uint32_t>(machine.ramBase + kGuestIndexPointerAddress), kGuestIndexAddress);

  // The guest keeps the copy it took: a later change to the host buffer does not reach it.
  index[0x40] = 0x09;
  EXPECT_EQ(queryEntryStoredLength(0, 0), 1);
  EXPECT_EQ(queryEntryIsPlain(0, 0), 1);
  EXPECT_EQ(queryEntrySector(0, 0), 500 + 0);
}
