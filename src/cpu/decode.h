// Fields of an R5900 instruction word.
#pragma once

#include <cstdint>

constexpr uint32_t opcode(uint32_t op) { return op >> 26; }
constexpr uint32_t rs(uint32_t op) { return (op >> 21) & 31; }
constexpr uint32_t rt(uint32_t op) { return (op >> 16) & 31; }
constexpr uint32_t rd(uint32_t op) { return (op >> 11) & 31; }
constexpr uint32_t sa(uint32_t op) { return (op >> 6) & 31; }
constexpr uint32_t funct(uint32_t op) { return op & 63; }
constexpr uint32_t imm16(uint32_t op) { return op & 0xFFFF; }
constexpr int32_t simm16(uint32_t op) { return static_cast<int16_t>(op & 0xFFFF); }
constexpr uint32_t target26(uint32_t op) { return op & 0x03FFFFFF; }

// The floating-point and vector register fields of the FPU and vector-unit instructions sit where
// rt, rd and sa sit: ft in bits 20..16, fs in 15..11, fd in 10..6.
constexpr uint32_t ft(uint32_t op) { return rt(op); }
constexpr uint32_t fs(uint32_t op) { return rd(op); }
constexpr uint32_t fd(uint32_t op) { return sa(op); }
