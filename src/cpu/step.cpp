// One instruction: reset VF0, fetch, dispatch on the primary opcode. Jumps, conditional branches
// and the immediate arithmetic are carried out here; loads and stores (load_store.cpp) and the
// instruction groups have handlers of their own.
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
void setRt(uint32_t op, uint64_t value) { gprLower(rt(op)) = value; }

// ADDI has no overflow trap here: it is exactly ADDIU.
uint32_t addiu(uint32_t op, uint32_t pc) {
  setRt(op,
        signExtend32(static_cast<uint32_t>(gprLower(rs(op))) + static_cast<uint32_t>(simm16(op))));
  return pc;
}
uint32_t slti(uint32_t op, uint32_t pc) {
  setRt(op,
        static_cast<int64_t>(gprLower(rs(op))) < static_cast<int64_t>(signedImmediate(op)) ? 1 : 0);
  return pc;
}
// The immediate is sign-extended, then compared unsigned.
uint32_t sltiu(uint32_t op, uint32_t pc) {
  setRt(op, gprLower(rs(op)) < signedImmediate(op) ? 1 : 0);
  return pc;
}
uint32_t andi(uint32_t op, uint32_t pc) {
  setRt(op, gprLower(rs(op)) & imm16(op));
  return pc;
}
uint32_t ori(uint32_t op, uint32_t pc) {
  setRt(op, gprLower(rs(op)) | imm16(op));
  return pc;
}
uint32_t xori(uint32_t op, uint32_t pc) {
  setRt(op, gprLower(rs(op)) ^ imm16(op));
  return pc;
}
uint32_t lui(uint32_t op, uint32_t pc) {
  setRt(op, signExtend32(imm16(op) << 16));
  return pc;
}
uint32_t daddiu(uint32_t op, uint32_t pc) {
  setRt(op, gprLower(rs(op)) + signedImmediate(op));
  return pc;
}

// J and JAL: the top four bits of the target come from the delay slot's address.
[[gnu::noinline]] uint32_t jump(uint32_t op, uint32_t pc) {
  const uint32_t target = (pc & 0xF0000000) | (target26(op) << 2);
  executeDelaySlot(pc);
  return target;
}
// JAL links after its delay slot ran (the slot sees the old ra), with the address the slot left.
[[gnu::noinline]] uint32_t jumpAndLink(uint32_t op, uint32_t pc) {
  const uint32_t target = (pc & 0xF0000000) | (target26(op) << 2);
  gprLower(31) = signExtend32(executeDelaySlot(pc));
  return target;
}

// Conditional branches compare the lower 64 bits, before the delay slot runs.
int64_t rsValue(uint32_t op) { return static_cast<int64_t>(gprLower(rs(op))); }
int64_t rtValue(uint32_t op) { return static_cast<int64_t>(gprLower(rt(op))); }
[[gnu::noinline]] uint32_t conditionalBranch(uint32_t op, uint32_t pc, bool taken, bool likely) {
  return branch(op, pc, taken, likely);
}

// The coprocessor and MMI groups work on machine.PC directly.
[[gnu::noinline]] uint32_t executeGroup(void (*handler)(uint32_t), uint32_t op, uint32_t pc) {
  machine.PC = pc;
  handler(op);
  return machine.PC;
}

// Instruction fetch outside RAM: the fixed addresses and the register window answer as a 32-bit
// load does; anything else is refused by the address map.

// The primary opcode map. `pc` is the address of the delay slot.
}  // namespace

thread_local uintptr_t delaySlotStackFloor = UINTPTR_MAX;

void checkDelaySlotStack() {
  const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (delaySlotStackFloor == UINTPTR_MAX) {
    delaySlotStackFloor = frame - kDelaySlotStackAllowance;
    return;
  }
  machineFault("Branches nested in delay slots too deep\n");
}

uint32_t executeInstruction(uint32_t op, uint32_t pc) {
  if (op == 0) {
    return pc;  // the all-zero word is a no-operation
  }
  switch (opcode(op)) {
    case 0x00: return executeSpecial(op, pc);
    case 0x01: return executeRegimm(op, pc);
    case 0x02: return jump(op, pc);                                                  // J
    case 0x03: return jumpAndLink(op, pc);                                           // JAL
    case 0x04: return conditionalBranch(op, pc, rsValue(op) == rtValue(op), false);  // BEQ
    case 0x05: return conditionalBranch(op, pc, rsValue(op) != rtValue(op), false);  // BNE
    case 0x06: return conditionalBranch(op, pc, rsValue(op) <= 0, false);            // BLEZ
    case 0x07: return conditionalBranch(op, pc, rsValue(op) > 0, false);             // BGTZ
    case 0x08: return addiu(op, pc);                                                 // ADDI
    case 0x09: return addiu(op, pc);                                                 // ADDIU
    case 0x0A: return slti(op, pc);                                                  // SLTI
    case 0x0B: return sltiu(op, pc);                                                 // SLTIU
    case 0x0C: return andi(op, pc);                                                  // ANDI
    case 0x0D: return ori(op, pc);                                                   // ORI
    case 0x0E: return xori(op, pc);                                                  // XORI
    case 0x0F: return lui(op, pc);                                                   // LUI
    case 0x10: return executeGroup(executeCop0, op, pc);
    case 0x11: return executeGroup(executeCop1, op, pc);
    case 0x12: return executeGroup(executeCop2, op, pc);
    case 0x13: break;
    case 0x14: return conditionalBranch(op, pc, rsValue(op) == rtValue(op), true);  // BEQL
    case 0x15: return conditionalBranch(op, pc, rsValue(op) != rtValue(op), true);  // BNEL
    case 0x16: return conditionalBranch(op, pc, rsValue(op) <= 0, true);            // BLEZL
    case 0x17: break;                                                               // BGTZL
    case 0x18: break;                                                               // DADDI
    case 0x19: return daddiu(op, pc);                                               // DADDIU
    case 0x1A: return loadDoubleLeft(op, pc);                                       // LDL
    case 0x1B: return loadDoubleRight(op, pc);                                      // LDR
    case 0x1C: return executeGroup(executeMmi, op, pc);
    case 0x1D: break;
    case 0x1E: return loadQuad(op, pc);          // LQ
    case 0x1F: return storeQuad(op, pc);         // SQ
    case 0x20: return loadByte(op, pc);          // LB
    case 0x21: return loadHalf(op, pc);          // LH
    case 0x22: return loadWordLeft(op, pc);      // LWL
    case 0x23: return loadWord(op, pc);          // LW
    case 0x24: return loadByteUnsigned(op, pc);  // LBU
    case 0x25: return loadHalfUnsigned(op, pc);  // LHU
    case 0x26: return loadWordRight(op, pc);     // LWR
    case 0x27: return loadWordUnsigned(op, pc);  // LWU
    case 0x28: return storeByte(op, pc);         // SB
    case 0x29: return storeHalf(op, pc);         // SH
    case 0x2A: return storeWordLeft(op, pc);     // SWL
    case 0x2B: return storeWord(op, pc);         // SW
    case 0x2C: return storeDoubleLeft(op, pc);   // SDL
    case 0x2D: return storeDoubleRight(op, pc);  // SDR
    case 0x2E: return storeWordRight(op, pc);    // SWR
    case 0x2F: return pc;                        // CACHE: no caches here
    case 0x30: break;
    case 0x31: return loadWordToFpr(op, pc);  // LWC1
    case 0x32: break;
    case 0x33: break;  // PREF
    case 0x34: break;
    case 0x35: break;
    case 0x36: return loadQuadToVf(op, pc);  // LQC2
    case 0x37: return loadDouble(op, pc);    // LD
    case 0x38: break;
    case 0x39: return storeWordFromFpr(op, pc);  // SWC1
    case 0x3A: break;
    case 0x3B: break;
    case 0x3C: break;
    case 0x3D: break;
    case 0x3E: return storeQuadFromVf(op, pc);  // SQC2
    case 0x3F: return storeDouble(op, pc);      // SD
    default: break;
  }
  machineFault("Unknown opcode family %X!\n", op & 0xFC000000);
}

uint32_t executeAtSlowFetch(uint32_t pc) {
  return executeInstruction(fetchLongIntSlow(pc), pc + 4);
}
