// Loads and stores of the primary opcode map.
#include "cpu/load_store.h"

#include "cpu/bus.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

// Little-endian unaligned word accesses. k is the byte offset in the aligned word; LWL/SWL work
// on the bytes from the addressed one down to the word's start, LWR/SWR from it up to the end.
constexpr uint32_t kLwlShift[4] = {24, 16, 8, 0};
constexpr uint32_t kLwlMask[4] = {0x00FFFFFF, 0x0000FFFF, 0x000000FF, 0x00000000};
constexpr uint32_t kLwrShift[4] = {0, 8, 16, 24};
constexpr uint32_t kLwrMask[4] = {0x00000000, 0xFF000000, 0xFFFF0000, 0xFFFFFF00};
constexpr uint32_t kSwlMask[4] = {0xFFFFFF00, 0xFFFF0000, 0xFF000000, 0x00000000};
constexpr uint32_t kSwrMask[4] = {0x00000000, 0x000000FF, 0x0000FFFF, 0x00FFFFFF};

// The same for doublewords: shifts 56 - 8k (left forms) and 8k (right forms).
constexpr uint64_t kLdlMask[8] = {0x00FFFFFFFFFFFFFF, 0x0000FFFFFFFFFFFF, 0x000000FFFFFFFFFF,
                                  0x00000000FFFFFFFF, 0x0000000000FFFFFF, 0x000000000000FFFF,
                                  0x00000000000000FF, 0x0000000000000000};
constexpr uint64_t kLdrMask[8] = {0x0000000000000000, 0xFF00000000000000, 0xFFFF000000000000,
                                  0xFFFFFF0000000000, 0xFFFFFFFF00000000, 0xFFFFFFFFFF000000,
                                  0xFFFFFFFFFFFF0000, 0xFFFFFFFFFFFFFF00};
constexpr uint64_t kSdlMask[8] = {0xFFFFFFFFFFFFFF00, 0xFFFFFFFFFFFF0000, 0xFFFFFFFFFF000000,
                                  0xFFFFFFFF00000000, 0xFFFFFF0000000000, 0xFFFF000000000000,
                                  0xFF00000000000000, 0x0000000000000000};
constexpr uint64_t kSdrMask[8] = {0x0000000000000000, 0x00000000000000FF, 0x000000000000FFFF,
                                  0x0000000000FFFFFF, 0x00000000FFFFFFFF, 0x000000FFFFFFFFFF,
                                  0x0000FFFFFFFFFFFF, 0x00FFFFFFFFFFFFFF};

// Each mask keeps exactly the register (loads) or memory (stores) bytes that the shifted value
// does not cover.
constexpr bool masksComplementShifts() {
  for (uint32_t k = 0; k < 4; ++k) {
    const uint32_t ones = 0xFFFFFFFF;
    if ((kLwlMask[k] ^ (ones << kLwlShift[k])) != ones) return false;
    if ((kLwrMask[k] ^ (ones >> kLwrShift[k])) != ones) return false;
    if ((kSwlMask[k] ^ (ones >> kLwlShift[k])) != ones) return false;
    if ((kSwrMask[k] ^ (ones << kLwrShift[k])) != ones) return false;
  }
  for (uint32_t k = 0; k < 8; ++k) {
    const uint64_t ones = ~0ULL;
    if ((kLdlMask[k] ^ (ones << (56 - 8 * k))) != ones) return false;
    if ((kLdrMask[k] ^ (ones >> (8 * k))) != ones) return false;
    if ((kSdlMask[k] ^ (ones >> (56 - 8 * k))) != ones) return false;
    if ((kSdrMask[k] ^ (ones << (8 * k))) != ones) return false;
  }
  return true;
}
static_assert(masksComplementShifts());

// The doubleword forms read memory directly, not through the register stubs.
uint64_t readDWordDirect(uint32_t aligned) {
  watchLoad(aligned, 8);
  return loadLittle<uint64_t>(translateAddress(aligned, 8));
}

uint32_t effectiveAddress(uint32_t op) {
  return static_cast<uint32_t>(gprLower(rs(op))) + static_cast<uint32_t>(simm16(op));
}
uint64_t& target(uint32_t op) { return gprLower(rt(op)); }
uint32_t targetWord(uint32_t op) { return static_cast<uint32_t>(gprLower(rt(op))); }

}  // namespace

uint32_t loadByte(uint32_t op, uint32_t pc) {
  target(op) = static_cast<uint64_t>(int64_t{static_cast<int8_t>(fetchByte(effectiveAddress(op)))});
  return pc;
}
uint32_t loadByteUnsigned(uint32_t op, uint32_t pc) {
  target(op) = fetchByte(effectiveAddress(op));
  return pc;
}
uint32_t loadHalf(uint32_t op, uint32_t pc) {
  target(op) =
      static_cast<uint64_t>(int64_t{static_cast<int16_t>(fetchHalfWord(effectiveAddress(op)))});
  return pc;
}
uint32_t loadHalfUnsigned(uint32_t op, uint32_t pc) {
  target(op) = fetchHalfWord(effectiveAddress(op));
  return pc;
}
uint32_t loadWord(uint32_t op, uint32_t pc) {
  target(op) = signExtend32(fetchLongInt(effectiveAddress(op)));
  return pc;
}
uint32_t loadWordUnsigned(uint32_t op, uint32_t pc) {
  target(op) = fetchLongInt(effectiveAddress(op));
  return pc;
}
uint32_t loadDouble(uint32_t op, uint32_t pc) {
  target(op) = fetchDWord(effectiveAddress(op));
  return pc;
}
// LQ writes all 128 bits; the address is not rounded down to a multiple of 16.
uint32_t loadQuad(uint32_t op, uint32_t pc) {
  machine.GPR[rt(op)] = fetchQWord(effectiveAddress(op));
  return pc;
}
uint32_t loadWordToFpr(uint32_t op, uint32_t pc) {
  machine.FPR[rt(op)] = fetchLongInt(effectiveAddress(op));
  return pc;
}
uint32_t loadQuadToVf(uint32_t op, uint32_t pc) {
  fetchVectorQWord(effectiveAddress(op), machine.VF[rt(op)]);
  return pc;
}

// The unaligned word loads zero-extend their 32-bit result.
uint32_t loadWordLeft(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 3;
  const uint32_t word = fetchLongInt(address & ~3U);
  target(op) = (word << kLwlShift[k]) | (targetWord(op) & kLwlMask[k]);
  return pc;
}
uint32_t loadWordRight(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 3;
  const uint32_t word = fetchLongInt(address & ~3U);
  target(op) = (word >> kLwrShift[k]) | (targetWord(op) & kLwrMask[k]);
  return pc;
}
uint32_t loadDoubleLeft(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 7;
  const uint64_t dword = readDWordDirect(address & ~7U);
  target(op) = (dword << (56 - 8 * k)) | (target(op) & kLdlMask[k]);
  return pc;
}
uint32_t loadDoubleRight(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 7;
  const uint64_t dword = readDWordDirect(address & ~7U);
  target(op) = (dword >> (8 * k)) | (target(op) & kLdrMask[k]);
  return pc;
}

uint32_t storeByte(uint32_t op, uint32_t pc) {
  writeByte(effectiveAddress(op), static_cast<uint8_t>(target(op)));
  return pc;
}
uint32_t storeHalf(uint32_t op, uint32_t pc) {
  writeHalfWord(effectiveAddress(op), static_cast<uint16_t>(target(op)));
  return pc;
}
uint32_t storeWord(uint32_t op, uint32_t pc) {
  writeLongInt(effectiveAddress(op), targetWord(op));
  return pc;
}
uint32_t storeDouble(uint32_t op, uint32_t pc) {
  writeDWord(effectiveAddress(op), target(op));
  return pc;
}
uint32_t storeQuad(uint32_t op, uint32_t pc) {
  writeQWord(effectiveAddress(op), machine.GPR[rt(op)]);
  return pc;
}
uint32_t storeWordFromFpr(uint32_t op, uint32_t pc) {
  writeLongInt(effectiveAddress(op), machine.FPR[rt(op)]);
  return pc;
}
// SQC2 goes straight to memory, not through the register stubs.
uint32_t storeQuadFromVf(uint32_t op, uint32_t pc) {
  uint8_t* p = translateAddress(effectiveAddress(op), 16);
  for (int i = 0; i < 4; ++i) {
    storeLittle(p + 4 * i, machine.VF[rt(op)][i]);
  }
  return pc;
}

uint32_t storeWordLeft(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 3;
  const uint32_t word = fetchLongInt(address & ~3U);
  writeLongInt(address & ~3U, (targetWord(op) >> kLwlShift[k]) | (word & kSwlMask[k]));
  return pc;
}
uint32_t storeWordRight(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 3;
  const uint32_t word = fetchLongInt(address & ~3U);
  writeLongInt(address & ~3U, (targetWord(op) << kLwrShift[k]) | (word & kSwrMask[k]));
  return pc;
}
uint32_t storeDoubleLeft(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 7;
  const uint64_t dword = readDWordDirect(address & ~7U);
  writeDWord(address & ~7U, (target(op) >> (56 - 8 * k)) | (dword & kSdlMask[k]));
  return pc;
}
uint32_t storeDoubleRight(uint32_t op, uint32_t pc) {
  const uint32_t address = effectiveAddress(op);
  const uint32_t k = address & 7;
  const uint64_t dword = readDWordDirect(address & ~7U);
  writeDWord(address & ~7U, (target(op) << (8 * k)) | (dword & kSdrMask[k]));
  return pc;
}

}  // namespace r5900
