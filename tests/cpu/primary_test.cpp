// The instruction step and the primary opcode map: the no-op word, loads and stores with their
// extensions and byte orders, immediate arithmetic, branches and jumps with their delay slots,
// and the refusals of the step and of the coprocessor and MMI handlers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cpu/step.h"
#include "support/machine_fixture.h"

namespace {

constexpr uint64_t kUpperSentinel = 0xA5A5A5A500000000;
constexpr uint32_t kData = 0x300;  // RAM offset of test data, 8-byte aligned
constexpr uint64_t kRegisterBefore = 0xC7C6C5C4C3C2C1C0;
constexpr const char* kRegistersMessage =
    "Error: trying to directly access the registers memory !\n";

struct SourceCase {
  const char* source;
  uint64_t input;
  uint64_t expected;
};

class PrimaryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (uint32_t i = 0; i < 32; ++i) upper(i) = kUpperSentinel + i;
  }
  // Only LQ writes bits 127..64 of a general register.
  static void expectUppersKept() {
    for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(upper(i), kUpperSentinel + i) << "register " << i;
  }
  // Bytes with bit 7 set, unique within 128 bytes: a wrong extension or a misplaced byte shows.
  static uint8_t pattern(uint32_t offset) { return 0x80 | (offset & 0x7F); }
  static void fillPattern() {
    for (uint32_t o = kData - 0x20; o < kData + 0x40; ++o) *ram(o) = pattern(o);
  }
  static void fillCounting(uint32_t first) {
    for (uint32_t i = 0; i < 17; ++i) *ram(kData + i) = static_cast<uint8_t>(first + i);
  }
  static ChildResult stepInChild() {
    machine.PC = kCodeAddress;
    return runInChild([] { step(); });
  }
};

// The all-zero word and CACHE both change nothing but PC; VF0 is reset by every step.
TEST_F(PrimaryTest, ZeroWordAndCacheOnlyAdvancePc) {
  for (const char* source : {".word 0", "cache 0x18, 0x40($a0)"}) {
    SCOPED_TRACE(source);
    loadAsm(source);
    machine.PC = kCodeAddress;
    for (uint32_t i = 1; i < 32; ++i) reg(i) = i * 0x0101010101010101;
    reg(4) = kData;
    machine.HI.lower = 5;
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
}

// a0 carries garbage in bits 63..32: the address is its low word plus the offset.
TEST_F(PrimaryTest, LoadsExtendAsTheirWidthAndSignednessSay) {
  const uint8_t bytes[16] = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
                             0x7F, 0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x06};
  const SourceCase cases[] = {
      {"lb  $t1, -16($a0)", 0, 0xFFFFFFFFFFFFFF80}, {"lbu $t1, -16($a0)", 0, 0x80},
      {"lh  $t1, -16($a0)", 0, 0xFFFFFFFFFFFF8180}, {"lhu $t1, -16($a0)", 0, 0x8180},
      {"lw  $t1, -16($a0)", 0, 0xFFFFFFFF83828180}, {"lwu $t1, -16($a0)", 0, 0x83828180},
      {"lw  $t1, -13($a0)", 0, 0xFFFFFFFF86858483}, {"lw  $t1, -8($a0)", 0, 0x7271707F},
      {"ld  $t1, -16($a0)", 0, 0x8786858483828180}, {"ld  $t1, -11($a0)", 0, 0x737271707F878685}};
  std::memcpy(ram(kData), bytes, sizeof bytes);
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.source);
    reg(4) = 0x1234567800000000 | (kData + 16);
    reg(9) = kRegisterBefore;
    runAsm(c.source);
    EXPECT_EQ(reg(9), c.expected);
  }
  expectUppersKept();
}

TEST_F(PrimaryTest, ImmediateArithmetic) {
  const SourceCase cases[] = {
      // ADDI never traps: it is ADDIU, a 32-bit sum of the low word, sign-extended.
      {"addiu  $t1, $t0, 1", 0x7FFFFFFF, 0xFFFFFFFF80000000},
      {"addi   $t1, $t0, 1", 0x7FFFFFFF, 0xFFFFFFFF80000000},
      {"addiu  $t1, $t0, -1", 0x1234567800000000, 0xFFFFFFFFFFFFFFFF},
      // The immediate of SLTI and SLTIU is sign-extended; SLTIU then compares unsigned.
      {"sltiu  $t1, $t0, -1", 0x10000, 1},
      {"slti   $t1, $t0, 5", 0xFFFFFFFFFFFFFFFF, 1},
      {"sltiu  $t1, $t0, 5", 0xFFFFFFFFFFFFFFFF, 0},
      {"slti   $t1, $t0, 0", 0x0000000080000000, 0},
      // The logical immediates are zero-extended.
      {"andi   $t1, $t0, 0xFFFF", 0xFFFFFFFFFFFFFFFF, 0xFFFF},
      {"ori    $t1, $t0, 0x8000", 0xF000000000000001, 0xF000000000008001},
      {"xori   $t1, $t0, 0x8000", 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFF7FFF},
      {"lui    $t1, 0x8000", 0, 0xFFFFFFFF80000000},
      {"daddiu $t1, $t0, 1", 0xFFFFFFFF, 0x100000000}};
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.source);
    reg(8) = c.input;
    reg(9) = kRegisterBefore;
    runAsm(c.source);
    EXPECT_EQ(reg(9), c.expected);
  }
  expectUppersKept();
}

TEST_F(PrimaryTest, RegisterZeroIsWrittenAndClearedByTheStepLoop) {
  loadAsm("addiu $zero, $zero, 5\n daddu $t0, $zero, $zero");
  machine.PC = kCodeAddress;
  stepInstruction();
  EXPECT_EQ(reg(0), 5u);
  step();
  EXPECT_EQ(reg(8), 0u);
}

// The delay slot changes t0, an operand: the condition must be evaluated on the old value. The
// likely forms reach as far as the ordinary ones.
TEST_F(PrimaryTest, ConditionalBranches) {
  enum Outcome { kTaken, kFallThrough, kSlotSkipped };
  const struct {
    const char* branch;
    uint64_t t0, t1;
    Outcome outcome;
    int32_t target = 12;  // from the branch, when taken
  } cases[] = {{"beq  $t0, $t1, 1f", 5, 5, kTaken},
               {"beq  $t0, $t1, 1f", 0x100000005, 5, kFallThrough},  // 64-bit comparison
               {"bne  $t0, $t1, 1f", 0x100000005, 5, kTaken},
               {"blez $t0, 1f", 0x8000000000000000, 0, kTaken},
               {"blez $t0, 1f", 0x80000000, 0, kFallThrough},
               {"bgtz $t0, 1f", 0x100000000, 0, kTaken},
               {"bgtz $t0, 1f", 0, 0, kFallThrough},
               {"beql $t0, $t1, 1f", 5, 6, kSlotSkipped},
               {"bnel $t0, $t1, 1f", 5, 5, kSlotSkipped},
               {"blezl $t0, 1f", 0, 0, kTaken},
               {"blezl $t0, 1f", 1, 0, kSlotSkipped},
               {"bnel $t0, $t1, . - 60", 5, 6, kTaken, -60},                  // offset 0xFFF0
               {"beql $t0, $t1, . + 4 + 0x8000", 5, 5, kTaken, 4 + 0x8000}};  // offset 0x2000
  const uint32_t at = kCodeAddress + 0x100;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.branch << " t0=" << std::hex << c.t0);
    loadAsm(std::string(c.branch) + "\n daddiu $t0, $t0, 1\n nop\n1: nop", at);
    reg(8) = c.t0;
    reg(9) = c.t1;
    machine.PC = at;
    step();
    const int32_t pcAfter[] = {c.target, 4, 8};
    EXPECT_EQ(machine.PC, at + pcAfter[c.outcome]);
    EXPECT_EQ(reg(8), c.outcome == kTaken ? c.t0 + 1 : c.t0);
  }
  expectUppersKept();
}

// A jump in a delay slot runs in full, its own slot included, inside the nested step; the branch
// then applies its offset to the PC the jump left. (The code is not linked, so J takes an
// absolute target.)
TEST_F(PrimaryTest, JumpInADelaySlot) {
  loadAsm(R"(
      beq   $zero, $zero, 1f   # offset 2
      j     0x100010           # in the slot
      addiu $t1, $t1, 1        # the J's slot
  1:  nop
      nop                      # 0x100010
  )");
  machine.PC = kCodeAddress;
  step();
  EXPECT_EQ(reg(9), 1u);
  EXPECT_EQ(machine.PC, 0x100010u + 2 * 4 - 4);
}

// RAM is mirrored at 0x80000000, so code can run there. J and JAL take the top four bits of the
// target from the delay slot's address; JAL links after its slot ran, sign-extending the PC.
TEST_F(PrimaryTest, JumpAndLink) {
  loadAsm("j 0x1000\n addiu $t1, $t1, 1", 0x80001000);
  machine.PC = 0x80001000;
  step();
  EXPECT_EQ(machine.PC, 0x80001000u);
  EXPECT_EQ(reg(9), 1u);

  loadAsm("jal 0x1100\n or $t0, $ra, $zero", 0x80001000);
  reg(31) = 0x123456789ABCDEF0;
  machine.PC = 0x80001000;
  step();
  EXPECT_EQ(reg(8), 0x123456789ABCDEF0u);  // the slot sees the old ra
  EXPECT_EQ(reg(31), 0xFFFFFFFF80001008u);
  EXPECT_EQ(machine.PC, 0x80001100u);
  expectUppersKept();
}

// Each unaligned access against a byte model: the left forms move the bytes from EA down to the
// start of the aligned unit into the register's top bytes, the right forms those from EA up to
// its end into the bottom bytes. The word loads zero-extend their 32-bit result.
TEST_F(PrimaryTest, UnalignedAccessesMatchTheByteModelForEveryOffset) {
  const struct {
    const char* mnemonic;
    uint32_t width;
    bool left;
    bool store;
  } cases[] = {{"lwl", 4, true, false}, {"lwr", 4, false, false}, {"swl", 4, true, true},
               {"swr", 4, false, true}, {"ldl", 8, true, false},  {"ldr", 8, false, false},
               {"sdl", 8, true, true},  {"sdr", 8, false, true}};
  constexpr uint32_t kFrom = kData - 0x20;
  for (const auto& c : cases) {
    for (uint32_t k = 0; k < c.width; ++k) {
      SCOPED_TRACE(testing::Message() << c.mnemonic << " k=" << k);
      fillPattern();
      const uint32_t ea = kData + k;
      uint8_t regBytes[8];
      std::memcpy(regBytes, &kRegisterBefore, 8);
      uint8_t memBytes[0x60];
      std::memcpy(memBytes, ram(kFrom), sizeof memBytes);
      for (uint32_t i = 0; i < (c.left ? k + 1 : c.width - k); ++i) {
        uint8_t& regByte = regBytes[c.left ? c.width - 1 - i : i];
        uint8_t& memByte = memBytes[(c.left ? ea - i : ea + i) - kFrom];
        (c.store ? memByte : regByte) = c.store ? regByte : memByte;
      }
      uint64_t expected = kRegisterBefore;
      if (!c.store) {
        expected = 0;
        std::memcpy(&expected, regBytes, c.width);
      }
      reg(4) = ea;
      reg(9) = kRegisterBefore;
      runAsm(std::string(c.mnemonic) + " $t1, 0($a0)");
      EXPECT_EQ(reg(9), expected);
      EXPECT_EQ(std::memcmp(ram(kFrom), memBytes, sizeof memBytes), 0);
    }
  }
  expectUppersKept();
}

// The pairs that compilers emit for an unaligned access move exactly the value's bytes from X on.
TEST_F(PrimaryTest, UnalignedPairsMoveExactlyTheAddressedBytes) {
  const struct {
    const char* source;
    uint32_t width;
    bool store;
  } cases[] = {{"lwr $t1, 0($a0)\n lwl $t1, 3($a0)", 4, false},
               {"ldr $t1, 0($a0)\n ldl $t1, 7($a0)", 8, false},
               {"swr $t1, 0($a0)\n swl $t1, 3($a0)", 4, true},
               {"sdr $t1, 0($a0)\n sdl $t1, 7($a0)", 8, true}};
  for (const auto& c : cases) {
    for (uint32_t x = 0; x < 16; ++x) {
      SCOPED_TRACE(testing::Message() << c.source << " at +" << x);
      fillPattern();
      reg(4) = kData + x;
      reg(9) = kRegisterBefore;
      runAsm(c.source);
      for (uint32_t o = kData - 0x20; o < kData + 0x40; ++o) {
        const bool stored = c.store && o >= kData + x && o < kData + x + c.width;
        ASSERT_EQ(*ram(o), stored ? static_cast<uint8_t>(kRegisterBefore >> (8 * (o - kData - x)))
                                  : pattern(o))
            << "byte " << std::hex << o;
      }
      uint64_t loaded = 0;
      std::memcpy(&loaded, ram(kData + x), c.width);
      EXPECT_EQ(reg(9), c.store ? kRegisterBefore : loaded);
    }
  }
}

TEST_F(PrimaryTest, UnalignedTableValues) {
  const struct {
    const char* source;  // on t1, with the aligned unit at kData
    uint64_t memory, rt, expectedRt, expectedMemory;
  } cases[] = {
      {"lwl $t1, 1($a0)", 0x5555555544338811, 0x12345678AABBCCDD, 0x8811CCDD, 0x5555555544338811},
      {"sdl $t1, 0($a0)", 0x8877665544332211, 0x8000000000000000, 0x8000000000000000,
       0x8877665544332280}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::memcpy(ram(kData), &c.memory, 8);
    reg(4) = kData;
    reg(9) = c.rt;
    runAsm(c.source);
    EXPECT_EQ(reg(9), c.expectedRt);
    EXPECT_EQ(ramDWord(kData), c.expectedMemory);
  }
}

// LD reads all 64 bits, so a doubleword survives a store and a load, aligned or not. Inside the
// register window it answers like LW: the 32-bit register, sign-extended.
TEST_F(PrimaryTest, DoublewordStoreAndLoad) {
  const struct {
    uint32_t address;
    uint64_t loaded;
  } cases[] = {{kData, 0x0000000180000000},
               {kData + 3, 0x0000000180000000},
               {0x1000F010, 0xFFFFFFFF80000000}};  // INTC_MASK keeps the low word
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address);
    reg(4) = c.address;
    reg(8) = 0x0000000180000000;
    runAsm("sd $t0, 0($a0)\n ld $t1, 0($a0)");
    EXPECT_EQ(reg(9), c.loaded);
  }
  EXPECT_EQ(ramDWord(kData + 3), 0x0000000180000000u);
}

// Quadword memory is little-endian while a register keeps its upper half first: LQ and SQ
// exchange the halves. EA is not rounded down to a multiple of 16.
TEST_F(PrimaryTest, QuadwordLoadAndStoreExchangeHalves) {
  fillCounting(0);
  reg(4) = kData;
  runAsm("lq $t1, 0($a0)\n sq $t1, 0x20($a0)\n lq $t2, 1($a0)");
  EXPECT_EQ(reg(9), 0x0706050403020100u);
  EXPECT_EQ(upper(9), 0x0F0E0D0C0B0A0908u);
  EXPECT_EQ(std::memcmp(ram(kData + 0x20), ram(kData), 16), 0);
  EXPECT_EQ(reg(10), 0x0807060504030201u);
  EXPECT_EQ(upper(10), 0x100F0E0D0C0B0A09u);
}

// The coprocessor loads and stores move raw bits; a VF register maps to memory without
// exchange, bytes 0-3 being x and 12-15 w.
TEST_F(PrimaryTest, CoprocessorLoadsAndStoresKeepBitsAndOrder) {
  fillCounting(0);
  const uint32_t signallingNan = 0xFF800001;
  std::memcpy(ram(kData + 0x40), &signallingNan, 4);
  reg(4) = kData;
  runAsm("lqc2 $vf5, 0($a0)\n sqc2 $vf5, 0x20($a0)\n lwc1 $f3, 0x40($a0)\n swc1 $f3, 0x44($a0)");
  const uint32_t expected[4] = {0x03020100, 0x07060504, 0x0B0A0908, 0x0F0E0D0C};
  EXPECT_EQ(std::memcmp(machine.VF[5], expected, 16), 0);
  EXPECT_EQ(std::memcmp(ram(kData + 0x20), ram(kData), 16), 0);
  EXPECT_EQ(machine.FPR[3], signallingNan);
  EXPECT_EQ(ramWord(kData + 0x44), signallingNan);
  expectUppersKept();
}

// Every refused primary opcode, as a word with all other fields set: the message keeps only the
// opcode field.
TEST_F(PrimaryTest, RefusedPrimaryOpcodes) {
  for (const uint32_t opcode :
       {0x13, 0x17, 0x18, 0x1D, 0x30, 0x32, 0x33, 0x34, 0x35, 0x38, 0x3A, 0x3B, 0x3C, 0x3D}) {
    SCOPED_TRACE(opcode);
    loadAsm(".word " + std::to_string(opcode << 26 | 0x03FFFFFF));
    char line[64];
    std::snprintf(line, sizeof line, "Unknown opcode family %X!\n", opcode << 26);
    expectFault(stepInChild(), line);
  }
}

// Instructions the assembler knows that are refused by the step, or for now by the coprocessor
// and MMI handlers, which name the group and the field.
TEST_F(PrimaryTest, RefusedNamedInstructions) {
  const struct {
    const char* source;
    const char* line;
  } cases[] = {{"pref 0, 0($a0)", "Unknown opcode family CC000000!\n"},
               {"bgtzl $t0, . + 8", "Unknown opcode family 5C000000!\n"},
               {"daddi $t1, $t0, 1", "Unknown opcode family 60000000!\n"},
               {"bc0f . + 8", "Unknown COP0 subOpcode 1000000\n"},
               {"cfc1 $t0, $31", "Unknown COP1 subOpcode 400000\n"},
               {"ctc1 $t0, $31", "Unknown COP1 subOpcode C00000\n"},
               {".word 0x48684000  # COP2, rs = 3", "Unknown COP2 subOpcode\n"},
               {"plzcw $t0, $t1", "Unknown MMI opcode 4!\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    loadAsm(c.source);
    expectFault(stepInChild(), c.line);
  }
}

// SQC2 and the doubleword unaligned forms reach memory directly, not through the register stubs,
// so the register window refuses them; SQ goes through the stubs, and the VIF0 FIFO drops it.
TEST_F(PrimaryTest, DirectAccessesToTheRegisterWindowAreRefused) {
  const struct {
    const char* source;
    uint32_t address;
    const char* line;
  } cases[] = {{"sqc2 $vf1, 0($a0)", 0x10004000, kRegistersMessage},
               {"ldl $t1, 0($a0)", 0x1000F527, kRegistersMessage},
               {"ldr $t1, 0($a0)", 0x1000F520, kRegistersMessage},
               {"sdl $t1, 0($a0)", 0xB000F523, kRegistersMessage},
               {"sq $t1, 0($a0)", 0x10004000, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    loadAsm(c.source);
    reg(4) = c.address;
    const ChildResult result = stepInChild();
    EXPECT_EQ(result.out, c.line);
    EXPECT_EQ(result.exitStatus, c.line[0] == '\0' ? 0 : 1);
  }
}

}  // namespace
