// Guest loads and stores. Each accessor sets aside the hardware-register window
// (0x10000000-0x12FFFFFF and its uncached mirror 0xB0000000-0xB2FFFFFF), which has no memory
// behind it, and a few fixed addresses with fixed answers; everything else is guest memory,
// little-endian, through translateAddress.
//
// The common case, an access that lies in main RAM, is inlined here; the RAM windows overlap
// none of the special addresses, so testing them first changes no answer.
#pragma once

#include <cstdint>
#include <cstring>

#include "cpu/machine_state.h"

namespace r5900 {

constexpr bool inRegisterWindow(uint32_t address) {
  return (address >= 0x10000000 && address <= 0x12FFFFFF) ||
         (address >= 0xB0000000 && address <= 0xB2FFFFFF);
}
// Bits 24..27 of a window address: 0 general registers, 0x1000000 vector-unit memory,
// 0x2000000 graphics-synthesizer privileged registers.
constexpr uint32_t registerType(uint32_t address) { return address & 0x0F000000; }
constexpr uint32_t registerOffset(uint32_t address) { return address & 0xFFFF; }

template <typename T>
inline T loadLittle(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
template <typename T>
inline void storeLittle(uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

// Loads can be watched: while `loadWatch.bits` is set, every load that lands in main RAM marks the
// bytes it reads at RAM offsets [begin, begin + size), one bit per byte. The packer learns this way
// which words of the archive index the lookups of each category read. Off, it costs one test per
// load.
struct LoadWatch {
  uint64_t* bits = nullptr;
  uint32_t begin = 0;
  uint32_t size = 0;
};
extern LoadWatch loadWatch;
[[gnu::noinline, gnu::cold]] void markLoad(uint32_t address, uint32_t size);
inline void watchLoad(uint32_t address, uint32_t size) {
  if (loadWatch.bits != nullptr) [[unlikely]] {
    markLoad(address, size);
  }
}

[[gnu::noinline, gnu::cold]] uint8_t fetchByteSlow(uint32_t address);
[[gnu::noinline, gnu::cold]] uint16_t fetchHalfWordSlow(uint32_t address);
[[gnu::noinline, gnu::cold]] uint32_t fetchLongIntSlow(uint32_t address);
[[gnu::noinline, gnu::cold]] uint64_t fetchDWordSlow(uint32_t address);
[[gnu::noinline, gnu::cold]] void writeByteSlow(uint32_t address, uint8_t value);
[[gnu::noinline, gnu::cold]] void writeHalfWordSlow(uint32_t address, uint16_t value);
[[gnu::noinline, gnu::cold]] void writeLongIntSlow(uint32_t address, uint32_t value);
[[gnu::noinline, gnu::cold]] void writeDWordSlow(uint32_t address, uint64_t value);

inline uint8_t fetchByte(uint32_t address) {
  if (isRamAccess(address, 1)) {
    watchLoad(address, 1);
    const uint8_t* p = ramAt(address);
    return *p;
  }
  return fetchByteSlow(address);
}
inline uint16_t fetchHalfWord(uint32_t address) {
  if (isRamAccess(address, 2)) {
    watchLoad(address, 2);
    const uint8_t* p = ramAt(address);
    return loadLittle<uint16_t>(p);
  }
  return fetchHalfWordSlow(address);
}
inline uint32_t fetchLongInt(uint32_t address) {
  if (isRamAccess(address, 4)) {
    watchLoad(address, 4);
    const uint8_t* p = ramAt(address);
    return loadLittle<uint32_t>(p);
  }
  return fetchLongIntSlow(address);
}
// The doubleword load: 8 bytes of memory, or inside the register window the 32-bit register
// value sign-extended; the two fixed addresses that fetchLongInt answers with 0 read 0.
inline uint64_t fetchDWord(uint32_t address) {
  if (isRamAccess(address, 8)) {
    watchLoad(address, 8);
    const uint8_t* p = ramAt(address);
    return loadLittle<uint64_t>(p);
  }
  return fetchDWordSlow(address);
}
Reg128 fetchQWord(uint32_t address);
void fetchVectorQWord(uint32_t address, uint32_t vf[4]);

inline void writeByte(uint32_t address, uint8_t value) {
  if (isRamAccess(address, 1)) {
    uint8_t* p = ramAt(address);
    *p = value;
    return;
  }
  writeByteSlow(address, value);
}
inline void writeHalfWord(uint32_t address, uint16_t value) {
  if (isRamAccess(address, 2)) {
    uint8_t* p = ramAt(address);
    storeLittle(p, value);
    return;
  }
  writeHalfWordSlow(address, value);
}
inline void writeLongInt(uint32_t address, uint32_t value) {
  if (isRamAccess(address, 4)) {
    uint8_t* p = ramAt(address);
    storeLittle(p, value);
    return;
  }
  writeLongIntSlow(address, value);
}
inline void writeDWord(uint32_t address, uint64_t value) {
  if (isRamAccess(address, 8)) {
    uint8_t* p = ramAt(address);
    storeLittle(p, value);
    return;
  }
  writeDWordSlow(address, value);
}
void writeQWord(uint32_t address, Reg128 value);

// The hardware registers behind the window.
uint32_t readRegisterLongInt(uint32_t address);
void writeRegisterLongInt(uint32_t offset, uint32_t value);
void writeRegisterQWord(uint32_t offset, Reg128 value);

// The register map as data, so that it can be listed and checked. Offsets are the low 16 bits of
// a general-register address (register type 0).
enum class RegisterRead { Refused, Constant, Shadow };
enum class RegisterWrite { Refused, Dropped, Kept };
struct RegisterReadEntry {
  RegisterRead kind;
  uint32_t value;  // for Constant
};
RegisterReadEntry registerReadEntry(uint32_t offset);
RegisterWrite registerWriteKind(uint32_t offset);
// The shadow word of a register that has one, else nullptr.
uint32_t* shadowWord(uint32_t offset);

}  // namespace r5900
