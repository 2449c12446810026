#include "cpu/machine_state.h"

#include <cstdlib>

#include "cpu/fault.h"

namespace r5900 {

MachineState machine;

namespace {

bool inScratchpad(uint32_t address) {
  return address >= kScratchpadBase && address <= kScratchpadBase + kScratchpadMask;
}

// 0x10000000-0x13FFFFFF and the uncached mirror 0xB0000000-0xB3FFFFFF: the hardware registers.
// Only the bus accessors may answer for them (and only for the narrower window they serve).
bool inRegisterSpace(uint32_t address) {
  return (address >= 0x10000000 && address <= 0x13FFFFFF) ||
         (address >= 0xB0000000 && address <= 0xB3FFFFFF);
}

}  // namespace

bool allocateGuestMemory() {
  if (machine.ramBase != nullptr) {
    return true;
  }
  auto* ram = static_cast<uint8_t*>(std::calloc(kRamSize, 1));
  auto* scratchpad = static_cast<uint8_t*>(std::calloc(kScratchpadSize, 1));
  if (ram == nullptr || scratchpad == nullptr) {
    std::free(ram);
    std::free(scratchpad);
    return false;
  }
  machine.ramBase = ram;
  machine.scratchpadBase = scratchpad;
  return true;
}

bool adoptGuestMemory(uint8_t* ram, uint8_t* scratchpad) {
  if (machine.ramBase != nullptr) {
    return false;
  }
  machine.ramBase = ram;
  machine.scratchpadBase = scratchpad;
  return true;
}

uint8_t* hostPointerOrNull(uint32_t address, uint32_t size) {
  if (machine.ramBase == nullptr) {
    return nullptr;
  }
  if (isRamAddress(address)) {
    const uint32_t offset = address & kRamMask;
    return size <= kRamSize - offset ? machine.ramBase + offset : nullptr;
  }
  if (inScratchpad(address)) {
    const uint32_t offset = address & kScratchpadMask;
    return size <= kScratchpadSize - offset ? machine.scratchpadBase + offset : nullptr;
  }
  return nullptr;
}

uint8_t* translateAddressSlow(uint32_t address, uint32_t size) {
  if (uint8_t* p = hostPointerOrNull(address, size)) {
    return p;
  }
  // An access that starts inside an area but runs past its end reports the first address
  // outside the area; no byte beyond the area is touched.
  if (isRamAddress(address)) {
    machineFault("Access to unmapped memory %X\n", address + (kRamSize - (address & kRamMask)));
  }
  if (inScratchpad(address)) {
    machineFault("Access to unmapped memory %X\n",
                 address + (kScratchpadSize - (address & kScratchpadMask)));
  }
  if (inRegisterSpace(address)) {
    machineFault("Error: trying to directly access the registers memory !\n");
  }
  machineFault("Access to unmapped memory %X\n", address);
}

}  // namespace r5900
