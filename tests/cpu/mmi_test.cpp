// MMI: the ten parallel operations lane by lane (no carry or borrow between lanes, saturation per
// lane), every one with rd equal to rs and to rt, HI1 and LO1 apart from HI and LO, and every
// refused slot of the five maps.
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/machine_fixture.h"

namespace {

constexpr uint64_t kUpperSentinel = 0x5A5A5A5A00000000;
constexpr Reg128 kRdBefore = {0xD1D2D3D4D5D6D7D8, 0xE1E2E3E4E5E6E7E8};

// Word i of a register as the tests write it, bits 127..0: words 3, 2, 1, 0.
constexpr Reg128 words(uint32_t w3, uint32_t w2, uint32_t w1, uint32_t w0) {
  return Reg128{uint64_t{w3} << 32 | w2, uint64_t{w1} << 32 | w0};
}
static_assert(words(1, 2, 3, 4).upper == 0x0000000100000002 &&
              words(1, 2, 3, 4).lower == 0x0000000300000004);

class MmiTest : public MachineTest {
 protected:
  static Reg128& gpr(uint32_t index) { return machine.GPR[index]; }
  static void expectReg(const Reg128& actual, const Reg128& expected) {
    EXPECT_EQ(actual.upper, expected.upper) << std::hex << actual.upper;
    EXPECT_EQ(actual.lower, expected.lower) << std::hex << actual.lower;
  }
  // The instruction word at kCodeAddress, stepped once in a child.
  static void expectRefusedWord(uint32_t word, const std::string& line) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << word);
    loadBytes(kCodeAddress, {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                             static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)});
    machine.PC = kCodeAddress;
    expectFault(runInChild([] { step(); }), line);
  }
  static void expectRefused(const std::string& source, const std::string& line) {
    SCOPED_TRACE(source);
    loadAsm(source);
    machine.PC = kCodeAddress;
    expectFault(runInChild([] { step(); }), line);
  }
};

// rs is t0, rt is t1. Each case runs with rd = t2, then rd = t0 (= rs), then rd = t1 (= rt); the
// result must be the same, so every source lane was read before rd was written. PCPYH has no rs.
TEST_F(MmiTest, ParallelOperationsWithRdApartAndAliased) {
  const struct {
    const char* mnemonic;
    Reg128 rs, rt, expected;
  } cases[] = {// Bytes wrap on their own: a borrow does not cross into the next byte.
               {"psubb", {0, 0}, {0x0101010101010101, 0x0101010101010101}, {~0ULL, ~0ULL}},
               {"psubb",
                {0x8000FF7F01020304, 0x00FF80017F7F0010},
                {0x0101010101010101, 0x01FF7F02807F0020},
                {0x7FFFFE7E00010203, 0xFF0001FFFF0000F0}},
               {"pextlw", words(0x53, 0x52, 0x51, 0x50), words(0x63, 0x62, 0x61, 0x60),
                words(0x51, 0x61, 0x50, 0x60)},
               {"pextuw", words(0x53, 0x52, 0x51, 0x50), words(0x63, 0x62, 0x61, 0x60),
                words(0x53, 0x63, 0x52, 0x62)},
               // Each word saturates on its own; 0x7FFFFFFF + 1 is no signed overflow here.
               {"padduw", words(0xFFFFFFFF, 0x7FFFFFFF, 1, 0x80000000), words(1, 1, 2, 0x80000000),
                words(0xFFFFFFFF, 0x80000000, 3, 0xFFFFFFFF)},
               {"padduw", words(0xFFFFFFFE, 0, 0xFFFFFFFF, 0x12345678), words(1, 0, 0xFFFFFFFF, 0),
                words(0xFFFFFFFF, 0, 0xFFFFFFFF, 0x12345678)},
               {"pcpyld", {0x1111, 0x2222}, {0x3333, 0x4444}, {0x2222, 0x4444}},
               {"pcpyud", {0x1111, 0x2222}, {0x3333, 0x4444}, {0x3333, 0x1111}},
               {"pand",
                {0xFF00FF00F0F0F0F0, 0x0123456789ABCDEF},
                {0x0FF00FF0FFFF0000, ~0ULL},
                {0x0F000F00F0F00000, 0x0123456789ABCDEF}},
               {"por",
                {0xFF00000000000000, 0x0000000000000001},
                {0x00000000000000FF, 0x8000000000000000},
                {0xFF000000000000FF, 0x8000000000000001}},
               {"pnor",
                {0xFF00000000000000, 0x0000000000000001},
                {0x00000000000000FF, 0x8000000000000000},
                {0x00FFFFFFFFFFFF00, 0x7FFFFFFFFFFFFFFE}},
               {"pcpyh",
                {0, 0},
                {0x111122223333ABCD, 0x4444555566661234},
                {0xABCDABCDABCDABCD, 0x1234123412341234}}};
  for (const auto& c : cases) {
    const bool twoOperands = std::string(c.mnemonic) == "pcpyh";
    for (const char* rd : {"t2", "t0", "t1"}) {
      if (twoOperands && std::string(rd) == "t0") continue;
      const std::string source =
          std::string(c.mnemonic) + " $" + rd + (twoOperands ? ", $t1" : ", $t0, $t1");
      SCOPED_TRACE(source);
      gpr(8) = c.rs;
      gpr(9) = c.rt;
      gpr(10) = kRdBefore;
      runAsm(source);
      expectReg(gpr(rd[1] == '2' ? 10 : rd[1] == '0' ? 8 : 9), c.expected);
    }
  }
}

// PEXTLW and PEXTUW of the same sources give every word of both once between them; with
// rs = rt = rd, PCPYLD and PCPYUD see the register as it was.
TEST_F(MmiTest, BackToBackAndAllThreeTheSame) {
  gpr(8) = words(3, 2, 1, 0);
  gpr(9) = words(13, 12, 11, 10);
  runAsm("pextlw $t2, $t0, $t1\n pextuw $t3, $t0, $t1\n pextlw $t4, $t3, $t2");
  expectReg(gpr(10), words(1, 11, 0, 10));
  expectReg(gpr(11), words(3, 13, 2, 12));
  expectReg(gpr(12), words(2, 0, 12, 10));
  gpr(8) = {0xAAAA, 0xBBBB};
  runAsm("pcpyld $t0, $t0, $t0");
  expectReg(gpr(8), {0xBBBB, 0xBBBB});
  gpr(8) = {0xAAAA, 0xBBBB};
  runAsm("pcpyud $t0, $t0, $t0");
  expectReg(gpr(8), {0xAAAA, 0xAAAA});
}

// HI1 and LO1 are bits 127..64 of HI and LO. The MMI moves and MULT1 touch only them and rd bits
// 63..0; MULT and the SPECIAL moves touch only bits 63..0. rs is t0, rt is t1, rd is t2; t3
// receives a second read.
TEST_F(MmiTest, Hi1AndLo1ApartFromHiAndLo) {
  constexpr Reg128 kHi = {0x1111111111111111, 0x2222222222222222};
  constexpr Reg128 kLo = {0x3333333333333333, 0x4444444444444444};
  constexpr uint64_t kValue = 0x0123456789ABCDEF;
  constexpr uint64_t kT3Before = 0x7777;
  const struct {
    const char* source;
    uint64_t rs, rt;
    Reg128 hi, lo;
    uint64_t rd, t3;  // bits 63..0 afterwards
  } cases[] = {
      {"mfhi1 $t2", 0, 0, kHi, kLo, kHi.upper, kT3Before},
      {"mflo1 $t2", 0, 0, kHi, kLo, kLo.upper, kT3Before},
      {"mthi1 $t0", kValue, 0, {kValue, kHi.lower}, kLo, kRdBefore.lower, kT3Before},
      {"mtlo1 $t0", kValue, 0, kHi, {kValue, kLo.lower}, kRdBefore.lower, kT3Before},
      {"mthi1 $t0\n mfhi1 $t2\n mfhi $t3", kValue, 0, {kValue, kHi.lower}, kLo, kValue, kHi.lower},
      {"mtlo1 $t0\n mflo1 $t2\n mflo $t3", kValue, 0, kHi, {kValue, kLo.lower}, kValue, kLo.lower},
      // The low words only, signed; both halves of the product sign-extended.
      {"mult1 $t2, $t0, $t1",
       0xABCD0000FFFFFFFE,
       0x1234000000000003,
       {0xFFFFFFFFFFFFFFFF, kHi.lower},
       {0xFFFFFFFFFFFFFFFA, kLo.lower},
       0xFFFFFFFFFFFFFFFA,
       kT3Before},
      {"mult1 $t2, $t0, $t1",
       0x10000,
       0x8000,
       {0, kHi.lower},
       {0xFFFFFFFF80000000, kLo.lower},
       0xFFFFFFFF80000000,
       kT3Before},
      {"mult1 $t2, $t0, $t1",
       0x80000000,
       0x80000000,
       {0x40000000, kHi.lower},
       {0, kLo.lower},
       0,
       kT3Before},
      // Back to back: the second reads what the first left in LO1.
      {"mult1 $t2, $t0, $t1\n mflo1 $t3", 7, 6, {0, kHi.lower}, {42, kLo.lower}, 42, 42},
      // MULT and the SPECIAL moves work on bits 63..0 only.
      {"mult $t2, $t0, $t1\n mfhi1 $t3", 2, 3, {kHi.upper, 0}, {kLo.upper, 6}, 6, kHi.upper},
      {"mthi $t0\n mtlo $t0",
       kValue,
       0,
       {kHi.upper, kValue},
       {kLo.upper, kValue},
       kRdBefore.lower,
       kT3Before}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    machine.HI = kHi;
    machine.LO = kLo;
    gpr(8) = {kUpperSentinel + 8, c.rs};
    gpr(9) = {kUpperSentinel + 9, c.rt};
    gpr(10) = kRdBefore;
    gpr(11) = {kUpperSentinel + 11, kT3Before};
    runAsm(c.source);
    expectReg(machine.HI, c.hi);
    expectReg(machine.LO, c.lo);
    expectReg(gpr(10), {kRdBefore.upper, c.rd});
    expectReg(gpr(11), {kUpperSentinel + 11, c.t3});
  }
  // rd = rs = rt: the sources are read before rd is written; 0xFFFFFFFD squared is 9.
  machine.LO = kLo;
  gpr(8) = {kUpperSentinel + 8, 0xFFFFFFFD};
  runAsm("mult1 $t0, $t0, $t0");
  expectReg(gpr(8), {kUpperSentinel + 8, 9});
  expectReg(machine.LO, {9, kLo.lower});
}

constexpr uint32_t kMmi = 0x70000000;          // primary opcode 28
constexpr uint32_t kOtherFields = 0x03FFF800;  // rs, rt and rd all ones
constexpr uint32_t mmi(uint32_t sub, uint32_t funct) {
  return kMmi | kOtherFields | sub << 6 | funct;
}
static_assert(mmi(0, 0x18) == 0x73FFF818);

// Every refused slot of every map, with all other fields set: only funct, or the sub-function in
// place (bits 10..6), is printed. Then some mnemonics the assembler knows.
TEST_F(MmiTest, EveryRefusedSlot) {
  char line[64];
  constexpr uint64_t kAcceptedFuncts = 1ULL << 8 | 1ULL << 9 | 1ULL << 16 | 1ULL << 17 |
                                       1ULL << 18 | 1ULL << 19 | 1ULL << 24 | 1ULL << 40 |
                                       1ULL << 41;  // MMI0, MMI2, MFHI1 .. MTLO1, MULT1, MMI1, MMI3
  for (uint32_t f = 0; f < 64; ++f) {
    if ((kAcceptedFuncts >> f & 1) != 0) continue;
    std::snprintf(line, sizeof line, "Unknown MMI opcode %X!\n", f);
    expectRefusedWord(mmi(31, f), line);
  }
  const struct {
    uint32_t funct;
    const char* name;
    uint32_t accepted;  // one bit per sub-function
  } groups[] = {
      {8, "MMI0", 1U << 9 | 1U << 18},                           // PSUBB, PEXTLW
      {40, "MMI1", 1U << 16 | 1U << 18},                         // PADDUW, PEXTUW
      {9, "MMI2", 1U << 14 | 1U << 18},                          // PCPYLD, PAND
      {41, "MMI3", 1U << 14 | 1U << 18 | 1U << 19 | 1U << 27}};  // PCPYUD, POR, PNOR, PCPYH
  for (const auto& g : groups) {
    for (uint32_t sub = 0; sub < 32; ++sub) {
      if ((g.accepted >> sub & 1) != 0) continue;
      std::snprintf(line, sizeof line, "Unknown %s opcode %X!\n", g.name, sub << 6);
      expectRefusedWord(mmi(sub, g.funct), line);
    }
  }
  expectRefused("paddw $t2, $t0, $t1", "Unknown MMI0 opcode 0!\n");
  expectRefused("psubw $t2, $t0, $t1", "Unknown MMI0 opcode 40!\n");
  expectRefused("psubuw $t2, $t0, $t1", "Unknown MMI1 opcode 440!\n");
  expectRefused("pmaddw $t2, $t0, $t1", "Unknown MMI2 opcode 0!\n");
  expectRefused("pexch $t2, $t1", "Unknown MMI3 opcode 680!\n");
  expectRefused("multu1 $t0, $t1", "Unknown MMI opcode 19!\n");
  expectRefused("pmfhl.lw $t0", "Unknown MMI opcode 30!\n");
}

}  // namespace
