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
