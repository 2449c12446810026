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

namespace r5900 {

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

// The primary map's instructions, for the disassembler; executeInstruction's switch below is
// their dispatch, and a test checks that the two accept the same opcodes. BGTZL, DADDI, PREF and
// the other coprocessor loads and stores are refused.
struct PrimaryOpcode {
  uint32_t slot;
  const char* mnemonic;
  Operands operands = Operands::kNone;
  OpcodeName (*subMap)(uint32_t op) = nullptr;
};
constexpr PrimaryOpcode kPrimaryList[] = {
    {0x00, nullptr, Operands::kNone, specialName},
    {0x01, nullptr, Operands::kNone, regimmName},
    {0x02, "j", Operands::kJump},
    {0x03, "jal", Operands::kJump},
    {0x04, "beq", Operands::kRsRtBranch},
    {0x05, "bne", Operands::kRsRtBranch},
    {0x06, "blez", Operands::kRsBranch},
    {0x07, "bgtz", Operands::kRsBranch},
    {0x08, "addi", Operands::kRtRsSigned},
    {0x09, "addiu", Operands::kRtRsSigned},
    {0x0A, "slti", Operands::kRtRsSigned},
    {0x0B, "sltiu", Operands::kRtRsSigned},
    {0x0C, "andi", Operands::kRtRsUnsigned},
    {0x0D, "ori", Operands::kRtRsUnsigned},
    {0x0E, "xori", Operands::kRtRsUnsigned},
    {0x0F, "lui", Operands::kRtUnsigned},
    {0x10, nullptr, Operands::kNone, cop0Name},
    {0x11, nullptr, Operands::kNone, cop1Name},
    {0x12, nullptr, Operands::kNone, cop2Name},
    {0x14, "beql", Operands::kRsRtBranch},
    {0x15, "bnel", Operands::kRsRtBranch},
    {0x16, "blezl", Operands::kRsBranch},
    {0x19, "daddiu", Operands::kRtRsSigned},
    {0x1A, "ldl", Operands::kRtMemory},
    {0x1B, "ldr", Operands::kRtMemory},
    {0x1C, nullptr, Operands::kNone, mmiName},
    {0x1E, "lq", Operands::kRtMemory},
    {0x1F, "sq", Operands::kRtMemory},
    {0x20, "lb", Operands::kRtMemory},
    {0x21, "lh", Operands::kRtMemory},
    {0x22, "lwl", Operands::kRtMemory},
    {0x23, "lw", Operands::kRtMemory},
    {0x24, "lbu", Operands::kRtMemory},
    {0x25, "lhu", Operands::kRtMemory},
    {0x26, "lwr", Operands::kRtMemory},
    {0x27, "lwu", Operands::kRtMemory},
    {0x28, "sb", Operands::kRtMemory},
    {0x29, "sh", Operands::kRtMemory},
    {0x2A, "swl", Operands::kRtMemory},
    {0x2B, "sw", Operands::kRtMemory},
    {0x2C, "sdl", Operands::kRtMemory},
    {0x2D, "sdr", Operands::kRtMemory},
    {0x2E, "swr", Operands::kRtMemory},
    {0x2F, "cache", Operands::kCache},
    {0x31, "lwc1", Operands::kFtMemory},
    {0x36, "lqc2", Operands::kVfMemory},
    {0x37, "ld", Operands::kRtMemory},
    {0x39, "swc1", Operands::kFtMemory},
    {0x3E, "sqc2", Operands::kVfMemory},
    {0x3F, "sd", Operands::kRtMemory},
};
static_assert(checkSlots<64>(kPrimaryList));

}  // namespace

constinit thread_local uintptr_t delaySlotStackFloor = UINTPTR_MAX;

namespace {
// The stack limit of the calling thread, from its first delay slot on, and its hook.
thread_local uintptr_t delaySlotStackLimit = UINTPTR_MAX;
thread_local DelaySlotHook delaySlotHook = nullptr;
}  // namespace

void checkDelaySlotStack(uint32_t pc) {
  const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (delaySlotStackLimit == UINTPTR_MAX) {
    delaySlotStackLimit = frame - kDelaySlotStackAllowance;
  } else if (frame < delaySlotStackLimit) {
    machineFault("Branches nested in delay slots too deep\n");
  }
  if (delaySlotHook != nullptr) {
    delaySlotHook(pc);
  } else {
    delaySlotStackFloor = delaySlotStackLimit;
  }
}

void setDelaySlotHook(DelaySlotHook hook) {
  delaySlotHook = hook;
  delaySlotStackFloor = hook != nullptr ? UINTPTR_MAX : delaySlotStackLimit;
}

// The primary opcode map, in the order of kPrimaryList; `pc` is the address of the delay slot.
uint32_t executeInstruction(uint32_t op, uint32_t pc) {
  if (op == 0) {
    return pc;  // the all-zero word is a no-operation
  }
  switch (opcode(op)) {
    case 0x00: return executeSpecial(op, pc);
    case 0x01: return executeRegimm(op, pc);
    case 0x02: return jump(op, pc);
    case 0x03: return jumpAndLink(op, pc);
    case 0x04: return conditionalBranch(op, pc, rsValue(op) == rtValue(op), false);
    case 0x05: return conditionalBranch(op, pc, rsValue(op) != rtValue(op), false);
    case 0x06: return conditionalBranch(op, pc, rsValue(op) <= 0, false);
    case 0x07: return conditionalBranch(op, pc, rsValue(op) > 0, false);
    case 0x08: return addiu(op, pc);
    case 0x09: return addiu(op, pc);
    case 0x0A: return slti(op, pc);
    case 0x0B: return sltiu(op, pc);
    case 0x0C: return andi(op, pc);
    case 0x0D: return ori(op, pc);
    case 0x0E: return xori(op, pc);
    case 0x0F: return lui(op, pc);
    case 0x10: return executeGroup(executeCop0, op, pc);
    case 0x11: return executeGroup(executeCop1, op, pc);
    case 0x12: return executeGroup(executeCop2, op, pc);
    case 0x14: return conditionalBranch(op, pc, rsValue(op) == rtValue(op), true);
    case 0x15: return conditionalBranch(op, pc, rsValue(op) != rtValue(op), true);
    case 0x16: return conditionalBranch(op, pc, rsValue(op) <= 0, true);
    case 0x19: return daddiu(op, pc);
    case 0x1A: return loadDoubleLeft(op, pc);
    case 0x1B: return loadDoubleRight(op, pc);
    case 0x1C: return executeGroup(executeMmi, op, pc);
    case 0x1E: return loadQuad(op, pc);
    case 0x1F: return storeQuad(op, pc);
    case 0x20: return loadByte(op, pc);
    case 0x21: return loadHalf(op, pc);
    case 0x22: return loadWordLeft(op, pc);
    case 0x23: return loadWord(op, pc);
    case 0x24: return loadByteUnsigned(op, pc);
    case 0x25: return loadHalfUnsigned(op, pc);
    case 0x26: return loadWordRight(op, pc);
    case 0x27: return loadWordUnsigned(op, pc);
    case 0x28: return storeByte(op, pc);
    case 0x29: return storeHalf(op, pc);
    case 0x2A: return storeWordLeft(op, pc);
    case 0x2B: return storeWord(op, pc);
    case 0x2C: return storeDoubleLeft(op, pc);
    case 0x2D: return storeDoubleRight(op, pc);
    case 0x2E: return storeWordRight(op, pc);
    case 0x2F: return pc;  // no caches here
    case 0x31: return loadWordToFpr(op, pc);
    case 0x36: return loadQuadToVf(op, pc);
    case 0x37: return loadDouble(op, pc);
    case 0x39: return storeWordFromFpr(op, pc);
    case 0x3E: return storeQuadFromVf(op, pc);
    case 0x3F: return storeDouble(op, pc);
    default: break;
  }
  machineFault("Unknown opcode family %X!\n", op & 0xFC000000);
}

OpcodeName primaryName(uint32_t op) { return opcodeName(kPrimaryList, opcode(op), op); }

uint32_t executeAtSlowFetch(uint32_t pc) {
  return executeInstruction(fetchLongIntSlow(pc), pc + 4);
}

}  // namespace r5900
