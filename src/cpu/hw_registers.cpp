// The console's general hardware registers (0x1000xxxx), as far as guest code may touch them
// here: a few answer reads with fixed values, fourteen remember what was written, many accept
// writes and drop them, and the rest stop the machine.
#include "cpu/bus.h"
#include "cpu/fault.h"

namespace r5900 {

namespace {

// Base addresses (low 16 bits) of the DMA channel blocks whose registers take and drop writes:
// 0 VIF0, 1 VIF1, 2 GIF, 3 from IPU, 4 to IPU, 5 SIF0, 8 from scratchpad, 9 to scratchpad.
constexpr uint32_t kDroppingDmaChannels[] = {0x8000, 0x9000, 0xA000, 0xB000,
                                             0xB400, 0xC000, 0xD000, 0xD400};

// Channel registers inside a block: CHCR, MADR, QWC, TADR, ASR0, ASR1, the word at 0x60, SADR.
bool isDmaChannelRegister(uint32_t offset) {
  for (uint32_t base : kDroppingDmaChannels) {
    if (offset >= base && offset <= base + 0x80) {
      const uint32_t inBlock = offset - base;
      return (inBlock <= 0x60 && inBlock % 0x10 == 0) || inBlock == 0x80;
    }
  }
  return false;
}

bool isDroppedWrite(uint32_t offset) {
  switch (offset) {
    case 0x0000:
    case 0x0010:
    case 0x0020:
    case 0x0030:  // timer 0
    case 0x0800:
    case 0x0810:
    case 0x0820:
    case 0x0830:  // timer 1
    case 0x1000:
    case 0x1010:
    case 0x1020:
    case 0x1030:  // timer 2
    case 0x1800:
    case 0x1810:
    case 0x1820:
    case 0x1830:  // timer 3
    case 0x2000:
    case 0x2010:
    case 0x2020:
    case 0x2030:  // IPU_CMD, IPU_CTRL, IPU_BP, IPU_TOP
    case 0x3000:  // GIF_CTRL
    case 0x3810:
    case 0x3820:
    case 0x3830:  // VIF0_FBRST, VIF0_ERR, VIF0_MARK
    case 0x3C10:
    case 0x3C20:
    case 0x3C30:  // VIF1_FBRST, VIF1_ERR, VIF1_MARK
    case 0xC410:  // channel 6 MADR
    case 0xC800:  // channel 7 (SIF2) CHCR
    case 0xE060:  // D_STADR
    case 0xF100:
    case 0xF120:
    case 0xF140:
    case 0xF150:  // serial port
    case 0xF200:
    case 0xF220:
    case 0xF240:
    case 0xF260:  // sub-system interface
    case 0xF410:
    case 0xF480:
    case 0xF490:
    case 0xF500:
    case 0xF510:  // undocumented
    case 0xF590:  // D_ENABLEW
      return true;
    default: return isDmaChannelRegister(offset);
  }
}

}  // namespace

uint32_t* shadowWord(uint32_t offset) {
  HardwareShadow& s = machine.shadow;
  switch (offset) {
    case 0x3C00: return &s.vif1Stat;
    case 0xC400: return &s.sif1Chcr;
    case 0xC420: return &s.sif1Qwc;
    case 0xC430: return &s.sif1Tadr;
    case 0xE000: return &s.dCtrl;
    case 0xE010: return &s.dStat;
    case 0xE020: return &s.dPcr;
    case 0xE030: return &s.dSqwc;
    case 0xE040: return &s.dRbsr;
    case 0xE050: return &s.dRbor;
    case 0xF000: return &s.intcStat;
    case 0xF010: return &s.intcMask;
    case 0xF430: return &s.mchF430;
    case 0xF440: return &s.mchF440;
    default: return nullptr;
  }
}

RegisterReadEntry registerReadEntry(uint32_t offset) {
  if (shadowWord(offset) != nullptr) {
    return {RegisterRead::Shadow, 0};
  }
  switch (offset) {
    case 0x1810: return {RegisterRead::Constant, 1};  // timer 3 MODE
    case 0x2010:                                      // IPU_CTRL
    case 0x3020:                                      // GIF_STAT
    case 0x9000:                                      // channel 1 CHCR
    case 0xA000:                                      // channel 2 CHCR
    case 0xA030:                                      // channel 2 TADR
    case 0xC000:                                      // channel 5 CHCR
    case 0xC020:                                      // channel 5 QWC
    case 0xF130:                                      // serial port
    case 0xF200:
    case 0xF210:
    case 0xF220:
    case 0xF230:  // sub-system interface
      return {RegisterRead::Constant, 0};
    case 0xF520: return {RegisterRead::Constant, 0x1201};  // D_ENABLER
    default: return {RegisterRead::Refused, 0};
  }
}

RegisterWrite registerWriteKind(uint32_t offset) {
  if (shadowWord(offset) != nullptr) {
    return RegisterWrite::Kept;
  }
  return isDroppedWrite(offset) ? RegisterWrite::Dropped : RegisterWrite::Refused;
}

uint32_t readRegisterLongInt(uint32_t address) {
  switch (registerType(address)) {
    case 0x1000000:  // vector-unit memory: the address stands in for the data
      return address;
    case 0x2000000:  // graphics-synthesizer privileged registers
      return 0x2000;
    case 0: break;
    default: machineFault("Unhandled register type %X\n", registerType(address));
  }
  const uint32_t offset = registerOffset(address);
  const RegisterReadEntry entry = registerReadEntry(offset);
  switch (entry.kind) {
    case RegisterRead::Constant: return entry.value;
    case RegisterRead::Shadow: return *shadowWord(offset);
    case RegisterRead::Refused: break;
  }
  machineFault("Unhandled general register %X to fetch word from\n", offset);
}

void writeRegisterLongInt(uint32_t offset, uint32_t value) {
  switch (registerWriteKind(offset)) {
    case RegisterWrite::Dropped: return;
    case RegisterWrite::Refused:
      machineFault("Unhandled general register %X to write long int to\n", offset);
    case RegisterWrite::Kept: break;
  }
  uint32_t& word = *shadowWord(offset);
  if (offset == 0xE010) {
    // D_STAT: a set bit among 0..15 clears that status bit, a set bit among 16..31 toggles that
    // mask bit.
    word &= ~(value & 0xFFFF);
    word ^= value & 0xFFFF0000;
  } else if (offset == 0xC400 && (word & 0x100) != 0) {
    // CHCR bit 8 is the start bit: while the channel runs, a write reaches only that bit.
    word = (word & ~0x100U) | (value & 0x100);
  } else {
    word = value;
  }
}

void writeRegisterQWord(uint32_t offset, Reg128 /*value*/) {
  switch (offset) {
    case 0x4000:  // VIF0 FIFO
    case 0x5000:  // VIF1 FIFO
    case 0x6000:  // GIF FIFO
    case 0x7000:  // IPU output FIFO
    case 0x7010:  // IPU input FIFO
      return;
    default: machineFault("Unhandled general register %X to write QWord to\n", offset);
  }
}

}  // namespace r5900
