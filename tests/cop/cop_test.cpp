// The coprocessors: COP0, the FPU (one row per rule that could go wrong), vector unit 0 in macro
// mode and its micro programs; each with its refusals and the value they print.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cop/vu_micro.h"
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

// GNU as encodes SQRT.S as generic MIPS does (operand in fs), while the R5900 reads ft; it calls
// the R5900's CVT.W.S (funct 0x24, which truncates) trunc.w.s.
constexpr uint32_t cop1(uint32_t format, uint32_t ft, uint32_t fs, uint32_t fd, uint32_t funct) {
  return 0x44000000 | format << 21 | ft << 16 | fs << 11 | fd << 6 | funct;
}
constexpr uint32_t kFmtS = 16, kFmtW = 20;
static_assert(cop1(kFmtS, 3, 2, 1, 0x00) == 0x46031040);  // add.s $f1, $f2, $f3, as GNU as has it

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
                    sqrt = printed(".word %u", cop1(kFmtS, 2, 1, 3, 0x04)), abs = "abs.s $f3, $f1",
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
  expectRefusedWord(cop1(kFmtS, 31, 31, 31, 0x1E), "Unknown COP1 S subOpcode 1E\n");
  expectRefusedWord(cop1(kFmtW, 31, 31, 31, 0x3F), "Unknown COP1 W subOpcode 3F\n");
}

// Vector-unit micro instruction words, which GNU as does not assemble. Dest masks: x y z w as bits
// 3..0 (instruction bits 24..21).
constexpr uint32_t kX = 8, kY = 4, kZ = 2, kW = 1, kXyzw = 15;
constexpr uint32_t kEnd = 1u << 30;  // E bit of the upper word

// Bits 31..25, dest, ft/it (20..16), fs/is (15..11), bits 10..0.
constexpr uint32_t word(uint32_t top, uint32_t dest, uint32_t t, uint32_t s, uint32_t low) {
  return top << 25 | dest << 21 | t << 16 | s << 11 | (low & 0x7FF);
}
// Bits 10..0 of an operation: fd/id/sub code and funct.
constexpr uint32_t op(uint32_t d, uint32_t funct) { return d << 6 | funct; }

constexpr uint32_t kLq = 0x00, kIaddiu = 0x08, kFmand = 0x1A, kJr = 0x24, kIbeq = 0x28,
                   kIbne = 0x29, kLowerOp = 0x40;
constexpr uint32_t kAdd = 40, kMul = 42, kSub = 44;

using Cop2Test = MachineTest;
using Floats = std::array<float, 4>;

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr Floats kVf1{1, 2, 3, 4}, kVf2{5, 6, 7, 8}, kAcc{-1, 20, 30, 40};
// (1 + 2^-12)^2 - 1 is 2^-11 + 2^-24; rounding the product to single first would lose the 2^-24.
constexpr Floats kNear1{1 + 0x1p-12f, 0, 0, 0};
constexpr float kRoundedOnce = 0x1p-11f + 0x1p-24f;

// VF1 = kVf1, ACC = kAcc, Q = 0.5 and VF2 as given, then one instruction. No macro instruction
// touches the MAC flags.
TEST_F(Cop2Test, VectorArithmetic) {
  const struct {
    const char* source;
    Floats vf2, vf1After, accAfter;
    float qAfter;
  } cases[] = {
      {"vaddx.xyzw $vf1, $vf1, $vf1", kVf2, {2, 3, 4, 5}, kAcc, 0.5},
      {"vmulx.xyzw $vf1, $vf2, $vf1", kVf2, kVf2, kAcc, 0.5},
      {"vsubw.yz $vf1, $vf1, $vf2", kVf2, {1, -6, -5, 4}, kAcc, 0.5},
      {"vmaddx.x $vf1, $vf2, $vf2", kNear1, {kRoundedOnce, 2, 3, 4}, kAcc, 0.5},
      {"vmulq.xz $vf1, $vf2, $Q", kVf2, {2.5, 2, 3.5, 4}, kAcc, 0.5},
      // VOPMSUB.x and VOPMULA.x: the mask is ignored; fd = fs, so z reads the old fs.x.
      {".word 0x4B02086E", kVf2, {-15, 5, 24, 4}, kAcc, 0.5},
      {".word 0x4B020AFE", kVf2, kVf1, {14, 15, 6, 40}, 0.5},
      {"vmaddaw.yz $ACC, $vf1, $vf2", kVf2, kVf1, {-1, 36, 54, 40}, 0.5},
      {"vmove.xz $vf1, $vf2", kVf2, {5, 2, 7, 4}, kAcc, 0.5},
      {"vmr32.xyzw $vf1, $vf1", kVf2, {2, 3, 4, 1}, kAcc, 0.5},
      {"vdiv $Q, $vf1x, $vf0x", kVf2, kVf1, kAcc, kInfinity},
      {"vsqrt $Q, $vf2z", {0, 0, -16, 0}, kVf1, kAcc, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::memcpy(machine.VF[1], kVf1.data(), 16);
    std::memcpy(machine.VF[2], c.vf2.data(), 16);
    std::memcpy(machine.ACC, kAcc.data(), 16);
    machine.Q = std::bit_cast<uint32_t>(0.5f);
    machine.mac = 0x5A;
    runAsm(c.source);
    EXPECT_EQ(std::bit_cast<Floats>(std::to_array(machine.VF[1])), c.vf1After);
    EXPECT_EQ(std::bit_cast<Floats>(std::to_array(machine.ACC)), c.accAfter);
    EXPECT_EQ(std::bit_cast<float>(machine.Q), c.qAfter);
    EXPECT_EQ(machine.mac, 0x5A);
  }
}

// QMFC2 puts x in bits 31..0 and w in 127..96, QMTC2 takes them back, signalling NaNs included.
// CFC2 sign-extends into bits 63..0 and keeps 127..64; CTC2 writes nothing.
TEST_F(Cop2Test, Moves) {
  const struct {
    const char* source;
    uint64_t lower, upper;
  } cases[] = {{"qmfc2 $t0, $vf2", 0x0000000200000001, 0x0000000400000003},
               {"qmtc2 $t1, $vf1\n qmfc2 $t0, $vf1", 0x7F80000140490FDB, 0xFFFFFFFF00000000},
               {"ctc2 $t1, $vi22\n cfc2 $t0, $vi22", 0xFFFFFFFFBF800000, 0xABCD},
               {"cfc2 $t0, $vi5", 0, 0xABCD},
               {"nop\n cfc2 $t0, $vi31", MachineTest::kCodeAddress + 8, 0xABCD}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const uint32_t vf2[4] = {1, 2, 3, 4};
    std::memcpy(machine.VF[2], vf2, 16);
    machine.Q = 0xBF800000;
    reg(9) = 0x7F80000140490FDB;
    upper(9) = 0xFFFFFFFF00000000;
    upper(8) = 0xABCD;
    runAsm(c.source);
    EXPECT_EQ(reg(8), c.lower);
    EXPECT_EQ(upper(8), c.upper);
  }
  // Words 28 to 30 hold the host bases of RAM, the scratchpad and RAM: CFC2 gives their low words.
  const uint8_t* bases[] = {machine.ramBase, machine.scratchpadBase, machine.ramBase};
  for (uint32_t i = 0; i < 3; ++i) {
    runAsm("cfc2 $t0, $vi" + std::to_string(28 + i));
    EXPECT_EQ(reg(8), signExtend32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bases[i]))));
  }
}

// The operand is a byte address (the word holds it in pairs of 8 bytes). A second call starts
// afresh although the first left the run stopped.
TEST_F(Cop2Test, VcallmsRunsAMicroProgramToItsEnd) {
  const uint32_t pair[2] = {word(kIaddiu, 0, 1, 1, 1), kEnd};
  std::memcpy(machine.microMemory + 0x10, pair, sizeof pair);
  runAsm("vcallms 0x10\n vcallms 0x10");
  EXPECT_EQ(machine.VI[1], 2u);
  EXPECT_EQ(machine.microPc, 0x20u);
}

// Special1 prints funct, Special2 bits 10..6 and 1..0; micro memory is all zero pairs, so a
// called program runs off its end.
TEST_F(Cop2Test, RefusedEncodings) {
  expectRefused("bc2f .", "Unknown COP2 subOpcode\n");
  expectRefusedWord(0x4BFFFFFB, "Unknown COP2 Special1 subOpcode 3B\n");
  expectRefusedWord(0x4BFFFFFF, "Unknown COP2 Special2 subOpcode 7C3\n");
  expectRefused("vcallms 0x10", "VU0 micro PC 1000 outside micro memory\n");
}

struct Pair {
  uint32_t address;
  uint32_t words[2];  // lower, upper
};

class VuMicroTest : public MachineTest {
 protected:
  static void put(const std::vector<Pair>& pairs) {
    for (const Pair& p : pairs) std::memcpy(machine.microMemory + p.address, p.words, 8);
  }
  // The addresses of the pairs a run from `start` executes, in order.
  static std::vector<uint32_t> trace(uint32_t start) {
    machine.microPc = start;
    std::vector<uint32_t> pairs;
    while (machine.microStop == 0 && pairs.size() < 16) {
      pairs.push_back(machine.microPc);
      stepMicroPair();
    }
    return pairs;
  }
};

uint32_t bits(float value) { return std::bit_cast<uint32_t>(value); }

// VI1 set, then the run from the first pair listed; the delay-slot pair runs before the target.
TEST_F(VuMicroTest, PairSequencingAndBranches) {
  const struct {
    std::vector<Pair> program;
    uint32_t vi1;
    std::vector<uint32_t> pairs;
  } cases[] = {
      {{{0x40, 0, kEnd}}, 0, {0x40, 0x48}},
      {{{0x100, word(kIbne, 0, 1, 0, 4), 0}, {0x128, 0, kEnd}}, 1, {0x100, 0x108, 0x128, 0x130}},
      {{{0x100, word(kIbne, 0, 1, 0, 4), kEnd}}, 0, {0x100, 0x108}},
      {{{0x20, word(kIbeq, 0, 1, 1, -1), 0}, {0x28, 0, kEnd}}, 7, {0x20, 0x28, 0x20}},
      {{{0x40, word(kJr, 0, 0, 1, 0), 0}, {0x18, 0, kEnd}}, 3, {0x40, 0x48, 0x18, 0x20}},
      // The second branch, in the first one's delay slot, replaces it.
      {{{0, word(kIbeq, 0, 0, 0, 10), 0}, {8, word(kIbeq, 0, 0, 0, 20), 0}, {0xB0, 0, kEnd}},
       0,
       {0, 8, 0x10, 0xB0, 0xB8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program[0].address);
    SetUp();
    put(c.program);
    machine.VI[1] = c.vi1;
    EXPECT_EQ(trace(c.program[0].address), c.pairs);
  }
}

// One program over VI1 = 5, VI2 = -12, VI4 = 0xFF and MAC flags 0xA5. The upper half of a pair
// sees what its lower half loaded or moved, but VF0 as the constant; the last pair writes VI0.
TEST_F(VuMicroTest, LowerInstructions) {
  const uint32_t vi[5] = {0, 5, static_cast<uint32_t>(-12), 0, 0xFF};
  std::memcpy(machine.VI, vi, sizeof vi);
  machine.mac = 0xA5;
  const uint32_t quadword[4] = {bits(1), bits(2), bits(-3), 0x7F800001};
  std::memcpy(machine.vuDataMemory + 4 * 16, quadword, 16);
  machine.VF[10][1] = bits(-16);
  put({{0, word(kIaddiu, 1, 3, 1, 0), 0},              // bits 24..21 = 0001: + 2048
       {8, word(kLowerOp, 0, 5, 1, op(31, 0x32)), 0},  // IADDI -1
       {16, word(kLowerOp, 0, 2, 1, op(6, 0x30)), 0},  // IADD
       {24, word(kLowerOp, 0, 2, 1, op(7, 0x34)), 0},  // IAND
       {32, word(kFmand, 0, 8, 4, 0), 0},
       {40, word(kLq, kXyzw, 5, 1, -1), word(0, kXyzw, 5, 5, op(6, kAdd))},
       {48, word(kLq, kXyzw, 0, 0, 4), word(0, kXyzw, 0, 0, op(7, kAdd))},
       {56, word(kLowerOp, kX | kW, 8, 5, op(12, 0x3C)), word(0, kX, 8, 8, op(9, kMul))},
       {64, word(kLowerOp, kY, 10, 0, op(14, 0x3D)), word(0, kY, 0, 10, op(11, 32)) | kEnd},
       {72, word(kIaddiu, 0, 0, 1, 7), 0}});
  runMicroProgram(0);
  const std::vector<uint32_t> expected = {
      0, 5, static_cast<uint32_t>(-12), 2053, 0xFF, 4, static_cast<uint32_t>(-7), 4, 0xA5, 0};
  EXPECT_EQ(std::vector<uint32_t>(machine.VI, machine.VI + 10), expected);
  EXPECT_EQ(machine.VF[5][3], 0x7F800001u);  // LQ copies bits
  EXPECT_EQ(machine.VF[6][2], bits(-6));
  EXPECT_EQ(machine.VF[7][3], bits(2));
  EXPECT_EQ(machine.VF[8][3], 0x7F800001u);  // MOVE too
  EXPECT_EQ(machine.VF[9][0], bits(1));
  EXPECT_EQ(machine.VF[11][1], bits(-12));  // ADDq with the Q that SQRT just wrote
}

// One upper instruction with VF1, VF2 and ACC set; flags are x..w zero in bits 3..0 and sign in
// bits 7..4.
TEST_F(VuMicroTest, MacFlags) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    uint32_t upper;
    std::array<float, 4> vf1, vf2;
    uint16_t before, after;
  } cases[] = {
      {word(0, kX | kW, 1, 1, op(3, kSub)), {1.5, 2, 3, -4}, {}, 0xF0, 0x69},
      {word(0, kX, 2, 1, op(3, kMul)), {-1, 0, 0, 0}, {2, 0, 0, 0}, 0x08, 0x80},
      {word(0, kX, 2, 1, op(3, kMul)), {-1, 0, 0, 0}, {0, 0, 0, 0}, 0x80, 0x08},  // -0
      {word(0, kXyzw, 2, 1, op(3, kAdd)), {1, -1, 0, nan}, {}, 0xFF, 0x42},
      {word(0, kW, 2, 1, op(2, 60)), {0, 0, 0, 3}, {-2, 0, 0, 0}, 0x10, 0x01},  // MADDAx, ACC.w 6
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.upper);
    std::memcpy(machine.VF[1], c.vf1.data(), 16);
    std::memcpy(machine.VF[2], c.vf2.data(), 16);
    machine.ACC[3] = bits(6);
    machine.mac = c.before;
    put({{0, 0, c.upper | kEnd}});
    runMicroProgram(0);
    EXPECT_EQ(machine.mac, c.after);
  }
}

TEST_F(VuMicroTest, Refusals) {
  const struct {
    uint32_t lower, upper, vi1;
    const char* line;
  } cases[] = {
      {0x82000000, 0, 0, "Unknown vu0 lower code\n"},
      {word(kLowerOp, 0, 0, 0, op(14, 0x3E)), 0, 0, "Unknown vu0 lower code\n"},
      {word(kLowerOp, 0, 0, 0, op(13, 0x3C)), 0, 0, "Unknown vu0 lower sub code\n"},
      {0, op(0, 62), 0, "Unknown vu0 upper code\n"},
      {0, op(2, 63), 0, ""},  // MADDAw: the machine stops without a word
      {word(kLq, 0, 0, 1, 1), 0, 255, "VU0 LQ address 100 outside data memory\n"},
      {word(kLq, 0, 0, 0, -1), 0, 0, "VU0 LQ address FFFFFFFF outside data memory\n"},
      {word(kJr, 0, 0, 1, 0), 0, 512, "VU0 micro PC 1000 outside micro memory\n"},
      {word(kIbeq, 0, 0, 0, -1), 0, 0, "VU0 micro program did not end within 4194304 pairs\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.lower << " " << c.upper);
    put({{0, c.lower, c.upper}});
    machine.VI[1] = c.vi1;
    expectFault([] { runMicroProgram(0); }, c.line);
  }
}

}  // namespace
}  // namespace r5900
