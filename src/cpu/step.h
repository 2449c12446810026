// The instruction step and the handlers of the instruction groups it hands over.
//
// The program counter travels through the hot path as an argument and a return value rather than
// through MachineState: each handler takes the instruction word and the address of its delay
// slot (the instruction's address + 4) and returns the address of the next instruction to run.
// That keeps PC in a host register from one instruction to the next. The coprocessor and MMI
// groups keep the plain form (PC in MachineState, already advanced): their instructions are rare.
#pragma once

#include <array>
#include <cstdint>

#include "cpu/bus.h"
#include "cpu/decode.h"
#include "cpu/machine_state.h"
#include "cpu/opcode_table.h"

namespace r5900 {

using InstructionHandler = uint32_t (*)(uint32_t op, uint32_t pc);
extern const std::array<InstructionHandler, 64> kSpecialTable;

// The primary opcode map, for an instruction word already fetched; `pc` is its delay slot.
[[gnu::noinline]] uint32_t executeInstruction(uint32_t op, uint32_t pc);
// Instruction fetch from anywhere but RAM (fixed addresses, the register window, refusals).
[[gnu::noinline]] uint32_t executeAtSlowFetch(uint32_t pc);

// Runs the instruction at `pc` (and, for a taken branch or a jump, its delay slot) and returns
// the address of the next instruction. machine.PC is not read or written on the way, except
// around the coprocessor and MMI groups. Inline, so that the fetch and the call through the
// SPECIAL table, the commonest group, happen in the caller's loop.
inline uint32_t executeAt(uint32_t pc) {
  resetVf0();
  if (!isRamAccess(pc, 4)) {
    return executeAtSlowFetch(pc);
  }
  const uint32_t op = loadLittle<uint32_t>(ramAt(pc));
  if (opcode(op) == 0 && op != 0) {
    return kSpecialTable[funct(op)](op, pc + 4);
  }
  return executeInstruction(op, pc + 4);
}

// One step of the machine: the instruction at machine.PC, and machine.PC moved on.
inline void stepInstruction() { machine.PC = executeAt(machine.PC); }

// Handlers stay out of line, so that executeAt needs no stack frame of its own and reaches each of
// them with a tail jump.
[[gnu::noinline]] uint32_t executeSpecial(uint32_t op, uint32_t pc);
[[gnu::noinline]] uint32_t executeRegimm(uint32_t op, uint32_t pc);
[[gnu::noinline]] void executeMmi(uint32_t op);
[[gnu::noinline]] void executeCop0(uint32_t op);
[[gnu::noinline]] void executeCop1(uint32_t op);
[[gnu::noinline]] void executeCop2(uint32_t op);

// The instruction a word holds, from the same lists as the dispatch: the primary map, which
// descends into the group maps (for the disassembler).
OpcodeName primaryName(uint32_t op);
OpcodeName specialName(uint32_t op);
OpcodeName regimmName(uint32_t op);
OpcodeName mmiName(uint32_t op);
OpcodeName cop0Name(uint32_t op);
OpcodeName cop1Name(uint32_t op);
OpcodeName cop2Name(uint32_t op);

// A delay slot may itself hold a taken branch, whose delay slot then runs inside it, and so on:
// each level is a host call. Code that chains branches through their delay slots (RAM filled
// with branches, or a fetch from a register that always reads as one) is refused once the host
// stack has grown by kDelaySlotStackAllowance since the first delay slot, long before it runs
// out; no real program nests more than one level. Comparing the frame address with a floor
// costs no store on the branch path.
constexpr uintptr_t kDelaySlotStackAllowance = 512 * 1024;
// Per thread: each has its own stack. Below this address a delay slot goes through
// checkDelaySlotStack: the highest address until the first delay slot, then the stack limit; and
// the highest address again for as long as a delay-slot hook is set, so that every slot does.
extern thread_local constinit uintptr_t delaySlotStackFloor;
[[gnu::noinline, gnu::cold]] void checkDelaySlotStack(uint32_t pc);
inline uint32_t executeDelaySlot(uint32_t pc) {
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < delaySlotStackFloor) {
    checkDelaySlotStack(pc);
  }
  return executeAt(pc);
}
// Calls `hook` with the address of every delay slot before it runs, on the calling thread, until
// it is set back to nullptr (guest-run --trace; the stepping loop reports the top-level
// instructions). Delay slots run only on taken branches and jumps, and the hook is reached
// through the stack check, so that neither executeAt nor the branch path carries a test of it.
using DelaySlotHook = void (*)(uint32_t pc);
void setDelaySlotHook(DelaySlotHook hook);

// The branch rule shared by every conditional branch, given the address of the delay slot: the
// condition has been evaluated; a taken branch runs its delay slot, then moves by the offset,
// counted from the delay slot; a branch-likely that is not taken skips its delay slot.
inline uint32_t takeBranch(uint32_t op, uint32_t pc) {
  return executeDelaySlot(pc) + static_cast<uint32_t>(simm16(op)) * 4 - 4;
}
inline uint32_t skipDelaySlot(uint32_t pc) { return pc + 4; }
inline uint32_t branch(uint32_t op, uint32_t pc, bool taken, bool likely) {
  if (taken) {
    return takeBranch(op, pc);
  }
  return likely ? skipDelaySlot(pc) : pc;
}

inline uint64_t& gprLower(uint32_t index) { return machine.GPR[index].lower; }

}  // namespace r5900
