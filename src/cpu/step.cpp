// One instruction: reset VF0, fetch at PC, advance PC, dispatch on the primary opcode. Jumps,
// conditional branches and the immediate arithmetic are carried out here; loads and stores
// (load_store.cpp) and the opcode groups have handlers of their own.
//
// Each case reaches its handler directly, so most instructions cost one indirect jump; only the
// handlers that run a delay slot need a stack frame.
#include "cpu/step.h"

#include "cpu/bus.h"
#include "cpu/fault.h"
#include "cpu/load_store.h"

namespace {

uint64_t signedImmediate(uint32_t op) {
  return static_cast<uint64_t>(static_cast<int64_t>(simm16(op)));
}

// ADDI has no overflow trap here: it is exactly ADDIU.
void addiu(uint32_t op) {
  gprLower(rt(op)) =
      signExtend32(static_cast<uint32_t>(gprLower(rs(op))) + static_cast<uint32_t>(simm16(op)));
}
void slti(uint32_t op) {
  gprLower(rt(op)) =
      static_cast<int64_t>(gprLower(rs(op))) < static_cast<int64_t>(signedImmediate(op)) ? 1 : 0;
}
// The immediate is sign-extended, then compared unsigned.
void sltiu(uint32_t op) { gprLower(rt(op)) = gprLower(rs(op)) < signedImmediate(op) ? 1 : 0; }
void andi(uint32_t op) { gprLower(rt(op)) = gprLower(rs(op)) & imm16(op); }
void ori(uint32_t op) { gprLower(rt(op)) = gprLower(rs(op)) | imm16(op); }
void xori(uint32_t op) { gprLower(rt(op)) = gprLower(rs(op)) ^ imm16(op); }
void lui(uint32_t op) { gprLower(rt(op)) = signExtend32(imm16(op) << 16); }
void daddiu(uint32_t op) { gprLower(rt(op)) = gprLower(rs(op)) + signedImmediate(op); }

// J and JAL: the top four bits of the target come from the delay slot's address.
[[gnu::noinline]] void jump(uint32_t op) {
  const uint32_t target = (machine.PC & 0xF0000000) | (target26(op) << 2);
  stepInstruction();
  machine.PC = target;
}
// JAL links after its delay slot ran (the slot sees the old ra), with the PC the slot left.
[[gnu::noinline]] void jumpAndLink(uint32_t op) {
  const uint32_t target = (machine.PC & 0xF0000000) | (target26(op) << 2);
  stepInstruction();
  gprLower(31) = signExtend32(machine.PC);
  machine.PC = target;
}

// Conditional branches compare the lower 64 bits; the condition is read before the delay slot.
[[gnu::noinline]] void branch(uint32_t op, bool taken, bool likely) {
  if (taken) {
    takeBranch(op);
  } else if (likely) {
    skipDelaySlot();
  }
}
int64_t rsValue(uint32_t op) { return static_cast<int64_t>(gprLower(rs(op))); }
int64_t rtValue(uint32_t op) { return static_cast<int64_t>(gprLower(rt(op))); }

}  // namespace

void stepInstruction() {
  machine.VF[0][0] = 0;
  machine.VF[0][1] = 0;
  machine.VF[0][2] = 0;
  machine.VF[0][3] = kOneAsFloatBits;

  const uint32_t op = fetchLongInt(machine.PC);
  machine.PC += 4;
  if (op == 0) {
    return;
  }
  switch (opcode(op)) {
    case 0x00: return executeSpecial(op);
    case 0x01: return executeRegimm(op);
    case 0x02: return jump(op);                                       // J
    case 0x03: return jumpAndLink(op);                                // JAL
    case 0x04: return branch(op, rsValue(op) == rtValue(op), false);  // BEQ
    case 0x05: return branch(op, rsValue(op) != rtValue(op), false);  // BNE
    case 0x06: return branch(op, rsValue(op) <= 0, false);            // BLEZ
    case 0x07: return branch(op, rsValue(op) > 0, false);             // BGTZ
    case 0x08: return addiu(op);                                      // ADDI
    case 0x09: return addiu(op);                                      // ADDIU
    case 0x0A: return slti(op);                                       // SLTI
    case 0x0B: return sltiu(op);                                      // SLTIU
    case 0x0C: return andi(op);                                       // ANDI
    case 0x0D: return ori(op);                                        // ORI
    case 0x0E: return xori(op);                                       // XORI
    case 0x0F: return lui(op);                                        // LUI
    case 0x10: return executeCop0(op);
    case 0x11: return executeCop1(op);
    case 0x12: return executeCop2(op);
    case 0x13: break;
    case 0x14: return branch(op, rsValue(op) == rtValue(op), true);  // BEQL
    case 0x15: return branch(op, rsValue(op) != rtValue(op), true);  // BNEL
    case 0x16: return branch(op, rsValue(op) <= 0, true);            // BLEZL
    case 0x17: break;                                                // BGTZL
    case 0x18: break;                                                // DADDI
    case 0x19: return daddiu(op);                                    // DADDIU
    case 0x1A: return loadDoubleLeft(op);                            // LDL
    case 0x1B: return loadDoubleRight(op);                           // LDR
    case 0x1C: return executeMmi(op);
    case 0x1D: break;
    case 0x1E: return loadQuad(op);          // LQ
    case 0x1F: return storeQuad(op);         // SQ
    case 0x20: return loadByte(op);          // LB
    case 0x21: return loadHalf(op);          // LH
    case 0x22: return loadWordLeft(op);      // LWL
    case 0x23: return loadWord(op);          // LW
    case 0x24: return loadByteUnsigned(op);  // LBU
    case 0x25: return loadHalfUnsigned(op);  // LHU
    case 0x26: return loadWordRight(op);     // LWR
    case 0x27: return loadWordUnsigned(op);  // LWU
    case 0x28: return storeByte(op);         // SB
    case 0x29: return storeHalf(op);         // SH
    case 0x2A: return storeWordLeft(op);     // SWL
    case 0x2B: return storeWord(op);         // SW
    case 0x2C: return storeDoubleLeft(op);   // SDL
    case 0x2D: return storeDoubleRight(op);  // SDR
    case 0x2E: return storeWordRight(op);    // SWR
    case 0x2F: return;                       // CACHE: no caches
    case 0x30: break;
    case 0x31: return loadWordToFpr(op);  // LWC1
    case 0x32: break;
    case 0x33: break;  // PREF
    case 0x34: break;
    case 0x35: break;
    case 0x36: return loadQuadToVf(op);  // LQC2
    case 0x37: return loadDouble(op);    // LD
    case 0x38: break;
    case 0x39: return storeWordFromFpr(op);  // SWC1
    case 0x3A: break;
    case 0x3B: break;
    case 0x3C: break;
    case 0x3D: break;
    case 0x3E: return storeQuadFromVf(op);  // SQC2
    case 0x3F: return storeDouble(op);      // SD
    default: break;
  }
  machineFault("Unknown opcode family %X!\n", op & 0xFC000000);
}
