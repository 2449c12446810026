// Vector unit 0 in macro mode (primary opcode 0x12): the moves between the main processor and the
// vector unit, the vector floating-point instructions of the Special1 and Special2 maps, and
// VCALLMS, which runs a micro program to its end before the next main-processor instruction.
// No macro instruction touches the MAC flags.
#include "cop/vu_micro.h"
#include "cop/vu_vector.h"
#include "cpu/fault.h"
#include "cpu/step.h"

namespace r5900 {

using vu::acc;
using vu::broadcastFt;
using vu::splat;
using vu::storeSelected;
using vu::Vector;
using vu::vf;

namespace {

using MacroHandler = void (*)(uint32_t op);

// QMFC2: bits 31..0 of the register get x, 63..32 y, 95..64 z, 127..96 w.
void qmfc2(uint32_t op) {
  const Vector v = vf(rd(op));
  machine.GPR[rt(op)] = Reg128{v[2] | uint64_t{v[3]} << 32, v[0] | uint64_t{v[1]} << 32};
}
void qmtc2(uint32_t op) {
  const Reg128 r = machine.GPR[rt(op)];
  uint32_t* v = machine.VF[rd(op)];
  v[0] = static_cast<uint32_t>(r.lower);
  v[1] = static_cast<uint32_t>(r.lower >> 32);
  v[2] = static_cast<uint32_t>(r.upper);
  v[3] = static_cast<uint32_t>(r.upper >> 32);
}

// Control registers 28 to 31 are not storage of their own: 28 and 30 answer the host address of
// main RAM and 29 that of the scratchpad (their low 32 bits), 31 the PC. Q answers as 22.
uint32_t controlWord(uint32_t index) {
  switch (index) {
    case 22: return machine.Q;
    case 28:
    case 30: return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(machine.ramBase));
    case 29: return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(machine.scratchpadBase));
    case 31: return machine.PC;
    default: return machine.controlWords[index];
  }
}
void cfc2(uint32_t op) { gprLower(rt(op)) = signExtend32(controlWord(rd(op))); }
// No control register here takes a write.
void ctc2(uint32_t /*op*/) {}
[[noreturn]] void refusedMove(uint32_t /*op*/) { machineFault("Unknown COP2 subOpcode\n"); }

// The outer-product pair writes x, y and z whatever its dest mask says, and never w.
void storeXyz(uint32_t* destination, const Vector& value) {
  for (uint32_t c = 0; c < 3; ++c) destination[c] = value[c];
}

// Special1, by funct. ft.bc is taken before fd is written, so fd = ft broadcasts the old value.
void vaddbc(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::add(vf(fs(op)), broadcastFt(op)));
}
void vsubbc(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::sub(vf(fs(op)), broadcastFt(op)));
}
void vmaddbc(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::mulAdd(acc(), broadcastFt(op), vf(fs(op))));
}
void vmulbc(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::mul(broadcastFt(op), vf(fs(op))));
}
void vmulq(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::mul(vf(fs(op)), splat(machine.Q)));
}
void vaddq(uint32_t op) {
  storeSelected(op, machine.VF[fd(op)], vu::add(vf(fs(op)), splat(machine.Q)));
}
void vadd(uint32_t op) { storeSelected(op, machine.VF[fd(op)], vu::add(vf(fs(op)), vf(ft(op)))); }
void vmul(uint32_t op) { storeSelected(op, machine.VF[fd(op)], vu::mul(vf(fs(op)), vf(ft(op)))); }
void vsub(uint32_t op) { storeSelected(op, machine.VF[fd(op)], vu::sub(vf(fs(op)), vf(ft(op)))); }
void vopmsub(uint32_t op) {
  storeXyz(machine.VF[fd(op)], vu::crossMulSub(acc(), vf(fs(op)), vf(ft(op))));
}
void vcallms(uint32_t op) { runMicroProgram(microProgramStart(op)); }
[[noreturn]] void refused1(uint32_t op) {
  machineFault("Unknown COP2 Special1 subOpcode %X\n", funct(op));
}

// Special2, by bits 10..6 and bits 1..0. The accumulator forms write ACC, and VMOVE and VMR32
// write ft from fs.
void vmaddabc(uint32_t op) {
  storeSelected(op, machine.ACC, vu::mulAdd(acc(), broadcastFt(op), vf(fs(op))));
}
void vmulabc(uint32_t op) { storeSelected(op, machine.ACC, vu::mul(broadcastFt(op), vf(fs(op)))); }
void vopmula(uint32_t op) { storeXyz(machine.ACC, vu::crossProduct(vf(fs(op)), vf(ft(op)))); }
// VNOP, and VWAITQ: Q is always ready here.
void nothing(uint32_t /*op*/) {}
void vmove(uint32_t op) { storeSelected(op, machine.VF[ft(op)], vf(fs(op))); }
void vmr32(uint32_t op) {
  const Vector s = vf(fs(op));
  storeSelected(op, machine.VF[ft(op)], {s[1], s[2], s[3], s[0]});
}
void vdiv(uint32_t op) {
  machine.Q = fpDiv(machine.VF[fs(op)][fsf(op)], machine.VF[ft(op)][ftf(op)]);
}
void vsqrt(uint32_t op) { machine.Q = fpSqrtOfMagnitude(machine.VF[ft(op)][ftf(op)]); }
[[noreturn]] void refused2(uint32_t op) {
  machineFault("Unknown COP2 Special2 subOpcode %X\n", op & 0x7C3);
}

// Special2, by bits 10..6 and bits 1..0. The other accumulator forms, VITOF, VFTOI, VABS, VCLIP,
// the loads and stores of the vector unit, VRSQRT, the integer moves and the random-number unit
// are refused.
constexpr Opcode<MacroHandler> kSpecial2List[] = {
    {0x08, vmaddabc, "vmaddax", Operands::kAccumulatorBc},
    {0x09, vmaddabc, "vmadday", Operands::kAccumulatorBc},
    {0x0A, vmaddabc, "vmaddaz", Operands::kAccumulatorBc},
    {0x0B, vmaddabc, "vmaddaw", Operands::kAccumulatorBc},
    {0x18, vmulabc, "vmulax", Operands::kAccumulatorBc},
    {0x19, vmulabc, "vmulay", Operands::kAccumulatorBc},
    {0x1A, vmulabc, "vmulaz", Operands::kAccumulatorBc},
    {0x1B, vmulabc, "vmulaw", Operands::kAccumulatorBc},
    {0x2E, vopmula, "vopmula", Operands::kAccumulator},
    {0x2F, nothing, "vnop"},
    {0x30, vmove, "vmove", Operands::kVectorMove},
    {0x31, vmr32, "vmr32", Operands::kVectorMove},
    {0x38, vdiv, "vdiv", Operands::kDivide},
    {0x39, vsqrt, "vsqrt", Operands::kSquareRoot},
    {0x3B, nothing, "vwaitq"},
};
constexpr auto kSpecial2Table = dispatchTable<128>(kSpecial2List, refused2);

void executeVuSpecial2(uint32_t op) { kSpecial2Table[special2Slot(op)](op); }
OpcodeName special2Name(uint32_t op) { return opcodeName(kSpecial2List, special2Slot(op), op); }

// Special1, by funct; a bc form takes four slots, one per broadcast component. The MSUB, MAX and
// MINI forms, the i forms, the q forms other than VMULq and VADDq, the integer operations and
// VCALLMSR are refused.
constexpr Opcode<MacroHandler> kSpecial1List[] = {
    {0x00, vaddbc, "vaddx", Operands::kVectorBc},
    {0x01, vaddbc, "vaddy", Operands::kVectorBc},
    {0x02, vaddbc, "vaddz", Operands::kVectorBc},
    {0x03, vaddbc, "vaddw", Operands::kVectorBc},
    {0x04, vsubbc, "vsubx", Operands::kVectorBc},
    {0x05, vsubbc, "vsuby", Operands::kVectorBc},
    {0x06, vsubbc, "vsubz", Operands::kVectorBc},
    {0x07, vsubbc, "vsubw", Operands::kVectorBc},
    {0x08, vmaddbc, "vmaddx", Operands::kVectorBc},
    {0x09, vmaddbc, "vmaddy", Operands::kVectorBc},
    {0x0A, vmaddbc, "vmaddz", Operands::kVectorBc},
    {0x0B, vmaddbc, "vmaddw", Operands::kVectorBc},
    {0x18, vmulbc, "vmulx", Operands::kVectorBc},
    {0x19, vmulbc, "vmuly", Operands::kVectorBc},
    {0x1A, vmulbc, "vmulz", Operands::kVectorBc},
    {0x1B, vmulbc, "vmulw", Operands::kVectorBc},
    {0x1C, vmulq, "vmulq", Operands::kVectorQ},
    {0x20, vaddq, "vaddq", Operands::kVectorQ},
    {0x28, vadd, "vadd", Operands::kVector},
    {0x2A, vmul, "vmul", Operands::kVector},
    {0x2C, vsub, "vsub", Operands::kVector},
    {0x2E, vopmsub, "vopmsub", Operands::kVector},
    {0x38, vcallms, "vcallms", Operands::kCallMicro},
    subMap(0x3C, executeVuSpecial2, special2Name),
    subMap(0x3D, executeVuSpecial2, special2Name),
    subMap(0x3E, executeVuSpecial2, special2Name),
    subMap(0x3F, executeVuSpecial2, special2Name),
};
constexpr auto kSpecial1Table = dispatchTable<64>(kSpecial1List, refused1);

// The moves between the main processor and the vector unit, by rs (bit 25 clear, so below 16).
// QMFC2 and QMTC2 take any interlock bit; BC2 is refused.
constexpr Opcode<MacroHandler> kMoveList[] = {
    {0x01, qmfc2, "qmfc2", Operands::kRtVf},
    {0x02, cfc2, "cfc2", Operands::kRtVi},
    {0x05, qmtc2, "qmtc2", Operands::kRtVf},
    {0x06, ctc2, "ctc2", Operands::kRtVi},
};
constexpr auto kMoveTable = dispatchTable<16>(kMoveList, refusedMove);

// Bit 25 (CO) set: a vector instruction, whose bits 24..21 are its dest mask.
constexpr uint32_t kCoBit = 1u << 25;

}  // namespace

void executeCop2(uint32_t op) {
  if ((op & kCoBit) != 0) {
    return kSpecial1Table[funct(op)](op);
  }
  kMoveTable[rs(op)](op);
}

OpcodeName cop2Name(uint32_t op) {
  if ((op & kCoBit) != 0) {
    return opcodeName(kSpecial1List, funct(op), op);
  }
  return opcodeName(kMoveList, rs(op), op);
}

}  // namespace r5900
