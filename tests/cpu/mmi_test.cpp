// MMI: the ten parallel operations lane by lane (no carry or borrow between lanes, saturation per
// lane), every one with rd equal to rs and to rt, HI1 and LO1 apart from HI and LO, and the
// refusal of each of the five maps.
#include <cstdint>
#include <string>

#include "support/machine_fixture.h"

namespace r5900 {

namespace {

constexpr Reg128 kRdBefore = {0xD1D2D3D4D5D6D7D8, 0xE1E2E3E4E5E6E7E8};

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
      gpr(10) = kRdBefore;
      runAsm(source);
      expectReg(gpr(rd), c.expected);
    }
  }
}

// HI1 and LO1 are bits 127..64 of HI and LO. The MMI moves and MULT1 touch only them and rd bits
// 63..0; the SPECIAL moves touch only bits 63..0 (and MULT, special_test). rs is t0, rt is t1, rd
// is t2.
TEST_F(MmiTest, Hi1AndLo1ApartFromHiAndLo) {
  constexpr Reg128 kHi = {0x1111111111111111, 0x2222222222222222};
  constexpr Reg128 kLo = {0x3333333333333333, 0x4444444444444444};
  constexpr uint64_t kValue = 0x0123456789ABCDEF, kRd = kRdBefore.lower;
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
    gpr(10) = kRdBefore;
    runAsm(c.source);
    expectReg(machine.HI, c.hi);
    expectReg(machine.LO, c.lo);
    expectReg(gpr(10), {kRdBefore.upper, c.rd});
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

}  // namespace

}  // namespace r5900
