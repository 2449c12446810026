// Loads and stores of the primary opcode map. The effective address is the low word of rs plus
// the sign-extended offset, wrapping at 4 GiB; no alignment is required anywhere.
#include "cpu/bus.h"
#include "cpu/fault.h"
#include "cpu/step.h"

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
  return loadLittle<uint64_t>(translateAddress(aligned, 8));
}

}  // namespace

void executeLoadStore(uint32_t op) {
  const uint32_t address =
      static_cast<uint32_t>(gprLower(rs(op))) + static_cast<uint32_t>(simm16(op));
  const uint32_t t = rt(op);
  uint64_t& target = gprLower(t);
  switch (opcode(op)) {
    case 0x20:
      target = static_cast<uint64_t>(int64_t{static_cast<int8_t>(fetchByte(address))});
      return;  // LB
    case 0x21:
      target = static_cast<uint64_t>(int64_t{static_cast<int16_t>(fetchHalfWord(address))});
      return;                                                         // LH
    case 0x23: target = signExtend32(fetchLongInt(address)); return;  // LW
    case 0x24: target = fetchByte(address); return;                   // LBU
    case 0x25: target = fetchHalfWord(address); return;               // LHU
    case 0x27: target = fetchLongInt(address); return;                // LWU
    case 0x37: target = fetchDWord(address); return;                  // LD
    case 0x1E: machine.GPR[t] = fetchQWord(address); return;          // LQ: all 128 bits
    case 0x31: machine.FPR[t] = fetchLongInt(address); return;        // LWC1
    case 0x36: fetchVectorQWord(address, machine.VF[t]); return;      // LQC2

    case 0x28: writeByte(address, static_cast<uint8_t>(target)); return;       // SB
    case 0x29: writeHalfWord(address, static_cast<uint16_t>(target)); return;  // SH
    case 0x2B: writeLongInt(address, static_cast<uint32_t>(target)); return;   // SW
    case 0x3F: writeDWord(address, target); return;                            // SD
    case 0x1F: writeQWord(address, machine.GPR[t]); return;                    // SQ
    case 0x39: writeLongInt(address, machine.FPR[t]); return;                  // SWC1
    case 0x3E: {  // SQC2 goes straight to memory, not through the register stubs
      uint8_t* p = translateAddress(address, 16);
      for (int i = 0; i < 4; ++i) {
        storeLittle(p + 4 * i, machine.VF[t][i]);
      }
      return;
    }

    // Unaligned word forms; the results of LWL and LWR are zero-extended.
    case 0x22: {  // LWL
      const uint32_t k = address & 3;
      const uint32_t word = fetchLongInt(address & ~3U);
      target = (word << kLwlShift[k]) | (static_cast<uint32_t>(target) & kLwlMask[k]);
      return;
    }
    case 0x26: {  // LWR
      const uint32_t k = address & 3;
      const uint32_t word = fetchLongInt(address & ~3U);
      target = (word >> kLwrShift[k]) | (static_cast<uint32_t>(target) & kLwrMask[k]);
      return;
    }
    case 0x2A: {  // SWL
      const uint32_t k = address & 3;
      const uint32_t word = fetchLongInt(address & ~3U);
      writeLongInt(address & ~3U,
                   (static_cast<uint32_t>(target) >> kLwlShift[k]) | (word & kSwlMask[k]));
      return;
    }
    case 0x2E: {  // SWR
      const uint32_t k = address & 3;
      const uint32_t word = fetchLongInt(address & ~3U);
      writeLongInt(address & ~3U,
                   (static_cast<uint32_t>(target) << kLwrShift[k]) | (word & kSwrMask[k]));
      return;
    }

    // Unaligned doubleword forms.
    case 0x1A: {  // LDL
      const uint32_t k = address & 7;
      const uint64_t dword = readDWordDirect(address & ~7U);
      target = (dword << (56 - 8 * k)) | (target & kLdlMask[k]);
      return;
    }
    case 0x1B: {  // LDR
      const uint32_t k = address & 7;
      const uint64_t dword = readDWordDirect(address & ~7U);
      target = (dword >> (8 * k)) | (target & kLdrMask[k]);
      return;
    }
    case 0x2C: {  // SDL
      const uint32_t k = address & 7;
      const uint64_t dword = readDWordDirect(address & ~7U);
      writeDWord(address & ~7U, (target >> (56 - 8 * k)) | (dword & kSdlMask[k]));
      return;
    }
    case 0x2D: {  // SDR
      const uint32_t k = address & 7;
      const uint64_t dword = readDWordDirect(address & ~7U);
      writeDWord(address & ~7U, (target << (8 * k)) | (dword & kSdrMask[k]));
      return;
    }
    default: machineFault("Unknown opcode family %X!\n", op & 0xFC000000);
  }
}
