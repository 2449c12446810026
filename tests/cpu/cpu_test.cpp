// The instruction step, the integer maps (primary, SPECIAL, REGIMM, MMI) with their refusals, and
// the bus. Only where the R5900 departs from MIPS64, or MIPS64 leaves the result open: what behaves
// exactly as on MIPS64 is the differential test's against qemu.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cpu/bus.h"
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

constexpr uint64_t kRdBefore = 0xD1D2D3D4D5D6D7D8;

// Nothing in SPECIAL or REGIMM touches bits 127..64 of a register, HI or LO (HI1 and LO1 belong
// to the MMI instructions).
class SpecialTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    setUppers();
    machine.HI.upper = kUpperSentinel + 32;
    machine.LO.upper = kUpperSentinel + 33;
  }
  void TearDown() override {
    expectUppersKept();
    EXPECT_EQ(machine.HI.upper, kUpperSentinel + 32);
    EXPECT_EQ(machine.LO.upper, kUpperSentinel + 33);
  }
};

// rs is t0, rt is t1, rd is t2 (which holds kRdBefore). The 32-bit operations use only the low
// words of their sources, whatever bits 63..32 hold, and sign-extend a 32-bit result; ADD and
// SUB never trap. MULT's rd is written after both sources were read. SA holds 32 bits, which
// MFSA zero-extends; MTSAH sets a halfword shift, SA = ((rs ^ immediate) & 3) * 16.
TEST_F(SpecialTest, ResultsInRd) {
  const struct {
    const char* source;
    uint64_t rs, rt, expected;
  } cases[] = {{"srl  $t2, $t1, 4", 0, 0x0000000F00000010, 1},
               {"sra  $t2, $t1, 1", 0, 0x0000000100000000, 0},
               {"srav $t2, $t1, $t0", 33, 0x0000000140000000, 0x20000000},
               {"add  $t2, $t0, $t1", 0x7FFFFFFF, 1, 0xFFFFFFFF80000000},
               {"addu $t2, $t0, $t1", 0xFFFFFFFF00000001, 1, 2},
               {"sub  $t2, $t0, $t1", 0xFFFFFFFF80000000, 1, 0x7FFFFFFF},
               {"sync", 1, 2, kRdBefore},
               {"mult $t2, $t2, $t1", 0, 2, 0xFFFFFFFFABADAFB0},
               {"mtsa $t0\n mfsa $t2", 0xFFFFFFFF80000010, 0, 0x80000010},
               {"mtsah $t0, 3\n mfsa $t2", 0xFFFFFFFD, 0, 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    reg(8) = c.rs;
    reg(9) = c.rt;
    reg(10) = kRdBefore;
    runAsm(c.source);
    EXPECT_EQ(reg(10), c.expected);
  }
}

// MULT and DIV work on the low words (signed) and leave 32-bit results sign-extended in LO and
// HI; MULT also writes LO to rd. Division by zero and INT_MIN / -1 leave what the hardware
// leaves. The three-operand DIV with $zero is the bare instruction, without the assembler's checks.
TEST_F(SpecialTest, MultiplyAndDivide) {
  const struct {
    const char* source;
    uint64_t rs, rt, lo, hi;
  } cases[] = {
      {"mult $t2, $t0, $t1", 0xABCDEF01FFFFFFFE, 0x1234567800000003, 0xFFFFFFFFFFFFFFFA, ~0ULL},
      {"mult $t2, $t0, $t1", 0x10000, 0x8000, 0xFFFFFFFF80000000, 0},
      {"div  $zero, $t0, $t1", 0x1234567800000007, 0xFFFFFFFF00000002, 3, 1},
      {"div  $zero, $t0, $t1", 0xFFFFFFF9, 2, ~2ULL, ~0ULL},
      {"divu $zero, $t0, $t1", 0x12345678FFFFFFF9, 2, 0x7FFFFFFC, 1},
      {"div  $zero, $t0, $t1", 5, 0, ~0ULL, 5},
      {"div  $zero, $t0, $t1", 0xFFFFFFFFFFFFFFFB, 0, 1, 0xFFFFFFFFFFFFFFFB},
      {"div  $zero, $t0, $t1", 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF80000000, 0},
      {"divu $zero, $t0, $t1", 0x1234567880000005, 0, ~0ULL, 0xFFFFFFFF80000005}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.rs << ", " << c.rt);
    reg(8) = c.rs;
    reg(9) = c.rt;
    reg(10) = kRdBefore;
    runAsm(c.source);
    EXPECT_EQ(machine.LO.lower, c.lo);
    EXPECT_EQ(machine.HI.lower, c.hi);
    EXPECT_EQ(reg(10), c.source[1] == 'u' ? c.lo : kRdBefore);
  }
}

// SYSCALL prints through the guest output; each case then adds the state it left.
// The number printed is the low word of v1, signed; only 122 returns, with v0 = 255.
TEST_F(SpecialTest, SyscallPaths) {
  const struct {
    uint64_t v1;
    uint32_t address;
    const char* out;
  } cases[] = {
      {122, kCodeAddress, "SYSCALL[122]\nv0=ff cause=0 epc=0 pc=100004\n"},
      {117, 0x80001000, "SYSCALL[117]\nPRINT!\nv0=77 cause=20 epc=ffffffff80001000 pc=0\n"},
      {0x1FFFFFFFB, kCodeAddress, "SYSCALL[-5]\nv0=77 cause=20 epc=100000 pc=0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v1);
    loadAsm("syscall", c.address);
    reg(2) = 0x77;
    reg(3) = c.v1;
    machine.PC = c.address;
    char state[128];
    const std::string out = guestOutputOf([] { step(); });
    std::snprintf(state, sizeof state, "v0=%llx cause=%llx epc=%llx pc=%x\n",
                  static_cast<unsigned long long>(reg(2)),
                  static_cast<unsigned long long>(machine.cop0[13]),
                  static_cast<unsigned long long>(machine.cop0[14]), machine.PC);
    EXPECT_EQ(out + state, c.out);
    EXPECT_TRUE(r5900::guestOutputAtLineStart());
  }
}

// BREAK calls the host service named by its 20-bit code, which spans both of the assembler's
// code operands, and returns straight to ra. An empty entry, or one past the table, stops the
// machine.
TEST_F(SpecialTest, BreakCallsAHostService) {
  machine.hostServices[3].service = [] { reg(2) = reg(4) * 2; };
  loadAsm("break 0, 3");
  reg(4) = 21;
  reg(31) = 0xFFFFFFFF80002000;
  machine.PC = kCodeAddress;
  step();
  EXPECT_EQ(reg(2), 42u);
  EXPECT_EQ(machine.PC, 0x80002000u);
  expectRefused("break 3", "No host service registered for BREAK C00\n");
  expectRefused("break 0x3FF, 0x3FF", "No host service registered for BREAK FFFFF\n");
}

// A refused slot of each map (DSUB, and REGIMM's rt = 31) as a word with all other fields set,
// so that only the named field can be what is printed.
TEST_F(SpecialTest, RefusedEncodings) {
  expectRefusedWord(0x03FFFFEE, "Unknown special opcode 2E!\n");
  expectRefusedWord(0x07FFFFFF, "Unknown REGIMM opcode 1F0000!\n");
}

constexpr Reg128 kRdBefore128 = {0xD1D2D3D4D5D6D7D8, 0xE1E2E3E4E5E6E7E8};

// Word i of a register as the tests write it, bits 127..0: words 3, 2, 1, 0.
constexpr Reg128 words(uint32_t w3, uint32_t w2, uint32_t w1, uint32_t w0) {
  return Reg128{uint64_t{w3} << 32 | w2, uint64_t{w1} << 32 | w0};
}

class MmiTest : public MachineTest {
 protected:
  static Reg128& gpr(uint32_t index) { return machine.GPR[index]; }
  static void expectReg(const Reg128& actual, const Reg128& expected) {
    EXPECT_EQ(actual.upper, expected.upper) << std::hex << actual.upper;
    EXPECT_EQ(actual.lower, expected.lower) << std::hex << actual.lower;
  }
};

// rs is t0, rt is t1. Each case runs with rd = t2, then rd = t0 (= rs), then rd = t1 (= rt); the
// result must be the same, so every source lane was read before rd was written. PCPYH has no rs.
// A byte's borrow does not cross into the next byte; each word saturates on its own, and
// 0x7FFFFFFF + 1 is no signed overflow here.
TEST_F(MmiTest, ParallelOperationsWithRdApartAndAliased) {
  constexpr Reg128 kS = words(0x53, 0x52, 0x51, 0x50), kT = words(0x63, 0x62, 0x61, 0x60);
  const struct {
    const char* mnemonic;
    Reg128 rs, rt, expected;
  } cases[] = {{"psubb",
                {0x8000FF7F01020304, 0x00FF80017F7F0010},
                {0x0101010101010101, 0x01FF7F02807F0020},
                {0x7FFFFE7E00010203, 0xFF0001FFFF0000F0}},
               {"pextlw", kS, kT, words(0x51, 0x61, 0x50, 0x60)},
               {"pextuw", kS, kT, words(0x53, 0x63, 0x52, 0x62)},
               {"padduw", words(0xFFFFFFFF, 0x7FFFFFFF, 1, 0x80000000), words(1, 1, 2, 0x80000000),
                words(0xFFFFFFFF, 0x80000000, 3, 0xFFFFFFFF)},
               {"pcpyld", {1, 2}, {3, 4}, {2, 4}},
               {"pcpyud", {1, 2}, {3, 4}, {3, 1}},
               {"pand", {3, 12}, {6, 10}, {2, 8}},
               {"por", {1, 2}, {4, 8}, {5, 10}},
               {"pnor", {1, 2}, {4, 8}, {~5ULL, ~10ULL}},
               {"pcpyh",
                {0, 0},
                {0x111122223333ABCD, 0x4444555566661234},
                {0xABCDABCDABCDABCD, 0x1234123412341234}}};
  for (const auto& c : cases) {
    const bool twoOperands = std::string(c.mnemonic) == "pcpyh";
    for (const uint32_t rd : {10, 8, 9}) {
      if (twoOperands && rd == 8) continue;
      const std::string source =
          c.mnemonic + printed(" $%u", rd) + (twoOperands ? ", $9" : ", $8, $9");
      SCOPED_TRACE(source);
      gpr(8) = c.rs;
      gpr(9) = c.rt;
      gpr(10) = kRdBefore128;
      runAsm(source);
      expectReg(gpr(rd), c.expected);
    }
  }
}

// HI1 and LO1 are bits 127..64 of HI and LO. The MMI moves and MULT1 touch only them and rd bits
// 63..0; the SPECIAL moves touch only bits 63..0 (and MULT, above). rs is t0, rt is t1, rd
// is t2.
TEST_F(MmiTest, Hi1AndLo1ApartFromHiAndLo) {
  constexpr Reg128 kHi = {0x1111111111111111, 0x2222222222222222};
  constexpr Reg128 kLo = {0x3333333333333333, 0x4444444444444444};
  constexpr uint64_t kValue = 0x0123456789ABCDEF, kRd = kRdBefore128.lower;
  constexpr uint64_t kMin32 = 0xFFFFFFFF80000000;
  constexpr const char* kMult1 = "mult1 $t2, $t0, $t1";
  const struct {
    const char* source;
    uint64_t rs, rt;
    Reg128 hi, lo;
    uint64_t rd;  // bits 63..0 afterwards
  } cases[] = {{"mfhi1 $t2", 0, 0, kHi, kLo, kHi.upper},
               {"mflo1 $t2", 0, 0, kHi, kLo, kLo.upper},
               {"mthi1 $t0", kValue, 0, {kValue, kHi.lower}, kLo, kRd},
               {"mtlo1 $t0", kValue, 0, kHi, {kValue, kLo.lower}, kRd},
               // The low words only, signed; both halves of the product sign-extended.
               {kMult1, 0x1FFFFFFFE, 0x100000003, {~0ULL, kHi.lower}, {~5ULL, kLo.lower}, ~5ULL},
               {kMult1, 0x10000, 0x8000, {0, kHi.lower}, {kMin32, kLo.lower}, kMin32},
               {"mthi $t0\n mtlo $t0", kValue, 0, {kHi.upper, kValue}, {kLo.upper, kValue}, kRd}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    machine.HI = kHi;
    machine.LO = kLo;
    gpr(8) = {kUpperSentinel + 8, c.rs};
    gpr(9) = {kUpperSentinel + 9, c.rt};
    gpr(10) = kRdBefore128;
    runAsm(c.source);
    expectReg(machine.HI, c.hi);
    expectReg(machine.LO, c.lo);
    expectReg(gpr(10), {kRdBefore128.upper, c.rd});
  }
}

constexpr uint32_t mmi(uint32_t sub, uint32_t funct) { return 0x73FFF800 | sub << 6 | funct; }

// A refused slot of each map, with rs, rt and rd all ones: only funct (PSRAW), or the
// sub-function in place (bits 10..6: PPAC5, QFSRV, PROT3W, an unused one), is printed.
TEST_F(MmiTest, RefusedSlots) {
  expectRefusedWord(mmi(31, 63), "Unknown MMI opcode 3F!\n");
  expectRefusedWord(mmi(31, 8), "Unknown MMI0 opcode 7C0!\n");
  expectRefusedWord(mmi(27, 40), "Unknown MMI1 opcode 6C0!\n");
  expectRefusedWord(mmi(31, 9), "Unknown MMI2 opcode 7C0!\n");
  expectRefusedWord(mmi(23, 41), "Unknown MMI3 opcode 5C0!\n");
}

using BusTest = MachineTest;

// RAM and its mirrors at 0x20000000, 0x80000000 and 0xA0000000, and the scratchpad, up to the
// last byte of each. An access that starts in an area and runs past its end names the first byte
// outside; the register space (0x10000000-0x13FFFFFF and its uncached mirror) has its own message.
TEST_F(BusTest, AddressMap) {
  EXPECT_EQ(translateAddress(0x01FFFFFF, 1), ram(0x1FFFFFF));
  EXPECT_EQ(translateAddress(0x20123450, 1), ram(0x123450));
  EXPECT_EQ(translateAddress(0x80123450, 1), ram(0x123450));
  EXPECT_EQ(translateAddress(0xA1FFFFFC, 4), ram(0x1FFFFFC));
  EXPECT_EQ(translateAddress(0x70003FF0, 16), machine.scratchpadBase + 0x3FF0);
  const struct {
    uint32_t address, size;
    const char* line;
  } cases[] = {{0x02000000, 1, "Access to unmapped memory 2000000\n"},
               {0x70004000, 1, "Access to unmapped memory 70004000\n"},
               {0xFFFFFFFF, 8, "Access to unmapped memory FFFFFFFF\n"},
               {0x01FFFFFE, 4, "Access to unmapped memory 2000000\n"},
               {0x81FFFFF9, 8, "Access to unmapped memory 82000000\n"},
               {0x70003FF8, 16, "Access to unmapped memory 70004000\n"},
               {0x10000000, 1, kRegisters},
               {0x13FFFFFF, 1, kRegisters},
               {0xB0000000, 4, kRegisters},
               {0xB3FFFFFF, 1, kRegisters}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    expectFault([&] { translateAddress(c.address, c.size); }, c.line);
  }
}

// Boot-ROM and I/O-processor locations answer, or drop a write, without reaching translateAddress
// (which would refuse every one of them); a 64-bit write has no such addresses.
TEST_F(BusTest, FixedAddressesAnswerWithoutMemory) {
  EXPECT_EQ(fetchHalfWord(0xBF803800), 0x000Au);
  EXPECT_EQ(fetchLongInt(0xBC0003C0), 0u);
  EXPECT_EQ(fetchDWord(0xBF80141C), 0u);
  EXPECT_EQ(fetchByte(0x1F402005), 0u);
  EXPECT_EQ(fetchByte(0xFF000000), 0u);
  writeHalfWord(0xBA000008, 1);
  writeHalfWord(0xBF801070, 1);
  writeLongInt(0xFFFFFFFF, 1);
  expectFault([] { writeDWord(0xFFFFFFF0, 1); }, "Access to unmapped memory FFFFFFF0\n");
}

// Only the low 16 bits select a general register, in either mirror; vector-unit memory answers
// its address, the GS privileged registers 0x2000; LD of a register is its word sign-extended.
TEST_F(BusTest, RegisterReadsByType) {
  EXPECT_EQ(fetchLongInt(0xB001F520), 0x1201u);  // D_ENABLER
  EXPECT_EQ(fetchLongInt(0x10001810), 1u);       // timer 3 MODE
  EXPECT_EQ(fetchLongInt(0xB1000010), 0xB1000010u);
  EXPECT_EQ(fetchLongInt(0x12001000), 0x2000u);
  writeLongInt(0x1000F010, 0x80000000);
  EXPECT_EQ(fetchDWord(0x1000F010), 0xFFFFFFFF80000000u);
}

TEST_F(BusTest, RegisterMapHasTheDocumentedEntries) {
  int reads = 0, constants = 0, shadows = 0, kept = 0, dropped = 0;
  for (uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
    const RegisterReadEntry entry = registerReadEntry(offset);
    reads += entry.kind != RegisterRead::Refused;
    constants += entry.kind == RegisterRead::Constant;
    shadows += entry.kind == RegisterRead::Shadow;
    const RegisterWrite write = registerWriteKind(offset);
    kept += write == RegisterWrite::Kept;
    dropped += write == RegisterWrite::Dropped;
    EXPECT_EQ(entry.kind == RegisterRead::Shadow, shadowWord(offset) != nullptr);
  }
  EXPECT_EQ(reads, 28);
  EXPECT_EQ(constants, 14);  // 8 fixed values and 6 zero reads of channel registers and GIF_STAT
  EXPECT_EQ(shadows, 14);
  EXPECT_EQ(kept, 14);
  EXPECT_EQ(dropped, 108);
  EXPECT_EQ(registerWriteKind(0xD480), RegisterWrite::Dropped);  // channel 9 SADR
  EXPECT_EQ(registerWriteKind(0xD470), RegisterWrite::Refused);
}

// D_STAT: a set bit among 0..15 clears that bit, among 16..31 toggles it. CHCR bit 8 is the start
// bit: while the channel runs, a write reaches only that bit. 64-bit writes pass the low word.
TEST_F(BusTest, ShadowWordsAndMergeRules) {
  const struct {
    uint32_t address, before;
    uint64_t written;
    uint32_t after;
  } cases[] = {{0x1000E010, 0x00010007, 0x00030005, 0x00020002},  // D_STAT
               {0x1000C400, 0x00000100, 0x12345678, 0x00000000},  // CHCR running
               {0x1000C400, 0xFFFFFFFF, 0x00000000, 0xFFFFFEFF},
               {0x1000C400, 0x00000000, 0x12345678, 0x12345678},  // CHCR idle
               {0xB000F000, 0x0000000F, 0x00000003, 0x00000003},  // INTC_STAT
               {0x1000F010, 0, 0xAAAAAAAA00000042, 0x42}};        // INTC_MASK
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " " << c.before);
    *shadowWord(c.address & 0xFFFF) = c.before;
    if (c.written > 0xFFFFFFFF) {
      writeDWord(c.address, c.written);
    } else {
      writeLongInt(c.address, static_cast<uint32_t>(c.written));
    }
    EXPECT_EQ(fetchLongInt(c.address), c.after);
  }
}

TEST_F(BusTest, DroppedWritesAndTheSerialPort) {
  writeLongInt(0x10000000, 5);           // timer 0 COUNT
  writeDWord(0x1000D480, 5);             // channel 9 SADR
  writeDWord(0x11000000, 5);             // vector-unit memory: dropped
  writeDWord(0x12000000, 5);             // GS privileged registers: dropped
  writeQWord(0x10004000, Reg128{1, 2});  // VIF0 FIFO
  writeQWord(0x11000000, Reg128{1, 2});
  const std::string serial = guestOutputOf([] {
    writeByte(0x1000F180, 'A');
    writeByte(0xB000F180, '\n');
    writeQWord(0x12000000, Reg128{1, 2});  // printed, dropped, and the machine goes on
    writeByte(0x1000F180, 'B');
  });
  EXPECT_EQ(serial, "A\nUnhandled register type 2000000\nB");
  EXPECT_FALSE(r5900::guestOutputAtLineStart());
}

// Each accessor's refusals: another register type, a general register it does not serve.
TEST_F(BusTest, RegisterRefusals) {
  const struct {
    const char* line;
    void (*access)();
  } cases[] = {
      {"Unhandled register type 1000000\n", [] { fetchByte(0x11000000); }},
      {"Unhandled general register F520 to fetch byte from\n", [] { fetchByte(0x1000F520); }},
      {"Unhandled register type 2000000\n", [] { fetchHalfWord(0x12000000); }},
      {"Unhandled general register F520 to fetch word from\n", [] { fetchHalfWord(0x1000F520); }},
      {"Unhandled general register F180 to fetch word from\n", [] { fetchLongInt(0x1000F180); }},
      {"Unsupported fetchQWordFromRegisters\n", [] { fetchQWord(0x11000000); }},
      {"Unsupported fetchQWordFromRegisters\n",
       [] {
         uint32_t vf[4];
         fetchVectorQWord(0x1000F520, vf);
       }},
      {"Unhandled register type 2000000\n", [] { writeLongInt(0xB2000000, 0); }},
      {"Unhandled register type 1000000\n", [] { writeByte(0x11000000, 0); }},
      {"Unhandled general register F520 to write byte to\n", [] { writeByte(0x1000F520, 0); }},
      {"Unhandled register type 1000000\n", [] { writeHalfWord(0x11000000, 0); }},
      {"Unhandled general register F520 to write half word to\n",
       [] { writeHalfWord(0x1000F520, 0); }},
      {"Unhandled general register F180 to write long int to\n", [] { writeDWord(0x1000F180, 0); }},
      {"Unhandled general register 4010 to write QWord to\n", [] { writeQWord(0x10004010, {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    expectFault(c.access, c.line);
  }
}

}  // namespace
}  // namespace r5900
