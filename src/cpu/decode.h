// Fields of an R5900 instruction word. Only the fields that more than one instruction group reads
// (the disassembler counting as one) are here; a field of one group alone stays with that group.
#pragma once

#include <cstdint>

namespace r5900 {

constexpr uint32_t opcode(uint32_t op) { return op >> 26; }
constexpr uint32_t rs(uint32_t op) { return (op >> 21) & 31; }
constexpr uint32_t rt(uint32_t op) { return (op >> 16) & 31; }
constexpr uint32_t rd(uint32_t op) { return (op >> 11) & 31; }
constexpr uint32_t sa(uint32_t op) { return (op >> 6) & 31; }
constexpr uint32_t funct(uint32_t op) { return op & 63; }
constexpr uint32_t imm16(uint32_t op) { return op & 0xFFFF; }
constexpr int32_t simm16(uint32_t op) { return static_cast<int16_t>(op & 0xFFFF); }
constexpr uint32_t target26(uint32_t op) { return op & 0x03FFFFFF; }
// The code of SYSCALL and BREAK, bits 25..6 (BREAK n calls host service n).
constexpr uint32_t code20(uint32_t op) { return (op >> 6) & 0xFFFFF; }

// The floating-point and vector register fields of the FPU and vector-unit instructions sit where
// rt, rd and sa sit: ft in bits 20..16, fs in 15..11, fd in 10..6.
constexpr uint32_t ft(uint32_t op) { return rt(op); }
constexpr uint32_t fs(uint32_t op) { return rd(op); }
constexpr uint32_t fd(uint32_t op) { return sa(op); }

// Vector-unit fields, laid out alike in the macro instructions (COP2) and in the upper
// instructions of micro programs.
//
// The dest mask: bit 24 selects x, 23 y, 22 z, 21 w.
constexpr bool destSelects(uint32_t op, uint32_t component) {
  return ((op >> (24 - component)) & 1) != 0;
}
// The broadcast component of the bc forms: 0 x, 1 y, 2 z, 3 w.
constexpr uint32_t bc(uint32_t op) { return op & 3; }
// One component of ft or fs, for the forms that name one (VDIV, VSQRT, SQRT).
constexpr uint32_t ftf(uint32_t op) { return (op >> 23) & 3; }
constexpr uint32_t fsf(uint32_t op) { return (op >> 21) & 3; }
// Funct 60 to 63 open a second map, indexed by bits 10..6 above bits 1..0 (bits 5..2 are 1111
// on every instruction that gets there): the Special2 map of the macro instructions and the
// accumulator forms of the micro upper map.
constexpr uint32_t special2Slot(uint32_t op) { return ((op >> 4) & 0x7C) | bc(op); }
// VCALLMS: the 15-bit immediate in bits 20..6 counts instruction pairs of 8 bytes.
constexpr uint32_t microProgramStart(uint32_t op) { return ((op >> 6) & 0x7FFF) * 8; }

}  // namespace r5900
