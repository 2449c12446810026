// The instruction step and the primary opcode map: CACHE, loads and stores with their extensions
// and byte orders, ADDI, the control flow of every map (REGIMM's branches and SPECIAL's register
// jumps included), and the refusals of the step. What behaves exactly as on MIPS64 is left to the
// differential test against qemu.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cpu/disassemble.h"
#include "support/machine_fixture.h"

namespace r5900 {

namespace {

constexpr uint32_t kData = 0x300;                 // RAM offset of test data, 8-byte aligned
constexpr uint64_t kBefore = 0xC7C6C5C4C3C2C1C0;  // a destination's value before the instruction
constexpr const char* kRegisters = "Error: trying to directly access the registers memory !\n";

// Only LQ writes bits 127..64 of a general register.
class PrimaryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    setUppers();
  }
  // Bytes with bit 7 set, unique within 128 bytes: a wrong extension or a misplaced byte shows.
  // From kData on they count up from 0x80.
  static void fillPattern() {
    for (uint32_t o = kData - 0x20; o < kData + 0x40; ++o) *ram(o) = 0x80 | (o & 0x7F);
  }
};

// CACHE changes nothing but PC (there are no caches); VF0 is reset by every step.
TEST_F(PrimaryTest, CacheOnlyAdvancesPc) {
  loadAsm("cache 0x18, 0x40($a0)");
  machine.PC = kCodeAddress;
  for (uint32_t i = 1; i < 32; ++i) reg(i) = i * 0x0101010101010101;
  reg(4) = kData;
  machine.VF[0][0] = machine.VF[0][3] = 0x40000000;
  auto expected = std::make_unique<MachineState>();
  std::memcpy(expected.get(), &machine, sizeof machine);
  expected->PC += 4;
  expected->VF[0][0] = 0;
  expected->VF[0][3] = 0x3F800000;
  step();
  EXPECT_EQ(std::memcmp(expected.get(), &machine, sizeof machine), 0);
  EXPECT_EQ(ramWord(kData + 0x40), 0u);
}

// Short sequences on t0. a0 points at the pattern with garbage in its bits 63..32: the address
// is the low word plus the offset, and any alignment is accepted. ADDI never traps: it is ADDIU,
// the 32-bit sum of the low word, sign-extended. LD reads all 64 bits, so a doubleword survives
// SD and LD.
TEST_F(PrimaryTest, ValuesInT0) {
  const struct {
    const char* source;
    uint64_t before, after;
  } cases[] = {
      {"addi  $t0, $t0, 1", 0x7FFFFFFF, 0xFFFFFFFF80000000},
      {"addiu $t0, $t0, -1", 0x1234567800000000, 0xFFFFFFFFFFFFFFFF},
      {"lw    $t0, 3($a0)", 0, 0xFFFFFFFF86858483},
      {"ld    $t0, 5($a0)", 0, 0x8C8B8A8988878685},
      {"sd    $t0, 3($a0)\n ld $t0, 3($a0)", 0x0000000180000000, 0x0000000180000000},
  };
  fillPattern();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    reg(4) = 0x1234567800000000 | kData;
    reg(8) = c.before;
    runAsm(c.source);
    EXPECT_EQ(reg(8), c.after);
  }
  expectUppersKept();
}

// Each unaligned access against a byte model: the left forms move the bytes from EA down to the
// start of the aligned unit into the register's top bytes, the right forms those from EA up to
// its end into the bottom bytes. The word loads zero-extend their 32-bit result.
TEST_F(PrimaryTest, UnalignedAccessesMatchTheByteModelForEveryOffset) {
  constexpr uint32_t kFrom = kData - 0x20;
  for (const std::string m : {"lwl", "lwr", "swl", "swr", "ldl", "ldr", "sdl", "sdr"}) {
    const uint32_t width = m[1] == 'w' ? 4 : 8;
    const bool store = m[0] == 's', left = m[2] == 'l';
    for (uint32_t k = 0; k < width; ++k) {
      SCOPED_TRACE(testing::Message() << m << " k=" << k);
      fillPattern();
      const uint32_t ea = kData + k;
      uint8_t regBytes[8];
      std::memcpy(regBytes, &kBefore, 8);
      uint8_t memBytes[0x60];
      std::memcpy(memBytes, ram(kFrom), sizeof memBytes);
      for (uint32_t i = 0; i < (left ? k + 1 : width - k); ++i) {
        uint8_t& regByte = regBytes[left ? width - 1 - i : i];
        uint8_t& memByte = memBytes[(left ? ea - i : ea + i) - kFrom];
        (store ? memByte : regByte) = store ? regByte : memByte;
      }
      uint64_t expected = store ? kBefore : 0;
      if (!store) std::memcpy(&expected, regBytes, width);
      reg(4) = ea;
      reg(9) = kBefore;
      runAsm(m + " $t1, 0($a0)");
      EXPECT_EQ(reg(9), expected);
      EXPECT_EQ(std::memcmp(ram(kFrom), memBytes, sizeof memBytes), 0);
    }
  }
  expectUppersKept();
}

// Quadword memory is little-endian while a register keeps its upper half first: LQ and SQ
// exchange the halves, and EA is not rounded down to a multiple of 16. The coprocessor loads and
// stores move raw bits; a VF register maps to memory without exchange, bytes 0-3 being x.
TEST_F(PrimaryTest, QuadwordAndCoprocessorAccesses) {
  fillPattern();
  const uint32_t signallingNan = 0xFF800001;
  std::memcpy(ram(kData + 0x40), &signallingNan, 4);
  reg(4) = kData;
  runAsm(
      "lq $t1, 0($a0)\n sq $t1, 0x20($a0)\n lq $t2, 1($a0)\n lqc2 $vf5, 0($a0)\n"
      " sqc2 $vf5, 0x30($a0)\n lwc1 $f3, 0x40($a0)\n swc1 $f3, 0x44($a0)");
  EXPECT_EQ(reg(9), 0x8786858483828180u);
  EXPECT_EQ(upper(9), 0x8F8E8D8C8B8A8988u);
  EXPECT_EQ(std::memcmp(ram(kData + 0x20), ram(kData), 16), 0);
  EXPECT_EQ(reg(10), 0x8887868584838281u);
  EXPECT_EQ(upper(10), 0x908F8E8D8C8B8A89u);
  const uint32_t vf[4] = {0x83828180, 0x87868584, 0x8B8A8988, 0x8F8E8D8C};
  EXPECT_EQ(std::memcmp(machine.VF[5], vf, 16), 0);
  EXPECT_EQ(std::memcmp(ram(kData + 0x30), ram(kData), 16), 0);
  EXPECT_EQ(machine.FPR[3], signallingNan);
  EXPECT_EQ(ramWord(kData + 0x44), signallingNan);
}

// Conditional branches compare all 64 bits, and evaluate the condition before the delay slot
// (which adds 1 to t0, an operand) runs. Offsets reach backwards and as far as 0x7FFF words.
// Everything else about them is the differential test's.
TEST_F(PrimaryTest, ConditionalBranches) {
  const struct {
    const char* branch;
    uint64_t t0, t1;
    int32_t pcAfter;  // from the branch; 4 when not taken, the slot still to come
  } cases[] = {{"beq   $t0, $t1, 1f", 0x100000005, 5, 4},
               {"bne   $t0, $t1, 1f", 0x100000005, 5, 12},
               {"bnel  $t0, $t1, . - 60", 5, 6, -60},
               {"beql  $t0, $t1, . + 4 + 0x8000", 5, 5, 4 + 0x8000},
               {"bgez  $t0, .", 0, 0, 0}};
  const uint32_t at = kCodeAddress + 0x100;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.branch << " t0=" << std::hex << c.t0);
    loadAsm(std::string(c.branch) + "\n daddiu $t0, $t0, 1\n nop\n1: nop", at);
    reg(8) = c.t0;
    reg(9) = c.t1;
    machine.PC = at;
    step();
    EXPECT_EQ(machine.PC, at + c.pcAfter);
    EXPECT_EQ(reg(8), c.pcAfter == 4 ? c.t0 : c.t0 + 1);
  }
  expectUppersKept();
}

// Code runs from RAM's mirror at 0x80000000. Every jump runs its delay slot first; J and JAL take
// the top four bits of the target from the slot's address. JAL and JALR then link (the slot saw
// the old ra) with the PC the slot left, sign-extended, and JALR reads rs only after that, so
// with rd == rs (a word: the assembler refuses it) it jumps to its own return address. A jump in a
// branch's delay slot runs in full, its own slot included, and the branch then applies its offset
// to the PC the jump left.
TEST_F(PrimaryTest, Jumps) {
  constexpr uint32_t kAt = 0x80001000;
  constexpr uint64_t kRa = 0x123456789ABCDEF0, kLink = 0xFFFFFFFF80001008;
  const struct {
    const char* source;
    uint64_t t0;
    uint32_t pc;
    uint64_t t0After, t1, ra;
  } cases[] = {
      {"j    0x1100\n or $t1, $ra, $zero", 0, 0x80001100, 0, kRa, kRa},
      {"jal  0x1100\n or $t1, $ra, $zero", 0, 0x80001100, 0, kRa, kLink},
      {"jr   $t0\n daddiu $t0, $t0, 8", 0xFFFFFFFF80002000, 0x80002008, 0xFFFFFFFF80002008, 0, kRa},
      {"jalr $t0\n or $t1, $ra, $zero", 0x80001100, 0x80001100, 0x80001100, kRa, kLink},
      {".word 0x01004009  # jalr $t0, $t0\n nop", 0, 0x80001008, kLink, 0, kRa},
      {"beq $zero, $zero, 1f\n j 0x1010\n or $t1, $ra, $zero\n1: nop\n nop", 0, 0x80001014, 0, kRa,
       kRa}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    loadAsm(c.source, kAt);
    reg(8) = c.t0;
    reg(9) = 0;
    reg(31) = kRa;
    machine.PC = kAt;
    step();
    EXPECT_EQ(machine.PC, c.pc);
    EXPECT_EQ(reg(8), c.t0After);
    EXPECT_EQ(reg(9), c.t1);
    EXPECT_EQ(reg(31), c.ra);
  }
  expectUppersKept();
}

// The primary switch and the primary list agree: each opcode the list names runs (the other fields
// zero, or picking QMFC2 and MFHI1); any other is refused whatever its other fields hold, and the
// message keeps only the opcode field. SQC2 and the doubleword unaligned forms reach memory
// directly, not through the register stubs, so the register window refuses them; SQ goes through
// the stubs, and the VIF0 FIFO drops it.
TEST_F(PrimaryTest, Refusals) {
  for (uint32_t opcode = 0; opcode < 64; ++opcode) {
    const uint32_t word = opcode << 26 | (opcode == 0x12 ? 1 << 21 : 0) | (opcode == 0x1C ? 16 : 0);
    if (disassemble(word, 0).starts_with(".word")) {
      expectRefusedWord(word | 0x03FFFFFF, printed("Unknown opcode family %X!\n", word));
      continue;
    }
    storeLittle(ram(kCodeAddress), word);
    machine.PC = kCodeAddress;
    EXPECT_NO_THROW(step()) << opcode;
  }
  const struct {
    const char* source;
    uint32_t a0;
    const char* line;
  } cases[] = {{"sqc2 $vf1, 0($a0)", 0x10004000, kRegisters},
               {"ldl $t1, 0($a0)", 0x1000F527, kRegisters},
               {"ldr $t1, 0($a0)", 0x1000F520, kRegisters},
               {"sdl $t1, 0($a0)", 0xB000F523, kRegisters},
               {"sq $t1, 0($a0)", 0x10004000, ""}};
  for (const auto& c : cases) {
    reg(4) = c.a0;
    expectRefused(c.source, c.line);
  }
  // Branches chained through their delay slots, 64 K deep, before the host stack runs out.
  std::string chain;
  for (int i = 0; i < 65536; ++i) chain += "beq $zero, $zero, . + 8\n";
  expectRefused(chain, "Branches nested in delay slots too deep\n");
}

}  // namespace

}  // namespace r5900
