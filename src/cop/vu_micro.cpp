// The micro-program runner of vector unit 0 and the part of the micro instruction set it accepts.
// Lower instructions work on the integer registers VI, load from data memory, branch, move and
// take square roots; upper instructions do the floating-point arithmetic and set the MAC flags.
#include "cop/vu_micro.h"

#include "cop/vu_vector.h"
#include "cpu/bus.h"
#include "cpu/decode.h"
#include "cpu/fault.h"

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
  machine.Q = fpSqrtOfMagnitude(machine.VF[ft(op)][vu::ftf(op)]);
}
// Q is always ready here.
void waitq(uint32_t op) { requireSubCode(op, 14); }
void lowerOperation(uint32_t op) {
  switch (funct(op)) {
    case 0x30: return iadd(op);
    case 0x32: return iaddi(op);
    case 0x34: return iand(op);
    case 0x3C: return move(op);
    case 0x3D: return squareRoot(op);
    case 0x3F: return waitq(op);
    default: break;
  }
  machineFault("Unknown vu0 lower code\n");
}

// Upper instructions store their selected components, each followed by its flags, x to w.
void storeWithFlags(uint32_t op, uint32_t* destination, const Vector& value) {
  for (uint32_t c = 0; c < 4; ++c) {
    if (vu::destSelects(op, c)) {
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
// forms are accepted; the others end the process without a word.
void accumulatorForms(uint32_t op) {
  switch (((op >> 4) & 0x7C) | vu::bc(op)) {
    case 0x08:  // MADDAx
    case 0x09:  // MADDAy
      return storeWithFlags(op, machine.ACC, vu::mulAdd(acc(), broadcastFt(op), vf(fs(op))));
    case 0x18:  // MULAx
    case 0x1B:  // MULAw
      return storeWithFlags(op, machine.ACC, vu::mul(broadcastFt(op), vf(fs(op))));
    case 0x2F: return;  // NOP
    default: break;
  }
  machineStopSilently();
}
[[noreturn]] void refusedUpper(uint32_t /*op*/) { machineFault("Unknown vu0 upper code\n"); }

using UpperHandler = void (*)(uint32_t op);
// clang-format off
constexpr UpperHandler kUpperTable[64] = {
  // 0-7:   ADDbc x4, SUBbc x4
  addbc,           addbc,           addbc,        addbc,
  subbc,           subbc,           subbc,        subbc,
  // 8-15:  MADDbc x4, MSUBbc x4 (refused)
  maddbc,          maddbc,          maddbc,       maddbc,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  // 16-31: MAXbc, MINIbc, MULbc, MULq, MAXi, MULi, MINIi (refused)
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  // 32-39: ADDq, then MADDq, ADDi, MADDi, SUBq, MSUBq, SUBi, MSUBi (refused)
  addq,            refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  // 40-47: ADD, MADD (refused), MUL, MAX (refused), SUB, MSUB, OPMSUB, MINI (refused)
  add,             refusedUpper,    mul,          refusedUpper,
  sub,             refusedUpper,    refusedUpper, refusedUpper,
  // 48-59: unused
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  refusedUpper,    refusedUpper,    refusedUpper, refusedUpper,
  // 60-63: the accumulator forms by x, y, z (refused) and w
  accumulatorForms, accumulatorForms, refusedUpper, accumulatorForms,
};
// clang-format on
static_assert(kUpperTable[8] == maddbc && kUpperTable[32] == addq && kUpperTable[40] == add &&
              kUpperTable[44] == sub && kUpperTable[62] == refusedUpper &&
              kUpperTable[63] == accumulatorForms);

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

// By bits 31..25. Words from 0x82000000 up have more than bit 31 set there and are no lower
// instruction.
void executeMicroLower(uint32_t word) {
  machine.VI[0] = 0;
  switch (word >> 25) {
    case 0x00: return lq(word);
    case 0x08: return iaddiu(word);
    case 0x1A: return fmand(word);
    case 0x24: return jr(word);
    case 0x28: return ibeq(word);
    case 0x29: return ibne(word);
    case 0x40: return lowerOperation(word);
    default: break;
  }
  machineFault("Unknown vu0 lower code\n");
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
