// The one emulated R5900: registers, coprocessor state, hardware-register shadow words and the
// host addresses of guest memory. Everything is zero at process start.
#pragma once

#include <bit>
#include <cstdint>

namespace r5900 {

static_assert(
    std::endian::native == std::endian::little,
    "guest memory is accessed with host loads and stores; the host must be little-endian");

// A 128-bit general-purpose register as the machine stores it: bits 64..127 first, then bits
// 0..63. Every 32- and 64-bit instruction works on `lower` only.
struct Reg128 {
  uint64_t upper;
  uint64_t lower;
};

// Hardware registers that remember the last value written to them (see bus.h for the rest of the
// register map). Offsets are the low 16 bits of the register address.
struct HardwareShadow {
  uint32_t vif1Stat;  // 0x3C00 VIF1_STAT
  uint32_t sif1Chcr;  // 0xC400 channel 6 (SIF1) CHCR
  uint32_t sif1Qwc;   // 0xC420 channel 6 QWC
  uint32_t sif1Tadr;  // 0xC430 channel 6 TADR
  uint32_t dCtrl;     // 0xE000 D_CTRL
  uint32_t dStat;     // 0xE010 D_STAT
  uint32_t dPcr;      // 0xE020 D_PCR
  uint32_t dSqwc;     // 0xE030 D_SQWC
  uint32_t dRbsr;     // 0xE040 D_RBSR
  uint32_t dRbor;     // 0xE050 D_RBOR
  uint32_t intcStat;  // 0xF000 INTC_STAT
  uint32_t intcMask;  // 0xF010 INTC_MASK
  uint32_t mchF430;   // 0xF430 memory controller
  uint32_t mchF440;   // 0xF440 memory controller
};

// BREAK n calls host service n. A service reads and writes MachineState directly.
using HostService = void (*)();
struct HostServiceRecord {
  HostService service;
};
constexpr uint32_t kHostServiceCount = 64;

constexpr uint32_t kMicroMemorySize = 4096;
constexpr uint32_t kVuDataMemorySize = 4096;
constexpr uint32_t kOneAsFloatBits = 0x3F800000;  // 1.0f

struct MachineState {
  // Integer core.
  uint32_t SA;
  Reg128 HI;  // lower half is HI, upper half HI1
  Reg128 LO;  // lower half is LO, upper half LO1
  Reg128 GPR[32];
  uint32_t PC;

  // System control coprocessor: 32 registers of 64 bits. Reads of Count (9) come from `count`.
  uint64_t cop0[32];
  uint64_t count;

  // Floating-point unit: raw single-precision bit patterns and the condition flag.
  uint32_t FPR[32];
  uint8_t fcc;

  // Vector unit 0. VF components are kept as raw bit patterns, x y z w.
  uint32_t VF[32][4];
  uint32_t VI[32];
  uint32_t ACC[4];
  uint32_t Q;
  uint16_t mac;
  uint32_t microPc;
  uint32_t microBranchTarget;
  uint8_t microBranchState;
  uint8_t microEndSeen;
  uint8_t microStop;
  uint8_t microMemory[kMicroMemorySize];
  uint8_t vuDataMemory[kVuDataMemorySize];

  // Control words that CFC2 reads; 0..27 are plain storage, 28..31 are answered from the bases
  // and the PC.
  uint32_t controlWords[32];

  // Host addresses of guest memory, set once when it is allocated.
  uint8_t* ramBase;
  uint8_t* scratchpadBase;

  HardwareShadow shadow;
  HostServiceRecord hostServices[kHostServiceCount];
};

extern MachineState machine;

// Guest memory: main RAM and the scratchpad.
constexpr uint32_t kRamSize = 0x2000000;  // 32 MiB
constexpr uint32_t kRamMask = kRamSize - 1;
constexpr uint32_t kScratchpadBase = 0x70000000;
constexpr uint32_t kScratchpadSize = 0x4000;  // 16 KiB
constexpr uint32_t kScratchpadMask = kScratchpadSize - 1;

// Allocates RAM and scratchpad (zero-filled) once and records their bases in `machine`. Returns
// false when the host is out of memory; nothing is recorded then.
bool allocateGuestMemory();

// Takes `ram` (kRamSize bytes) and `scratchpad` (kScratchpadSize bytes), zero-filled, as guest
// memory, unless there is guest memory already: false then. For a host whose calloc writes every
// page, where memory it knows to be zero and untouched stays out of the resident set until the
// guest touches it.
bool adoptGuestMemory(uint8_t* ram, uint8_t* scratchpad);

// Where a guest address lands without refusing it: used by tools and set-up code that must
// validate addresses themselves. Returns nullptr unless all `size` bytes from `address` lie in
// one area (RAM through any of its four windows, or the scratchpad).
uint8_t* hostPointerOrNull(uint32_t address, uint32_t size);

// Main RAM is mirrored at 0x00000000, 0x20000000, 0x80000000 and 0xA0000000, 32 MiB each: an
// address is in RAM when bits 25..28 and bit 30 are all clear.
constexpr bool isRamAddress(uint32_t address) { return (address & 0x5E000000) == 0; }

// True when all `size` bytes from `address` lie in main RAM. Clearing bits 29 and 31 folds the
// four windows onto 0x00000000; what is left must then lie below 32 MiB - size + 1.
constexpr bool isRamAccess(uint32_t address, uint32_t size) {
  return (address & 0x5FFFFFFF) <= kRamSize - size;
}
inline uint8_t* ramAt(uint32_t address) { return machine.ramBase + (address & kRamMask); }

// The slow path of translateAddress: the scratchpad, the refusals, and accesses that run off the
// end of an area. Never returns for an address it refuses.
[[gnu::noinline, gnu::cold]] uint8_t* translateAddressSlow(uint32_t address, uint32_t size);

// Host location of the `size` bytes starting at guest address `address`. Refuses a
// hardware-register address, an unmapped address, or an access that starts inside an area but runs
// past its end: it throws a MachineFault (cpu/fault.h), which the front end running the machine
// catches at its top.
inline uint8_t* translateAddress(uint32_t address, uint32_t size = 1) {
  if (isRamAccess(address, size)) {
    return ramAt(address);
  }
  return translateAddressSlow(address, size);
}

// VF0 reads as the constant (0, 0, 0, 1.0): whatever an instruction wrote to it is put back before
// the next instruction (and before each half of a micro-program pair).
inline void resetVf0() {
  machine.VF[0][0] = 0;
  machine.VF[0][1] = 0;
  machine.VF[0][2] = 0;
  machine.VF[0][3] = kOneAsFloatBits;
}

// Lower 64 bits of a register, sign-extended from a 32-bit value.
constexpr uint64_t signExtend32(uint32_t value) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
}

}  // namespace r5900
