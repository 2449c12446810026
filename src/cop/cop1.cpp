// Floating-point unit (primary opcode 0x11): the moves between general and floating-point
// registers, the branches on the condition flag, and the single-precision (S) and word (W)
// formats. Arithmetic follows fp_rules.h: widen to double, compute, round once to single.
//
// What only moves a value copies its bit pattern as an integer, so a signalling NaN keeps its bits:
// MFC1 and MTC1 here, LWC1 and SWC1 in load_store.cpp, and MOV.S, ABS.S and NEG.S, which copy,
// clear bit 31, or flip bit 31.
#include <cstdint>

#include "cop/fp_rules.h"
#include "cpu/fault.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

using GroupHandler = void (*)(uint32_t op);

constexpr uint32_t kSignBit = 0x80000000;

uint32_t fsValue(uint32_t op) { return machine.FPR[fs(op)]; }
uint32_t ftValue(uint32_t op) { return machine.FPR[ft(op)]; }
void setFd(uint32_t op, uint32_t bits) { machine.FPR[fd(op)] = bits; }

// MFC1 sign-extends the pattern as an integer; MTC1 takes bits 31..0.
void mfc1(uint32_t op) { gprLower(rt(op)) = signExtend32(fsValue(op)); }
void mtc1(uint32_t op) { machine.FPR[fs(op)] = static_cast<uint32_t>(gprLower(rt(op))); }

// The shared branch rule on machine.PC, which holds the delay slot's address: a taken branch runs
// the slot, then moves by the offset; a likely branch not taken skips the slot.
void branchOnFlag(uint32_t op, bool taken, bool likely) {
  machine.PC = branch(op, machine.PC, taken, likely);
}
void bc1f(uint32_t op) { branchOnFlag(op, machine.fcc == 0, false); }
void bc1t(uint32_t op) { branchOnFlag(op, machine.fcc != 0, false); }
void bc1fl(uint32_t op) { branchOnFlag(op, machine.fcc == 0, true); }
void bc1tl(uint32_t op) { branchOnFlag(op, machine.fcc != 0, true); }

void addS(uint32_t op) { setFd(op, fpAdd(fsValue(op), ftValue(op))); }
void subS(uint32_t op) { setFd(op, fpSub(fsValue(op), ftValue(op))); }
void mulS(uint32_t op) { setFd(op, fpMul(fsValue(op), ftValue(op))); }
void divS(uint32_t op) { setFd(op, fpDiv(fsValue(op), ftValue(op))); }
// SQRT.S reads ft, not fs (the R5900 encoding; generic MIPS puts the operand in fs).
void sqrtS(uint32_t op) { setFd(op, fpSqrtOfMagnitude(ftValue(op))); }
void absS(uint32_t op) { setFd(op, fsValue(op) & ~kSignBit); }
void movS(uint32_t op) { setFd(op, fsValue(op)); }
void negS(uint32_t op) { setFd(op, fsValue(op) ^ kSignBit); }
void cvtWS(uint32_t op) { setFd(op, fpToWord(fsValue(op))); }
void cEqS(uint32_t op) { machine.fcc = fpEqual(fsValue(op), ftValue(op)) ? 1 : 0; }
void cLtS(uint32_t op) { machine.fcc = fpLess(fsValue(op), ftValue(op)) ? 1 : 0; }
void cvtSW(uint32_t op) { setFd(op, wordToFp(fsValue(op))); }

[[noreturn]] void refused(uint32_t op) {
  machineFault("Unknown COP1 subOpcode %X\n", op & 0x03E00000);
}
[[noreturn]] void refusedBc1(uint32_t op) {
  machineFault("Unknown COP1 BC1 subOpcode %X\n", op & 0x001F0000);
}
[[noreturn]] void refusedS(uint32_t op) {
  machineFault("Unknown COP1 S subOpcode %X\n", funct(op));
}
[[noreturn]] void refusedW(uint32_t op) {
  machineFault("Unknown COP1 W subOpcode %X\n", funct(op));
}

// The BC1 map, by bits 20..16.
constexpr Opcode<GroupHandler> kBc1List[] = {
    {0, bc1f, "bc1f", Operands::kBranch},
    {1, bc1t, "bc1t", Operands::kBranch},
    {2, bc1fl, "bc1fl", Operands::kBranch},
    {3, bc1tl, "bc1tl", Operands::kBranch},
};
// The S format, by funct. GNU binutils write the R5900's CVT.W.S, which truncates, as trunc.w.s;
// the disassembly follows them. RSQRT, the accumulator forms, MAX, MIN, C.F and C.LE are refused.
constexpr Opcode<GroupHandler> kSList[] = {
    {0x00, addS, "add.s", Operands::kFdFsFt},    {0x01, subS, "sub.s", Operands::kFdFsFt},
    {0x02, mulS, "mul.s", Operands::kFdFsFt},    {0x03, divS, "div.s", Operands::kFdFsFt},
    {0x04, sqrtS, "sqrt.s", Operands::kFdFt},    {0x05, absS, "abs.s", Operands::kFdFs},
    {0x06, movS, "mov.s", Operands::kFdFs},      {0x07, negS, "neg.s", Operands::kFdFs},
    {0x24, cvtWS, "trunc.w.s", Operands::kFdFs}, {0x32, cEqS, "c.eq.s", Operands::kFsFt},
    {0x34, cLtS, "c.lt.s", Operands::kFsFt},
};
// The W format has one instruction.
constexpr Opcode<GroupHandler> kWList[] = {
    {0x20, cvtSW, "cvt.s.w", Operands::kFdFs},
};
constexpr auto kBc1Table = dispatchTable<32>(kBc1List, refusedBc1);
constexpr auto kSTable = dispatchTable<64>(kSList, refusedS);
constexpr auto kWTable = dispatchTable<64>(kWList, refusedW);

void executeBc1(uint32_t op) { kBc1Table[rt(op)](op); }
void executeCop1S(uint32_t op) { kSTable[funct(op)](op); }
void executeCop1W(uint32_t op) { kWTable[funct(op)](op); }
OpcodeName bc1Name(uint32_t op) { return opcodeName(kBc1List, rt(op), op); }
OpcodeName sName(uint32_t op) { return opcodeName(kSList, funct(op), op); }
OpcodeName wName(uint32_t op) { return opcodeName(kWList, funct(op), op); }

// The COP1 map, by rs (the format field). CFC1 and CTC1 are refused.
constexpr Opcode<GroupHandler> kCop1List[] = {
    {0, mfc1, "mfc1", Operands::kRtFs}, {4, mtc1, "mtc1", Operands::kRtFs},
    subMap(8, executeBc1, bc1Name),     subMap(16, executeCop1S, sName),
    subMap(20, executeCop1W, wName),
};
constexpr auto kCop1Table = dispatchTable<32>(kCop1List, refused);

}  // namespace

void executeCop1(uint32_t op) { kCop1Table[rs(op)](op); }
OpcodeName cop1Name(uint32_t op) { return opcodeName(kCop1List, rs(op), op); }

}  // namespace r5900
