// Component-wise arithmetic of vector unit 0, shared by the macro instructions (COP2) and the
// upper instructions of micro programs: both encode their registers, dest mask and broadcast
// component in the same bits (their fields are in cpu/decode.h).
#pragma once

#include <array>
#include <cstdint>

#include "cop/fp_rules.h"
#include "cpu/decode.h"
#include "cpu/machine_state.h"

namespace r5900::vu {

// Four raw single-precision patterns, x y z w: a copy of a register taken before any destination
// is written, so that a destination may also be a source.
using Vector = std::array<uint32_t, 4>;

inline Vector vf(uint32_t index) { return std::to_array(machine.VF[index]); }
inline Vector acc() { return std::to_array(machine.ACC); }
inline Vector splat(uint32_t value) { return {value, value, value, value}; }
// ft.bc in every component.
inline Vector broadcastFt(uint32_t op) { return splat(machine.VF[ft(op)][bc(op)]); }

template <uint32_t (*operation)(uint32_t, uint32_t)>
Vector eachComponent(const Vector& a, const Vector& b) {
  return {operation(a[0], b[0]), operation(a[1], b[1]), operation(a[2], b[2]),
          operation(a[3], b[3])};
}
inline Vector add(const Vector& a, const Vector& b) { return eachComponent<fpAdd>(a, b); }
inline Vector sub(const Vector& a, const Vector& b) { return eachComponent<fpSub>(a, b); }
inline Vector mul(const Vector& a, const Vector& b) { return eachComponent<fpMul>(a, b); }
// accumulator + a * b, each component rounded once.
inline Vector mulAdd(const Vector& accumulator, const Vector& a, const Vector& b) {
  return {fpMulAdd(accumulator[0], a[0], b[0]), fpMulAdd(accumulator[1], a[1], b[1]),
          fpMulAdd(accumulator[2], a[2], b[2]), fpMulAdd(accumulator[3], a[3], b[3])};
}

// The outer-product pair VOPMULA / VOPMSUB works on x, y and z crosswise: component c takes
// fs.(c + 1) × ft.(c + 2), indices mod 3. w is left to the caller.
inline Vector crossProduct(const Vector& s, const Vector& t) {
  return {fpMul(s[1], t[2]), fpMul(s[2], t[0]), fpMul(s[0], t[1]), 0};
}
inline Vector crossMulSub(const Vector& accumulator, const Vector& s, const Vector& t) {
  return {fpMulSub(accumulator[0], s[1], t[2]), fpMulSub(accumulator[1], s[2], t[0]),
          fpMulSub(accumulator[2], s[0], t[1]), 0};
}

// Writes the components of `value` that the dest mask of `op` selects; the others keep theirs.
inline void storeSelected(uint32_t op, uint32_t* destination, const Vector& value) {
  for (uint32_t c = 0; c < 4; ++c) {
    if (destSelects(op, c)) destination[c] = value[c];
  }
}

}  // namespace r5900::vu
