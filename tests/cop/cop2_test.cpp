// Vector unit 0 in macro mode: aliasing, masks and single rounding of the vector arithmetic, the
// moves, VCALLMS and the refused encodings.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "micro_encoder.h"
#include "support/machine_fixture.h"

namespace r5900 {

namespace {

using Cop2Test = MachineTest;
using Floats = std::array<float, 4>;

constexpr float kInf = std::numeric_limits<float>::infinity();
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
      {"vdiv $Q, $vf1x, $vf0x", kVf2, kVf1, kAcc, kInf},
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
  const uint32_t pair[2] = {micro::word(micro::kIaddiu, 0, 1, 1, 1), micro::kEnd};
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

}  // namespace

}  // namespace r5900
