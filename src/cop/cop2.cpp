// Vector unit 0 in macro mode (primary opcode 0x12): the moves between the main processor and the
// vector unit, the vector floating-point instructions of the Special1 and Special2 maps, and
// VCALLMS, which runs a micro program to its end before the next main-processor instruction.
// No macro instruction touches the MAC flags.
#include "cop/vu_micro.h"
#include "cop/vu_vector.h"
#include "cpu/fault.h"
#include "cpu/step.h"

// The two maps of vector instructions (bit 25 set): Special1 by funct, and Special2, which
// Special1's funct 60 to 63 open.
void executeVuSpecial1(uint32_t op);
void executeVuSpecial2(uint32_t op);

using vu::acc;
using vu::broadcastFt;
using vu::fsf;
using vu::ftf;
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
// The 15-bit immediate in bits 20..6 counts instruction pairs of 8 bytes.
void vcallms(uint32_t op) { runMicroProgram(((op >> 6) & 0x7FFF) * 8); }
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

// clang-format off
constexpr MacroHandler kSpecial1Table[64] = {
  // 0-7:   VADDbc x4, VSUBbc x4
  vaddbc,   vaddbc,   vaddbc,   vaddbc,   vsubbc,   vsubbc,   vsubbc,   vsubbc,
  // 8-15:  VMADDbc x4, VMSUBbc x4 (refused)
  vmaddbc,  vmaddbc,  vmaddbc,  vmaddbc,  refused1, refused1, refused1, refused1,
  // 16-23: VMAXbc, VMINIbc (refused)
  refused1, refused1, refused1, refused1, refused1, refused1, refused1, refused1,
  // 24-31: VMULbc x4, VMULq, VMAXi, VMULi, VMINIi (refused)
  vmulbc,   vmulbc,   vmulbc,   vmulbc,   vmulq,    refused1, refused1, refused1,
  // 32-39: VADDq, VMADDq, VADDi, VMADDi, VSUBq, VMSUBq, VSUBi, VMSUBi (refused)
  vaddq,    refused1, refused1, refused1, refused1, refused1, refused1, refused1,
  // 40-47: VADD, VMADD*, VMUL, VMAX*, VSUB, VMSUB*, VOPMSUB, VMINI* (* refused)
  vadd,     refused1, vmul,     refused1, vsub,     refused1, vopmsub,  refused1,
  // 48-55: VIADD, VISUB, VIADDI, -, VIAND, VIOR, -, - (all refused)
  refused1, refused1, refused1, refused1, refused1, refused1, refused1, refused1,
  // 56-63: VCALLMS, VCALLMSR (refused), -, -, Special2 x4
  vcallms,  refused1, refused1, refused1,
  executeVuSpecial2,  executeVuSpecial2,  executeVuSpecial2,  executeVuSpecial2,
};

// Row n is bits 10..6 = n, the columns bits 1..0.
constexpr MacroHandler kSpecial2Table[128] = {
  refused2, refused2, refused2, refused2,  // 0x00 VADDAbc
  refused2, refused2, refused2, refused2,  // 0x01 VSUBAbc
  vmaddabc, vmaddabc, vmaddabc, vmaddabc,  // 0x02 VMADDAbc
  refused2, refused2, refused2, refused2,  // 0x03 VMSUBAbc
  refused2, refused2, refused2, refused2,  // 0x04 VITOF0, VITOF4, VITOF12, VITOF15
  refused2, refused2, refused2, refused2,  // 0x05 VFTOI0, VFTOI4, VFTOI12, VFTOI15
  vmulabc,  vmulabc,  vmulabc,  vmulabc,   // 0x06 VMULAbc
  refused2, refused2, refused2, refused2,  // 0x07 VMULAq, VABS, VMULAi, VCLIPw
  refused2, refused2, refused2, refused2,  // 0x08 VADDAq, VMADDAq, VADDAi, VMADDAi
  refused2, refused2, refused2, refused2,  // 0x09 VSUBAq, VMSUBAq, VSUBAi, VMSUBAi
  refused2, refused2, refused2, refused2,  // 0x0A VADDA, VMADDA, VMULA, -
  refused2, refused2, vopmula,  nothing,   // 0x0B VSUBA, VMSUBA, VOPMULA, VNOP
  vmove,    vmr32,    refused2, refused2,  // 0x0C VMOVE, VMR32, -, -
  refused2, refused2, refused2, refused2,  // 0x0D VLQI, VSQI, VLQD, VSQD
  vdiv,     vsqrt,    refused2, nothing,   // 0x0E VDIV, VSQRT, VRSQRT, VWAITQ
  refused2, refused2, refused2, refused2,  // 0x0F VMTIR, VMFIR, VILWR, VISWR
  refused2, refused2, refused2, refused2,  // 0x10 VRNEXT, VRGET, VRINIT, VRXOR
  refused2, refused2, refused2, refused2,  // 0x11 to 0x1F: unused
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
  refused2, refused2, refused2, refused2,
};
// clang-format on
static_assert(kSpecial1Table[0x08] == vmaddbc && kSpecial1Table[0x1C] == vmulq &&
              kSpecial1Table[0x20] == vaddq && kSpecial1Table[0x2E] == vopmsub &&
              kSpecial1Table[0x38] == vcallms && kSpecial1Table[0x3C] == executeVuSpecial2);
// Indexed by key: VMADDAx 0x080, VMULAw 0x183, VOPMULA 0x2C2, VMOVE 0x300, VSQRT 0x381.
static_assert(kSpecial2Table[0x080 >> 4] == vmaddabc &&
              kSpecial2Table[(0x180 >> 4) | 3] == vmulabc &&
              kSpecial2Table[(0x2C0 >> 4) | 2] == vopmula && kSpecial2Table[0x300 >> 4] == vmove &&
              kSpecial2Table[(0x380 >> 4) | 1] == vsqrt && kSpecial2Table[0x44] == refused2 &&
              kSpecial2Table[127] == refused2);

}  // namespace

void executeCop2(uint32_t op) {
  switch (rs(op)) {
    case 0x01: return qmfc2(op);  // QMFC2
    case 0x02: return cfc2(op);   // CFC2
    case 0x05: return qmtc2(op);  // QMTC2
    case 0x06: return;            // CTC2: no control register here takes a write
    default: break;
  }
  // Bit 25 (CO) set: a vector instruction. Everything else in rs 0 to 15 (BC2 included) is
  // refused.
  if (rs(op) >= 16) {
    return executeVuSpecial1(op);
  }
  machineFault("Unknown COP2 subOpcode\n");
}

void executeVuSpecial1(uint32_t op) { kSpecial1Table[funct(op)](op); }

// Bits 5..2 are 1111 on every instruction that gets here.
void executeVuSpecial2(uint32_t op) { kSpecial2Table[((op >> 4) & 0x7C) | (op & 3)](op); }
