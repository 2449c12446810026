// The guest call bridge: the calling convention, the step loop and the program loader; and the
// committed guest code image, which is what the assembly source assembles to. (That its routines
// return where the bridge stops them shows in the lookup tests' answers.)
#include "guest/bridge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "cpu/bus.h"
#include "cpu/machine_state.h"
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

}  // namespace
