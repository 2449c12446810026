// The floating-point rules shared by the FPU, the vector unit's macro instructions and its micro
// programs. Registers hold raw single-precision bit patterns. An arithmetic operation widens its
// operands to double, computes in double and rounds once to single (to nearest, ties to even)
// when the result is stored. A product of two singles is exact in double, so a multiply-add forms
// its sum from the unrounded product. Infinities, NaNs and denormals are whatever the host's IEEE
// arithmetic gives; nothing is clamped or flushed, and no exception is raised.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

namespace r5900 {

// Single and double arithmetic must be done as written: no x87 extended precision (which would
// round twice differently) and no fused multiply-add (the build turns contraction off).
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must be evaluated in its own type");

// The register's bits as a float and back. (__builtin_bit_cast rather than std::bit_cast: the
// C++ library of the WebAssembly build's compiler has no std::bit_cast yet.)
inline float singleOf(uint32_t bits) { return __builtin_bit_cast(float, bits); }
inline uint32_t singleBits(float value) { return __builtin_bit_cast(uint32_t, value); }
inline double widen(uint32_t bits) { return static_cast<double>(singleOf(bits)); }
inline uint32_t roundToSingle(double value) { return singleBits(static_cast<float>(value)); }

inline uint32_t fpAdd(uint32_t a, uint32_t b) { return roundToSingle(widen(a) + widen(b)); }
inline uint32_t fpSub(uint32_t a, uint32_t b) { return roundToSingle(widen(a) - widen(b)); }
inline uint32_t fpMul(uint32_t a, uint32_t b) { return roundToSingle(widen(a) * widen(b)); }
inline uint32_t fpDiv(uint32_t a, uint32_t b) { return roundToSingle(widen(a) / widen(b)); }

// acc + a * b and acc - a * b, the product kept exact until the sum is rounded.
inline uint32_t fpMulAdd(uint32_t acc, uint32_t a, uint32_t b) {
  return roundToSingle(widen(acc) + widen(a) * widen(b));
}
inline uint32_t fpMulSub(uint32_t acc, uint32_t a, uint32_t b) {
  return roundToSingle(widen(acc) - widen(a) * widen(b));
}

// The square root of the magnitude: a negative operand gives the root of its absolute value,
// never a NaN.
inline uint32_t fpSqrtOfMagnitude(uint32_t a) {
  return roundToSingle(std::sqrt(std::fabs(widen(a))));
}

// Ordered compares: a NaN operand makes both false; +0 and -0 are equal.
inline bool fpEqual(uint32_t a, uint32_t b) { return widen(a) == widen(b); }
inline bool fpLess(uint32_t a, uint32_t b) { return widen(a) < widen(b); }

// Single to signed 32-bit integer. A biased exponent of 158 or more (magnitude 2^31 and above,
// infinities and NaNs too) saturates by the sign bit alone, so -2^31 gives 0x80000000 as well;
// everything else truncates toward zero.
inline uint32_t fpToWord(uint32_t a) {
  if ((a & 0x7F800000) > 0x4E800000) {
    return (a & 0x80000000) != 0 ? 0x80000000 : 0x7FFFFFFF;
  }
  return static_cast<uint32_t>(static_cast<int32_t>(singleOf(a)));
}

// Signed 32-bit integer to single, rounded to nearest, ties to even (16777217 gives 16777216).
inline uint32_t wordToFp(uint32_t word) {
  return roundToSingle(static_cast<double>(static_cast<int32_t>(word)));
}

}  // namespace r5900
