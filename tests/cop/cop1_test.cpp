// FPU: results worked out by hand for the cases that catch faults (zeros and their signs,
// infinities, NaNs, denormals, rounding ties, the limits of CVT.W.S), the moves that must keep
// NaN bits, compares and the four BC1 branches with their delay slots, and every refused encoding
// with the value it prints.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/machine_fixture.h"

namespace {

constexpr uint64_t kUpperSentinel = 0x5A5A5A5A00000000;

// A COP1 instruction from its fields, for SQRT.S: GNU as encodes it as generic MIPS does (operand
// in fs), while the R5900 reads ft. GNU as calls the R5900's CVT.W.S (funct 0x24, which
// truncates) trunc.w.s and rejects cvt.w.s for the R5900.
constexpr uint32_t cop1(uint32_t format, uint32_t ft, uint32_t fs, uint32_t fd, uint32_t funct) {
  return 0x44000000 | format << 21 | ft << 16 | fs << 11 | fd << 6 | funct;
}
constexpr uint32_t kS = 16, kW = 20;
static_assert(cop1(kS, 3, 2, 1, 0x00) == 0x46031040);  // add.s $f1, $f2, $f3, as GNU as has it
static_assert(cop1(kW, 0, 2, 1, 0x20) == 0x46801060);  // cvt.s.w $f1, $f2
static_assert(cop1(kS, 0, 2, 1, 0x24) == 0x46001064);  // trunc.w.s $f1, $f2
std::string word(uint32_t value) { return ".word " + std::to_string(value); }

// A result that must be a NaN, whichever pattern the host produces for an invalid operation.
constexpr uint64_t kAnyNaN = 1ULL << 32;
bool isNaN(uint32_t bits) { return (bits & 0x7F800000) == 0x7F800000 && (bits & 0x007FFFFF) != 0; }

constexpr uint32_t kOne = 0x3F800000, kTwo = 0x40000000, kMinusOne = 0xBF800000;
constexpr uint32_t kInf = 0x7F800000, kMinusInf = 0xFF800000, kMax = 0x7F7FFFFF;
constexpr uint32_t kMinusZero = 0x80000000, kMinNormal = 0x00800000, kHalf = 0x3F000000;
constexpr uint32_t kQuietNaN = 0x7FC00000, kSignallingNaN = 0x7F800001;

class Cop1Test : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (uint32_t i = 0; i < 32; ++i) upper(i) = kUpperSentinel + i;
  }
  static void expectRefusedWord(uint32_t value, const std::string& line) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << value);
    expectRefused(word(value), line);
  }
  static void expectRefused(const std::string& source, const std::string& line) {
    SCOPED_TRACE(source);
    loadAsm(source);
    machine.PC = kCodeAddress;
    expectFault(runInChild([] { step(); }), line);
  }
};

// fs is $f1, ft is $f2, the result goes to $f3.
TEST_F(Cop1Test, ArithmeticAndConversions) {
  const std::string sqrtS = word(cop1(kS, 2, 1, 3, 0x04));
  const std::string cvtWS = "trunc.w.s $f3, $f1";
  const struct {
    std::string source;
    uint32_t fs, ft;
    uint64_t fd;  // or kAnyNaN
  } cases[] = {
      {"add.s $f3, $f1, $f2", kOne, kTwo, 0x40400000},
      {"add.s $f3, $f1, $f2", kMax, kMax, kInf},  // overflow is not clamped
      {"add.s $f3, $f1, $f2", kInf, kMinusInf, kAnyNaN},
      {"add.s $f3, $f1, $f2", 0, kMinusZero, 0},
      {"add.s $f3, $f1, $f2", kMinusZero, kMinusZero, kMinusZero},
      {"add.s $f3, $f1, $f2", kOne, 0x33800000, kOne},  // 1 + 2^-24: a tie, to even
      {"add.s $f3, $f1, $f2", kOne, 0x33800001, 0x3F800001},
      {"sub.s $f3, $f1, $f2", kOne, kOne, 0},
      {"sub.s $f3, $f1, $f2", kMinusZero, 0, kMinusZero},
      {"sub.s $f3, $f1, $f2", kMinNormal, 0x00000001, 0x007FFFFF},  // denormals are not flushed
      {"sub.s $f3, $f1, $f2", kTwo, kOne, kOne},
      {"mul.s $f3, $f1, $f2", 0, kInf, kAnyNaN},
      {"mul.s $f3, $f1, $f2", kMinusOne, 0, kMinusZero},
      {"mul.s $f3, $f1, $f2", kMinNormal, kHalf, 0x00400000},
      {"mul.s $f3, $f1, $f2", 0x00000001, kHalf, 0},           // half the least denormal: to even
      {"mul.s $f3, $f1, $f2", 0x00000003, kHalf, 0x00000002},  // 1.5 ulp: to even
      {"mul.s $f3, $f1, $f2", kMax, kTwo, kInf},
      {"div.s $f3, $f1, $f2", kOne, 0, kInf},
      {"div.s $f3, $f1, $f2", kMinusOne, 0, kMinusInf},
      {"div.s $f3, $f1, $f2", kOne, kMinusZero, kMinusInf},
      {"div.s $f3, $f1, $f2", 0, 0, kAnyNaN},
      {"div.s $f3, $f1, $f2", kInf, kInf, kAnyNaN},
      {"div.s $f3, $f1, $f2", kOne, kInf, 0},
      {"div.s $f3, $f1, $f2", kOne, 0x40400000, 0x3EAAAAAB},  // 1/3
      // SQRT.S reads ft: fs holds 16.0.
      {sqrtS, 0x41800000, 0xC0800000, kTwo},  // -4: the root of the magnitude
      {sqrtS, 0x41800000, 0x40800000, kTwo},
      {sqrtS, 0x41800000, kTwo, 0x3FB504F3},
      {sqrtS, 0x41800000, kMinusZero, 0},
      {sqrtS, 0x41800000, kMinusInf, kInf},
      {sqrtS, 0x41800000, kQuietNaN, kAnyNaN},
      // The bit operations keep a signalling NaN's bits.
      {"abs.s $f3, $f1", 0xFF800001, 0, kSignallingNaN},
      {"abs.s $f3, $f1", kMinusZero, 0, 0},
      {"abs.s $f3, $f1", kMinusOne, 0, kOne},
      {"neg.s $f3, $f1", kSignallingNaN, 0, 0xFF800001},
      {"neg.s $f3, $f1", 0, 0, kMinusZero},
      {"mov.s $f3, $f1", kSignallingNaN, 0, kSignallingNaN},
      {"mov.s $f3, $f1", 0xFFA00000, 0, 0xFFA00000},
      // CVT.W.S truncates; a biased exponent of 158 or more saturates by the sign alone.
      {cvtWS, 0x4039999A, 0, 2},           // 2.9
      {cvtWS, 0xC039999A, 0, 0xFFFFFFFE},  // -2.9
      {cvtWS, 0xBF000000, 0, 0},           // -0.5
      {cvtWS, 0x00000001, 0, 0},           // a denormal
      {cvtWS, 0x4EFFFFFF, 0, 0x7FFFFF80},  // 2147483520, exponent 157
      {cvtWS, 0xCEFFFFFF, 0, 0x80000080},  // -2147483520
      {cvtWS, 0x4F000000, 0, 0x7FFFFFFF},  // 2^31
      {cvtWS, 0xCF000000, 0, 0x80000000},  // -2^31
      {cvtWS, 0x5F000000, 0, 0x7FFFFFFF},  // 2^63
      {cvtWS, kInf, 0, 0x7FFFFFFF},
      {cvtWS, kMinusInf, 0, 0x80000000},
      {cvtWS, kQuietNaN, 0, 0x7FFFFFFF},
      {cvtWS, 0xFFC00000, 0, 0x80000000},
      // CVT.S.W rounds to nearest, ties to even.
      {"cvt.s.w $f3, $f1", 16777217, 0, 0x4B800000},  // 16777216
      {"cvt.s.w $f3, $f1", 16777219, 0, 0x4B800002},  // 16777220
      {"cvt.s.w $f3, $f1", 0xFFFFFFFF, 0, kMinusOne},
      {"cvt.s.w $f3, $f1", 0x80000000, 0, 0xCF000000},
      {"cvt.s.w $f3, $f1", 0x7FFFFFFF, 0, 0x4F000000},
      {"cvt.s.w $f3, $f1", 0, 0, 0}};
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

// fd may equal a source; each result feeds the next instruction.
TEST_F(Cop1Test, DestinationEqualToSourceAndBackToBack) {
  machine.FPR[1] = 0x3FC00000;  // 1.5
  runAsm("add.s $f1, $f1, $f1\n mul.s $f2, $f1, $f1\n " + word(cop1(kS, 2, 0, 2, 0x04)) +
         "\n neg.s $f2, $f2\n trunc.w.s $f2, $f2\n cvt.s.w $f2, $f2");
  EXPECT_EQ(machine.FPR[1], 0x40400000u);  // 3.0
  EXPECT_EQ(machine.FPR[2], 0xC0400000u);  // sqrt(9) = 3, negated, to -3, and back to -3.0
}

// MFC1 sign-extends the pattern into bits 63..0 and keeps bits 127..64; MTC1 takes bits 31..0.
// The loads and stores and MOV.S pass a signalling NaN through untouched.
TEST_F(Cop1Test, MovesPassBitPatterns) {
  machine.FPR[1] = kMinusOne;
  machine.FPR[2] = kOne;
  reg(8) = 0x123456787FA00000;
  runAsm("mfc1 $t1, $f1\n mfc1 $t2, $f2\n mtc1 $t0, $f3\n mtc1 $zero, $f2");
  EXPECT_EQ(reg(9), 0xFFFFFFFFBF800000u);
  EXPECT_EQ(reg(10), 0x3F800000u);
  EXPECT_EQ(machine.FPR[3], 0x7FA00000u);
  EXPECT_EQ(machine.FPR[2], 0u);
  EXPECT_EQ(upper(9), kUpperSentinel + 9);
  EXPECT_EQ(upper(10), kUpperSentinel + 10);

  std::memcpy(ram(0x300), &kSignallingNaN, 4);
  reg(4) = 0x300;
  runAsm("lwc1 $f5, 0($a0)\n mov.s $f6, $f5\n swc1 $f6, 4($a0)\n mfc1 $t3, $f6\n mtc1 $t3, $f7");
  EXPECT_EQ(ramWord(0x304), kSignallingNaN);
  EXPECT_EQ(machine.FPR[7], kSignallingNaN);
}

// Compares are ordered: a NaN makes both false, and +0 equals -0. The flag is written either way.
TEST_F(Cop1Test, Compares) {
  const struct {
    const char* source;
    uint32_t fs, ft;
    uint8_t flag;
  } cases[] = {{"c.eq.s $f1, $f2", kOne, kOne, 1},
               {"c.eq.s $f1, $f2", 0, kMinusZero, 1},
               {"c.eq.s $f1, $f2", kQuietNaN, kQuietNaN, 0},
               {"c.eq.s $f1, $f2", kSignallingNaN, kSignallingNaN, 0},
               {"c.eq.s $f1, $f2", kOne, kTwo, 0},
               {"c.eq.s $f1, $f2", kInf, kInf, 1},
               {"c.lt.s $f1, $f2", kOne, kTwo, 1},
               {"c.lt.s $f1, $f2", kTwo, kOne, 0},
               {"c.lt.s $f1, $f2", kOne, kOne, 0},
               {"c.lt.s $f1, $f2", kMinusZero, 0, 0},
               {"c.lt.s $f1, $f2", kMinusInf, kInf, 1},
               {"c.lt.s $f1, $f2", 0x00000001, 0x00000002, 1},  // denormals compare as numbers
               {"c.lt.s $f1, $f2", kQuietNaN, kOne, 0},
               {"c.lt.s $f1, $f2", kOne, kQuietNaN, 0},
               {"c.lt.s $f1, $f2", kMinusInf, kQuietNaN, 0}};
  for (const auto& c : cases) {
    for (const uint8_t before : {0, 1}) {
      SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.fs << ", " << c.ft
                                      << " flag before " << int{before});
      machine.FPR[1] = c.fs;
      machine.FPR[2] = c.ft;
      machine.fcc = before;
      runAsm(c.source);
      EXPECT_EQ(machine.fcc, c.flag);
    }
  }
}

// The four branches from the flag a compare leaves (or the flag as set, for an empty compare).
// The delay slot adds 1 to t0, the fall-through instruction 1 to t1, and the target writes
// t2 = t0 + 10, so a taken branch shows that its slot ran before the target.
TEST_F(Cop1Test, BranchesAndTheirDelaySlots) {
  const struct {
    const char* compare;
    uint8_t flag;
    const char* branch;
    uint64_t t0, t1, t2, steps;
  } cases[] = {{"", 0, "bc1f", 1, 0, 11, 2},
               {"", 1, "bc1f", 1, 1, 11, 4},
               {"", 1, "bc1t", 1, 0, 11, 2},
               {"", 0, "bc1t", 1, 1, 11, 4},
               {"", 0, "bc1fl", 1, 0, 11, 2},
               {"", 1, "bc1fl", 0, 1, 10, 3},
               {"", 1, "bc1tl", 1, 0, 11, 2},
               {"", 0, "bc1tl", 0, 1, 10, 3},
               // A NaN operand clears the flag: BC1FL is taken, BC1TL skips its slot.
               {"c.lt.s $f1, $f2\n", 1, "bc1fl", 1, 0, 11, 3},
               {"c.lt.s $f1, $f2\n", 1, "bc1tl", 0, 1, 10, 4},
               {"c.eq.s $f1, $f1\n", 1, "bc1t", 1, 1, 11, 5},
               {"c.eq.s $f2, $f2\n", 0, "bc1t", 1, 0, 11, 3}};
  for (const auto& c : cases) {
    const std::string source = std::string(c.compare) + c.branch +
                               " 1f\n addiu $t0, $t0, 1\n addiu $t1, $t1, 1\n"
                               "1: addiu $t2, $t0, 10";
    SCOPED_TRACE(testing::Message() << source << "\nflag " << int{c.flag});
    machine.FPR[1] = kQuietNaN;
    machine.FPR[2] = kOne;
    machine.fcc = c.flag;
    reg(8) = reg(9) = reg(10) = 0;
    loadAsm(source);
    const uint32_t end = kCodeAddress + (c.compare[0] == '\0' ? 16 : 20);  // after the target
    EXPECT_EQ(runUntil(kCodeAddress, end), c.steps);
    EXPECT_EQ(reg(8), c.t0);
    EXPECT_EQ(reg(9), c.t1);
    EXPECT_EQ(reg(10), c.t2);
  }
}

// The flag is read before the delay slot runs, and a COP1 instruction in the slot (which works on
// the same PC in MachineState) does not disturb the branch. Offsets count from the delay slot,
// backwards too.
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

  loadAsm("b 2f\n nop\n1: addiu $t3, $t3, 1\n b 3f\n nop\n2: bc1tl 1b\n mfc1 $t4, $f1\n3: nop");
  machine.fcc = 1;
  runUntil(kCodeAddress, kCodeAddress + 0x20);
  EXPECT_EQ(reg(11), 1u);
  EXPECT_EQ(reg(12), 0x3F800000u);
}

constexpr uint32_t kAllFields = 0x001FFFFF;  // ft, fs, fd and funct all ones

// Every refused format, BC1 condition, S funct and W funct, with all other fields set; then the
// assembler's mnemonics for some of them.
TEST_F(Cop1Test, EveryRefusal) {
  char line[64];
  for (uint32_t format = 0; format < 32; ++format) {
    if (format == 0 || format == 4 || format == 8 || format == kS || format == kW) continue;
    std::snprintf(line, sizeof line, "Unknown COP1 subOpcode %X\n", format << 21);
    expectRefusedWord(0x44000000 | format << 21 | kAllFields, line);
  }
  for (uint32_t condition = 4; condition < 32; ++condition) {
    std::snprintf(line, sizeof line, "Unknown COP1 BC1 subOpcode %X\n", condition << 16);
    expectRefusedWord(0x44000000 | 8 << 21 | condition << 16 | 0xFFFF, line);
  }
  for (uint32_t funct = 0; funct < 64; ++funct) {
    if (funct <= 7 || funct == 0x24 || funct == 0x32 || funct == 0x34) continue;
    std::snprintf(line, sizeof line, "Unknown COP1 S subOpcode %X\n", funct);
    expectRefusedWord(cop1(kS, 31, 31, 31, funct), line);
  }
  for (uint32_t funct = 0; funct < 64; ++funct) {
    if (funct == 0x20) continue;
    std::snprintf(line, sizeof line, "Unknown COP1 W subOpcode %X\n", funct);
    expectRefusedWord(cop1(kW, 31, 31, 31, funct), line);
  }
  expectRefused("cfc1 $t0, $31", "Unknown COP1 subOpcode 400000\n");
  expectRefused("ctc1 $t0, $31", "Unknown COP1 subOpcode C00000\n");
  expectRefused("c.le.s $f1, $f2", "Unknown COP1 S subOpcode 36\n");
  expectRefused("c.f.s $f1, $f2", "Unknown COP1 S subOpcode 30\n");
  expectRefused("madd.s $f1, $f2, $f3", "Unknown COP1 S subOpcode 1C\n");
  expectRefused("rsqrt.s $f1, $f2, $f3", "Unknown COP1 S subOpcode 16\n");
  expectRefused("max.s $f1, $f2, $f3", "Unknown COP1 S subOpcode 28\n");
}

}  // namespace
