// Packs vector-unit micro instruction words, which GNU as does not assemble.
#pragma once

#include <cstdint>

namespace micro {

// Dest masks, x y z w as bits 3..0 (instruction bits 24..21).
constexpr uint32_t kX = 8, kY = 4, kZ = 2, kW = 1, kXyzw = 15;
constexpr uint32_t kEnd = 1u << 30;  // E bit of the upper word

// Bits 31..25, dest, ft/it (20..16), fs/is (15..11), bits 10..0.
constexpr uint32_t word(uint32_t top, uint32_t dest, uint32_t t, uint32_t s, uint32_t low) {
  return top << 25 | dest << 21 | t << 16 | s << 11 | (low & 0x7FF);
}
// Bits 10..0 of an operation: fd/id/sub code and funct.
constexpr uint32_t op(uint32_t d, uint32_t funct) { return d << 6 | funct; }

constexpr uint32_t kLq = 0x00, kIaddiu = 0x08, kFmand = 0x1A, kJr = 0x24, kIbeq = 0x28,
                   kIbne = 0x29, kLowerOp = 0x40;
constexpr uint32_t kAdd = 40, kMul = 42, kSub = 44;

}  // namespace micro
