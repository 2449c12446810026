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

// The BC1 map by bits 20..16.
// clang-format off
constexpr GroupHandler kBc1Table[32] = {
  // 0-7:   BC1F, BC1T, BC1FL, BC1TL, -, -, -, -
  bc1f,       bc1t,       bc1fl,      bc1tl,      refusedBc1, refusedBc1, refusedBc1, refusedBc1,
  // 8-31:  -
  refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1,
  refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1,
  refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1, refusedBc1,
};

// The S format by funct.
constexpr GroupHandler kSTable[64] = {
  // 0-7:   ADD.S, SUB.S, MUL.S, DIV.S, SQRT.S, ABS.S, MOV.S, NEG.S
  addS,     subS,     mulS,     divS,     sqrtS,    absS,     movS,     negS,
  // 8-15:  -
  refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS,
  // 16-23: -, -, -, -, -, -, RSQRT.S, -
  refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS,
  // 24-31: ADDA.S, SUBA.S, MULA.S, -, MADD.S, MSUB.S, MADDA.S, MSUBA.S
  refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS,
  // 32-39: -, -, -, -, CVT.W.S, -, -, -
  refusedS, refusedS, refusedS, refusedS, cvtWS,    refusedS, refusedS, refusedS,
  // 40-47: MAX.S, MIN.S, -, -, -, -, -, -
  refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS,
  // 48-55: C.F.S, -, C.EQ.S, -, C.LT.S, -, C.LE.S, -
  refusedS, refusedS, cEqS,     refusedS, cLtS,     refusedS, refusedS, refusedS,
  // 56-63: -
  refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS, refusedS,
};
// clang-format on
static_assert(kBc1Table[0] == bc1f && kBc1Table[3] == bc1tl && kSTable[0x04] == sqrtS &&
              kSTable[0x07] == negS && kSTable[0x24] == cvtWS && kSTable[0x32] == cEqS &&
              kSTable[0x34] == cLtS);

void executeBc1(uint32_t op) { kBc1Table[rt(op)](op); }
void executeCop1S(uint32_t op) { kSTable[funct(op)](op); }
// The W format has one instruction, CVT.S.W (funct 0x20).
void executeCop1W(uint32_t op) {
  if (funct(op) != 0x20) {
    refusedW(op);
  }
  cvtSW(op);
}

// The COP1 map by rs (the format field).
// clang-format off
constexpr GroupHandler kCop1Table[32] = {
  // 0-7:   MFC1, -, CFC1, -, MTC1, -, CTC1, -
  mfc1,       refused,    refused,    refused,    mtc1,       refused,    refused,    refused,
  // 8-15:  BC1, -, -, -, -, -, -, -
  executeBc1, refused,    refused,    refused,    refused,    refused,    refused,    refused,
  // 16-23: S, -, -, -, W, -, -, -
  executeCop1S, refused,  refused,    refused,    executeCop1W, refused,  refused,    refused,
  // 24-31: -
  refused,    refused,    refused,    refused,    refused,    refused,    refused,    refused,
};
// clang-format on
static_assert(kCop1Table[0] == mfc1 && kCop1Table[4] == mtc1 && kCop1Table[8] == executeBc1 &&
              kCop1Table[16] == executeCop1S && kCop1Table[20] == executeCop1W);

}  // namespace

void executeCop1(uint32_t op) { kCop1Table[rs(op)](op); }
