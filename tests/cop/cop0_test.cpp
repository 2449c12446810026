// COP0: the moves and the Count register, Status under EI and DI, ERET without a delay slot, and
// the refusals with the value they print.
#include <cstdint>

#include "support/machine_fixture.h"

namespace r5900 {

namespace {

using Cop0Test = MachineTest;

// t0 is the value moved in, t1 receives what MF0 reads; the separate Count counter holds kCount.
// Entries are whole 64-bit values. Count reads come from the counter, writes go to the file. EI
// sets Status bit 16 and keeps the high word; DI clears bit 16 and the high word. TLBWI changes
// nothing. MF0 and MT0 move bits 63..0 of the general register only.
TEST_F(Cop0Test, MovesCountAndStatus) {
  constexpr uint64_t kCount = 0x8000000100000007;
  const struct {
    const char* source;
    uint64_t t0;
    uint32_t index;      // the COP0 register that is checked
    uint64_t entry, t1;  // its file entry, and t1, afterwards
  } cases[] = {{"mtc0 $t0, $14\n mfc0 $t1, $14", 0x8000000112345678, 14, 0x8000000112345678,
                0x8000000112345678},
               {"mtc0 $t0, $9\n mfc0 $t1, $9", 5, 9, 5, kCount},
               {"mtc0 $t0, $12\n ei\n mfc0 $t1, $12", 0xFFFFFFFF00000001, 12, 0xFFFFFFFF00010001,
                0xFFFFFFFF00010001},
               {"mtc0 $t0, $12\n di\n mfc0 $t1, $12", 0xFFFFFFFF0001FFFF, 12, 0xFFFF, 0xFFFF},
               {"mtc0 $t0, $2\n tlbwi\n mfc0 $t1, $2", 0x42, 2, 0x42, 0x42}};
  setUppers();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    for (uint64_t& entry : machine.cop0) entry = 0;
    machine.count = kCount;
    reg(8) = c.t0;
    runAsm(c.source);
    EXPECT_EQ(machine.cop0[c.index], c.entry);
    EXPECT_EQ(reg(9), c.t1);
    EXPECT_EQ(machine.count, kCount);
  }
  expectUppersKept();
}

// ERET jumps to the low word of EPC with no delay slot and leaves Status alone.
TEST_F(Cop0Test, EretHasNoDelaySlot) {
  loadAsm("eret\n addiu $t0, $t0, 1");
  loadAsm("addiu $t1, $t1, 1", 0x1000);
  machine.cop0[14] = 0xFFFFFFFF80001000;
  machine.cop0[12] = 0x12345678;
  runUntil(kCodeAddress, 0x80001004);
  EXPECT_EQ(reg(8), 0u);
  EXPECT_EQ(reg(9), 1u);
  EXPECT_EQ(machine.cop0[12], 0x12345678u);
}

// A refused rs (31) and CO funct (63), with all other fields set; MF0 and MT0 with
// something in bits 10..0 (GNU as takes no select field for the R5900), which the message prints.
TEST_F(Cop0Test, Refusals) {
  expectRefusedWord(0x43FFFFFF, "Unknown COP0 subOpcode 3E00000\n");
  expectRefusedWord(0x421FFFFF, "Unhandled CO opcode 3F\n");
  expectRefusedWord(0x401FF801, "Unhandled MF0 opcode 1\n");
  expectRefusedWord(0x40000400, "Unhandled MF0 opcode 400\n");
  expectRefusedWord(0x409FFFFF, "Unhandled MT0 opcode 7FF\n");
  expectRefusedWord(0x40800040, "Unhandled MT0 opcode 40\n");
}

}  // namespace

}  // namespace r5900
