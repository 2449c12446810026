// Vector unit 0 micro programs: pair sequencing and branches, the lower and upper instructions,
// the MAC flags and the refusals.
#include "cop/vu_micro.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "micro_encoder.h"
#include "support/machine_fixture.h"

namespace r5900 {

namespace {

using namespace micro;

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
