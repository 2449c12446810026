// The micro-program runner of vector unit 0 and the part of the micro instruction set it accepts.
// Lower instructions work on the integer registers VI, load from data memory, branch, move and
// take square roots; upper instructions do the floating-point arithmetic and set the MAC flags.
#include "cop/vu_micro.h"

#include "cop/vu_vector.h"
#include "cpu/bus.h"
#include "cpu/decode.h"
#include "cpu/fault.h"
#include "cpu/opcode_table.h"

namespace r5900 {

using vu::acc;
using vu::broadcastFt;
using vu::splat;
using vu::Vector;
using vu::vf;

namespace {

// Bit 30 of the upper word is the E bit: the program stops after the pair that follows.
constexpr uint32_t kEndBit = 1u << 30;
constexpr uint32_t kPairSize = 8;
constexpr uint32_t kDataQuadwords = kVuDataMemorySize / 16;
// A program that loops inside micro memory without an E bit is stopped after this many pairs
// rather than hanging the main processor, which waits for it.
constexpr uint32_t kMicroPairLimit = 1u << 22;

// A taken branch moves the state to kBranchTaken; the end of that pair makes the next pair its
// delay slot, and the end of the delay slot makes the jump.
enum BranchState : uint8_t { kNoBranch = 0, kBranchTaken = 1, kInDelaySlot = 2 };

// VF0 and VI0 read as constants: whatever an instruction wrote to them is gone before the next
// half of a pair runs.
void resetConstantRegisters() {
  resetVf0();
  machine.VI[0] = 0;
}

// Lower-instruction fields. it, is and id sit where ft, fs and fd sit in the upper word.
uint32_t& it(uint32_t op) { return machine.VI[ft(op)]; }
uint32_t& is(uint32_t op) { return machine.VI[fs(op)]; }
uint32_t& id(uint32_t op) { return machine.VI[fd(op)]; }
// Bits 10..0, signed.
uint32_t imm11(uint32_t op) { return static_cast<uint32_t>(static_cast<int32_t>(op << 21) >> 21); }
// Bits 10..6, signed.
uint32_t imm5(uint32_t op) { return static_cast<uint32_t>(static_cast<int32_t>(op << 21) >> 27); }
// Unsigned 15 bits: bits 24..21 of the word on top of bits 10..0.
uint32_t imm15(uint32_t op) { return ((op >> 10) & 0x7800) | (op & 0x7FF); }

void branchTo(uint32_t target) {
  machine.microBranchTarget = target;
  machine.microBranchState = kBranchTaken;
}

// LQ: quadword VI[is] + imm11 of data memory; its words are x, y, z, w.
void lq(uint32_t op) {
  const uint32_t index = is(op) + imm11(op);
  if (index >= kDataQuadwords) {
    machineFault("VU0 LQ address %X outside data memory\n", index);
  }
  const uint8_t* quadword = machine.vuDataMemory + index * 16;
  Vector value;
  for (uint32_t c = 0; c < 4; ++c) value[c] = loadLittle<uint32_t>(quadword + 4 * c);
  vu::storeSelected(op, machine.VF[ft(op)], value);
}
void iaddiu(uint32_t op) { it(op) = is(op) + imm15(op); }
void fmand(uint32_t op) { it(op) = is(op) & machine.mac; }
// Jump targets count pairs; branch offsets count pairs from the pair after the branch, where the
// micro PC already points.
void jr(uint32_t op) { branchTo(is(op) * kPairSize); }
void ibeq(uint32_t op) {
  if (it(op) == is(op)) branchTo(machine.microPc + imm11(op) * kPairSize);
}
void ibne(uint32_t op) {
  if (it(op) != is(op)) branchTo(machine.microPc + imm11(op) * kPairSize);
}

// Opcode 0x40, by funct. MOVE, SQRT and WAITQ share their funct with other instructions that
// bits 10..6 tell apart.
void requireSubCode(uint32_t op, uint32_t code) {
  if (fd(op) != code) {
    machineFault("Unknown vu0 lower sub code\n");
  }
}
void iadd(uint32_t op) { id(op) = it(op) + is(op); }
void iaddi(uint32_t op) { it(op) = is(op) + imm5(op); }
void iand(uint32_t op) { id(op) = it(op) & is(op); }
void move(uint32_t op) {
  requireSubCode(op, 12);
  vu::storeSelected(op, machine.VF[ft(op)], vf(fs(op)));
}
void squareRoot(uint32_t op) {
  requireSubCode(op, 14);
  machine.Q = fpSqrtOfMagnitude(machine.VF[ft(op)][ftf(op)]);
}
// Q is always ready here.
void waitq(uint32_t op) { requireSubCode(op, 14); }
[[noreturn]] void refusedLower(uint32_t /*op*/) { machineFault("Unknown vu0 lower code\n"); }

using MicroHandler = void (*)(uint32_t op);
constexpr Opcode<MicroHandler> kLowerOperationList[] = {
    {0x30, iadd, "iadd"}, {0x32, iaddi, "iaddi"},     {0x34, iand, "iand"},
    {0x3C, move, "move"}, {0x3D, squareRoot, "sqrt"}, {0x3F, waitq, "waitq"},
};
constexpr auto kLowerOperationTable = dispatchTable<64>(kLowerOperationList, refusedLower);
void lowerOperation(uint32_t op) { kLowerOperationTable[funct(op)](op); }

// The lower map, by bits 31..25. Words from 0x82000000 up have more than bit 31 set there and are
// no lower instruction.
constexpr Opcode<MicroHandler> kLowerList[] = {
    {0x00, lq, "lq"},
    {0x08, iaddiu, "iaddiu"},
    {0x1A, fmand, "fmand"},
    {0x24, jr, "jr"},
    {0x28, ibeq, "ibeq"},
    {0x29, ibne, "ibne"},
    {0x40, lowerOperation, nullptr},  // the operations, by funct
};
constexpr auto kLowerTable = dispatchTable<128>(kLowerList, refusedLower);

// Upper instructions store their selected components, each followed by its flags, x to w.
void storeWithFlags(uint32_t op, uint32_t* destination, const Vector& value) {
  for (uint32_t c = 0; c < 4; ++c) {
    if (destSelects(op, c)) {
      destination[c] = value[c];
      updateMacFlags(c, value[c]);
    }
  }
}
void addbc(uint32_t op) {
  storeWithFlags(op, machine.VF[fd(op)], vu::add(vf(fs(op)), broadcastFt(op)));
}
void subbc(uint32_t op) {
  storeWithFlags(op, machine.VF[fd(op)], vu::sub(vf(fs(op)), broadcastFt(op)));
}
void maddbc(uint32_t op) {
  storeWithFlags(op, machine.VF[fd(op)], vu::mulAdd(acc(), broadcastFt(op), vf(fs(op))));
}
void addq(uint32_t op) {
  storeWithFlags(op, machine.VF[fd(op)], vu::add(vf(fs(op)), splat(machine.Q)));
}
void add(uint32_t op) { storeWithFlags(op, machine.VF[fd(op)], vu::add(vf(fs(op)), vf(ft(op)))); }
void mul(uint32_t op) { storeWithFlags(op, machine.VF[fd(op)], vu::mul(vf(fs(op)), vf(ft(op)))); }
void sub(uint32_t op) { storeWithFlags(op, machine.VF[fd(op)], vu::sub(vf(fs(op)), vf(ft(op)))); }

// Funct 60 to 63 open a second map, keyed by bits 10..6 and the bc bits, of which only these
// forms are accepted; the others stop the machine without a word: they throw a silent
// MachineFault, which the front end catches at its top and prints nothing for.
void maddabc(uint32_t op) {
  storeWithFlags(op, machine.ACC, vu::mulAdd(acc(), broadcastFt(op), vf(fs(op))));
}
void mulabc(uint32_t op) { storeWithFlags(op, machine.ACC, vu::mul(broadcastFt(op), vf(fs(op)))); }
void nop(uint32_t /*op*/) {}
[[noreturn]] void stopSilently(uint32_t /*op*/) { machineStopSilently(); }
constexpr Opcode<MicroHandler> kAccumulatorList[] = {
    {0x08, maddabc, "maddax"}, {0x09, maddabc, "madday"}, {0x18, mulabc, "mulax"},
    {0x1B, mulabc, "mulaw"},   {0x2F, nop, "nop"},
};
constexpr auto kAccumulatorTable = dispatchTable<128>(kAccumulatorList, stopSilently);
void accumulatorForms(uint32_t op) { kAccumulatorTable[special2Slot(op)](op); }
[[noreturn]] void refusedUpper(uint32_t /*op*/) { machineFault("Unknown vu0 upper code\n"); }

// The upper map, by funct; a bc form takes four slots. Refused: the MSUB, MAX, MINI and MUL bc
// forms, every i form, the q forms but ADDq, MADD, MSUB, MAX, MINI, OPMSUB, and the accumulator
// forms by z.
constexpr Opcode<MicroHandler> kUpperList[] = {
    {0, addbc, "addx"},
    {1, addbc, "addy"},
    {2, addbc, "addz"},
    {3, addbc, "addw"},
    {4, subbc, "subx"},
    {5, subbc, "suby"},
    {6, subbc, "subz"},
    {7, subbc, "subw"},
    {8, maddbc, "maddx"},
    {9, maddbc, "maddy"},
    {10, maddbc, "maddz"},
    {11, maddbc, "maddw"},
    {32, addq, "addq"},
    {40, add, "add"},
    {42, mul, "mul"},
    {44, sub, "sub"},
    // The accumulator forms, by bits 10..6 and the bc bits.
    {60, accumulatorForms, nullptr},
    {61, accumulatorForms, nullptr},
    {63, accumulatorForms, nullptr},
};
constexpr auto kUpperTable = dispatchTable<64>(kUpperList, refusedUpper);

}  // namespace

void runMicroProgram(uint32_t start) {
  machine.microBranchState = kNoBranch;
  machine.microEndSeen = 0;
  machine.microStop = 0;
  machine.microPc = start;
  uint32_t pairs = 0;
  do {
    if (pairs++ == kMicroPairLimit) {
      machineFault("VU0 micro program did not end within %u pairs\n", kMicroPairLimit);
    }
    stepMicroPair();
  } while (machine.microStop == 0);
}

void stepMicroPair() {
  const uint32_t pc = machine.microPc;
  if (pc > kMicroMemorySize - kPairSize) {
    machineFault("VU0 micro PC %X outside micro memory\n", pc);
  }
  const uint32_t lower = loadLittle<uint32_t>(machine.microMemory + pc);
  const uint32_t upper = loadLittle<uint32_t>(machine.microMemory + pc + 4);
  machine.microPc = pc + kPairSize;
  resetConstantRegisters();
  executeMicroLower(lower);
  // The upper half sees what the lower half wrote, except to VF0 and VI0.
  resetConstantRegisters();
  executeMicroUpper(upper);

  if (machine.microBranchState == kInDelaySlot) {
    machine.microPc = machine.microBranchTarget;
    machine.microBranchState = kNoBranch;
  } else if (machine.microBranchState == kBranchTaken) {
    machine.microBranchState = kInDelaySlot;
  }
  if (machine.microEndSeen != 0) {
    machine.microStop = 1;
  }
  if ((upper & kEndBit) != 0) {
    machine.microEndSeen = 1;
  }
}

void executeMicroLower(uint32_t word) {
  machine.VI[0] = 0;
  kLowerTable[word >> 25](word);
}

// Bits 31 and 29..27 (and the E bit) take no part in the decoding.
void executeMicroUpper(uint32_t word) { kUpperTable[funct(word)](word); }

// MAC flag word: bit 3 - c is the zero flag and bit 7 - c the sign flag of component c. -0
// counts as zero and not negative; a NaN as neither.
void updateMacFlags(uint32_t component, uint32_t value) {
  const auto zero = static_cast<uint16_t>(1u << (3 - component));
  const auto sign = static_cast<uint16_t>(1u << (7 - component));
  uint16_t flags = machine.mac & static_cast<uint16_t>(~(zero | sign));
  if (fpEqual(value, 0)) flags |= zero;
  if (fpLess(value, 0)) flags |= sign;
  machine.mac = flags;
}

}  // namespace r5900
