#include "cpu/bus.h"

#include "cpu/fault.h"

namespace r5900 {

namespace {

[[noreturn]] void refuseType(uint32_t address) {
  machineFault("Unhandled register type %X\n", registerType(address));
}

// Addresses outside the window that some reads answer with 0 without touching memory (boot-ROM
// and I/O-processor locations the console's library polls).
bool isFixedZeroByte(uint32_t address) {
  return address == 0x1F402005 || address == 0x3C1A8001 || address == 0x40196800 ||
         address == 0xBF80146E || address >= 0xFF000000;
}
bool isFixedZeroWord(uint32_t address) { return address == 0xBF80141C || address == 0xBC0003C0; }

}  // namespace

LoadWatch loadWatch;

void markLoad(uint32_t address, uint32_t size) {
  if (!isRamAccess(address, size)) return;
  const uint32_t offset = address & kRamMask;
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t at = offset + i - loadWatch.begin;
    if (at < loadWatch.size) loadWatch.bits[at / 64] |= uint64_t{1} << (at % 64);
  }
}

uint8_t fetchByteSlow(uint32_t address) {
  if (inRegisterWindow(address)) {
    if (registerType(address) != 0) {
      refuseType(address);
    }
    machineFault("Unhandled general register %X to fetch byte from\n", registerOffset(address));
  }
  if (isFixedZeroByte(address)) {
    return 0;
  }
  return *translateAddress(address, 1);
}

uint16_t fetchHalfWordSlow(uint32_t address) {
  if (address == 0xBF803800) {
    return 0x000A;
  }
  if (inRegisterWindow(address)) {
    if (registerType(address) != 0) {
      refuseType(address);
    }
    machineFault("Unhandled general register %X to fetch word from\n", registerOffset(address));
  }
  return loadLittle<uint16_t>(translateAddress(address, 2));
}

uint32_t fetchLongIntSlow(uint32_t address) {
  if (isFixedZeroWord(address)) {
    return 0;
  }
  if (inRegisterWindow(address)) {
    return readRegisterLongInt(address);
  }
  return loadLittle<uint32_t>(translateAddress(address, 4));
}

uint64_t fetchDWordSlow(uint32_t address) {
  if (isFixedZeroWord(address)) {
    return 0;
  }
  if (inRegisterWindow(address)) {
    return signExtend32(readRegisterLongInt(address));
  }
  return loadLittle<uint64_t>(translateAddress(address, 8));
}

Reg128 fetchQWord(uint32_t address) {
  if (inRegisterWindow(address)) {
    machineFault("Unsupported fetchQWordFromRegisters\n");
  }
  watchLoad(address, 16);
  const uint8_t* p = translateAddress(address, 16);
  // Bytes 0..7 are bits 0..63 (the lower half), bytes 8..15 bits 64..127.
  return Reg128{loadLittle<uint64_t>(p + 8), loadLittle<uint64_t>(p)};
}

void fetchVectorQWord(uint32_t address, uint32_t vf[4]) {
  if (inRegisterWindow(address)) {
    machineFault("Unsupported fetchQWordFromRegisters\n");
  }
  watchLoad(address, 16);
  const uint8_t* p = translateAddress(address, 16);
  for (int i = 0; i < 4; ++i) {
    vf[i] = loadLittle<uint32_t>(p + 4 * i);
  }
}

void writeByteSlow(uint32_t address, uint8_t value) {
  if (inRegisterWindow(address)) {
    if (registerType(address) != 0) {
      refuseType(address);
    }
    if (registerOffset(address) == 0xF180) {  // SIO_TXFIFO: the serial port's transmit register
      guestPutchar(value);
      return;
    }
    machineFault("Unhandled general register %X to write byte to\n", registerOffset(address));
  }
  *translateAddress(address, 1) = value;
}

void writeHalfWordSlow(uint32_t address, uint16_t value) {
  if (address == 0xBA000004 || address == 0xBA000008 ||
      (address >= 0xBF800000 && address <= 0xBF80FFFF)) {
    return;
  }
  if (inRegisterWindow(address)) {
    if (registerType(address) != 0) {
      refuseType(address);
    }
    machineFault("Unhandled general register %X to write half word to\n", registerOffset(address));
  }
  storeLittle(translateAddress(address, 2), value);
}

void writeLongIntSlow(uint32_t address, uint32_t value) {
  if (address == 0xBC0003E0 || address == 0xBF80141C || address >= 0xFF000000) {
    return;
  }
  if (inRegisterWindow(address)) {
    if (registerType(address) != 0) {
      refuseType(address);
    }
    writeRegisterLongInt(registerOffset(address), value);
    return;
  }
  storeLittle(translateAddress(address, 4), value);
}

void writeDWordSlow(uint32_t address, uint64_t value) {
  if (inRegisterWindow(address)) {
    switch (registerType(address)) {
      case 0:
        // The register takes the low word; the high word is lost.
        writeRegisterLongInt(registerOffset(address), static_cast<uint32_t>(value));
        return;
      case 0x1000000:
      case 0x2000000: return;
      default: refuseType(address);
    }
  }
  storeLittle(translateAddress(address, 8), value);
}

void writeQWord(uint32_t address, Reg128 value) {
  if (inRegisterWindow(address)) {
    switch (registerType(address)) {
      case 0: writeRegisterQWord(registerOffset(address), value); return;
      case 0x1000000: return;
      default:
        // The one register-type message that does not stop the machine: the write is dropped.
        guestPrintf("Unhandled register type %X\n", registerType(address));
        return;
    }
  }
  uint8_t* p = translateAddress(address, 16);
  storeLittle(p, value.lower);
  storeLittle(p + 8, value.upper);
}

}  // namespace r5900
