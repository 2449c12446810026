// FPU: one row per rule that could go wrong (signed zeros, no clamping or flushing, NaNs, ties,
// the limits of CVT.W.S), the moves that must keep NaN bits, compares, the four BC1 branches and
// their delay slots, and the refusals.
#include <cstdint>
#include <string>

#include "support/machine_fixture.h"

namespace r5900 {

namespace {

// GNU as encodes SQRT.S as generic MIPS does (operand in fs), while the R5900 reads ft; it calls
// the R5900's CVT.W.S (funct 0x24, which truncates) trunc.w.s.
constexpr uint32_t cop1(uint32_t format, uint32_t ft, uint32_t fs, uint32_t fd, uint32_t funct) {
  return 0x44000000 | format << 21 | ft << 16 | fs << 11 | fd << 6 | funct;
}
constexpr uint32_t kS = 16, kW = 20;
static_assert(cop1(kS, 3, 2, 1, 0x00) == 0x46031040);  // add.s $f1, $f2, $f3, as GNU as has it

// A result that must be a NaN, whichever pattern the host produces for an invalid operation.
constexpr uint64_t kAnyNaN = 1ULL << 32;
bool isNaN(uint32_t bits) { return (bits & 0x7F800000) == 0x7F800000 && (bits & 0x007FFFFF) != 0; }

constexpr uint32_t kOne = 0x3F800000, kTwo = 0x40000000, kMinusOne = 0xBF800000;
constexpr uint32_t kInf = 0x7F800000, kMinusInf = 0xFF800000, kMax = 0x7F7FFFFF;
constexpr uint32_t kMinusZero = 0x80000000, kMinNormal = 0x00800000, kHalf = 0x3F000000;
constexpr uint32_t kQuietNaN = 0x7FC00000, kSignallingNaN = 0x7F800001;

using Cop1Test = MachineTest;

// fs is $f1, ft is $f2, the result goes to $f3.
TEST_F(Cop1Test, ArithmeticAndConversions) {
  const std::string add = "add.s $f3, $f1, $f2", sub = "sub.s $f3, $f1, $f2",
                    mul = "mul.s $f3, $f1, $f2", div = "div.s $f3, $f1, $f2",
                    sqrt = printed(".word %u", cop1(kS, 2, 1, 3, 0x04)), abs = "abs.s $f3, $f1",
                    neg = "neg.s $f3, $f1", mov = "mov.s $f3, $f1", cvtW = "trunc.w.s $f3, $f1",
                    cvtS = "cvt.s.w $f3, $f1";
  const struct {
    const std::string& source;
    uint32_t fs, ft;
    uint64_t fd;  // or kAnyNaN
  } cases[] = {
      // clang-format off
      // Overflow is not clamped; 1 + 2^-24 is a tie, to even; just above it rounds up.
      {add, kMax, kMax, kInf}, {add, kInf, kMinusInf, kAnyNaN}, {add, 0, kMinusZero, 0},
      {add, kOne, 0x33800000, kOne}, {add, kOne, 0x33800001, 0x3F800001},
      // Denormals are not flushed, and round to even too (half and 1.5 times the least).
      {sub, kTwo, kOne, kOne}, {sub, kMinusZero, 0, kMinusZero}, {sub, kMinNormal, 1, 0x007FFFFF},
      {mul, 0, kInf, kAnyNaN}, {mul, kMinusOne, 0, kMinusZero}, {mul, 1, kHalf, 0},
      {mul, 3, kHalf, 2},
      {div, kMinusOne, 0, kMinusInf}, {div, kOne, kMinusZero, kMinusInf}, {div, 0, 0, kAnyNaN},
      {div, kOne, 0x40400000, 0x3EAAAAAB},
      // SQRT.S reads ft (fs holds 16.0) and takes the root of the magnitude.
      {sqrt, 0x41800000, 0xC0800000, kTwo}, {sqrt, 0x41800000, kTwo, 0x3FB504F3},
      {sqrt, 0x41800000, kMinusZero, 0},
      // The bit operations keep a signalling NaN's bits.
      {abs, 0xFF800001, 0, kSignallingNaN}, {neg, kSignallingNaN, 0, 0xFF800001},
      {mov, 0xFFA00000, 0, 0xFFA00000},
      // CVT.W.S truncates (2.9, -2.9, exponent 157); a biased exponent of 158 or more saturates by
      // the sign alone, a NaN's too.
      {cvtW, 0x4039999A, 0, 2}, {cvtW, 0xC039999A, 0, 0xFFFFFFFE},
      {cvtW, 0x4EFFFFFF, 0, 0x7FFFFF80}, {cvtW, 0x4F000000, 0, 0x7FFFFFFF},
      {cvtW, 0xCF000000, 0, 0x80000000}, {cvtW, 0xFFC00000, 0, 0x80000000},
      // CVT.S.W is signed and rounds to nearest, ties to even.
      {cvtS, 16777217, 0, 0x4B800000}, {cvtS, 16777219, 0, 0x4B800002},
      {cvtS, 0xFFFFFFFF, 0, kMinusOne}, {cvtS, 0x7FFFFFFF, 0, 0x4F000000}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.fs << ", " << c.ft);
    machine.FPR[1] = c.fs;
    machine.FPR[2] = c.ft;
    machine.FPR[3] = 0x12345678;
    runAsm(c.source);
    if (c.fd == kAnyNaN) {
      EXPECT_TRUE(isNaN(machine.FPR[3])) << std::hex << machine.FPR[3];
    } else {
      EXPECT_EQ(machine.FPR[3], c.fd) << std::hex << machine.FPR[3];
    }
  }
}

// MFC1 sign-extends the pattern into bits 63..0 and keeps bits 127..64; MTC1 takes bits 31..0.
TEST_F(Cop1Test, MovesPassBitPatterns) {
  setUppers();
  machine.FPR[1] = kMinusOne;
  machine.FPR[2] = kOne;
  reg(8) = 0x123456787FA00000;
  runAsm("mfc1 $t1, $f1\n mfc1 $t2, $f2\n mtc1 $t0, $f3\n mtc1 $zero, $f2");
  EXPECT_EQ(reg(9), 0xFFFFFFFFBF800000u);
  EXPECT_EQ(reg(10), 0x3F800000u);
  EXPECT_EQ(machine.FPR[3], 0x7FA00000u);
  EXPECT_EQ(machine.FPR[2], 0u);
  expectUppersKept();
}

// Compares are ordered: a NaN makes both false, and +0 equals -0. The flag starts as the
// opposite of the result, so that a compare that writes nothing shows.
TEST_F(Cop1Test, Compares) {
  const struct {
    const char* source;
    uint32_t fs, ft;
    uint8_t flag;
  } cases[] = {{"c.eq.s", kOne, kOne, 1},      {"c.eq.s", 0, kMinusZero, 1},
               {"c.eq.s", kOne, kTwo, 0},      {"c.eq.s", kQuietNaN, kQuietNaN, 0},
               {"c.lt.s", kOne, kTwo, 1},      {"c.lt.s", kTwo, kOne, 0},
               {"c.lt.s", kOne, kOne, 0},      {"c.lt.s", kMinusZero, 0, 0},
               {"c.lt.s", 0x00000001, 2, 1},  // denormals compare as numbers
               {"c.lt.s", kQuietNaN, kOne, 0}, {"c.lt.s", kOne, kQuietNaN, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.fs << ", " << c.ft);
    machine.FPR[1] = c.fs;
    machine.FPR[2] = c.ft;
    machine.fcc = c.flag ^ 1;
    runAsm(std::string(c.source) + " $f1, $f2");
    EXPECT_EQ(machine.fcc, c.flag);
  }
}

// The delay slot adds 1 to t0, the fall-through instruction 1 to t1, and the target writes
// t2 = t0 + 10, so a taken branch shows that its slot ran before the target.
TEST_F(Cop1Test, BranchesAndTheirDelaySlots) {
  const struct {
    const char* branch;
    uint8_t flag;
    uint64_t t0, t1, t2, steps;
  } cases[] = {{"bc1f", 0, 1, 0, 11, 2},  {"bc1f", 1, 1, 1, 11, 4},  {"bc1t", 0, 1, 1, 11, 4},
               {"bc1fl", 1, 0, 1, 10, 3}, {"bc1tl", 1, 1, 0, 11, 2}, {"bc1tl", 0, 0, 1, 10, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.branch << " flag " << int{c.flag});
    machine.fcc = c.flag;
    reg(8) = reg(9) = reg(10) = 0;
    loadAsm(std::string(c.branch) +
            " 1f\n addiu $t0, $t0, 1\n addiu $t1, $t1, 1\n1: addiu $t2, $t0, 10");
    EXPECT_EQ(runUntil(kCodeAddress, kCodeAddress + 16), c.steps);
    EXPECT_EQ(reg(8), c.t0);
    EXPECT_EQ(reg(9), c.t1);
    EXPECT_EQ(reg(10), c.t2);
  }
}

// The flag is read before the delay slot runs, and a COP1 instruction in the slot (which works on
// the same PC in MachineState) does not disturb the branch.
TEST_F(Cop1Test, DelaySlotsThatAreCop1Instructions) {
  machine.FPR[1] = kOne;
  machine.fcc = 0;
  // bc1f taken although its slot sets the flag; the target's bc1t then sees the new flag.
  runAsm(
      "bc1f 1f\n c.eq.s $f1, $f1\n addiu $t1, $t1, 1\n1: bc1t 2f\n mtc1 $t0, $f2\n"
      " addiu $t1, $t1, 2\n2: addiu $t2, $t2, 1");
  EXPECT_EQ(machine.fcc, 1);
  EXPECT_EQ(reg(9), 0u);
  EXPECT_EQ(reg(10), 1u);
}

// A refused format (CTC1), BC1 condition, S funct (MADDA.S) and W funct, with all other fields
// set.
TEST_F(Cop1Test, Refusals) {
  expectRefusedWord(0x44DFFFFF, "Unknown COP1 subOpcode C00000\n");
  expectRefusedWord(0x451FFFFF, "Unknown COP1 BC1 subOpcode 1F0000\n");
  expectRefusedWord(cop1(kS, 31, 31, 31, 0x1E), "Unknown COP1 S subOpcode 1E\n");
  expectRefusedWord(cop1(kW, 31, 31, 31, 0x3F), "Unknown COP1 W subOpcode 3F\n");
}

}  // namespace

}  // namespace r5900
