// The instruction step and the handlers of the opcode groups it hands over. Every handler takes
// the instruction word after PC has moved past it, so PC is the address of the delay slot.
#pragma once

#include <cstdint>

#include "cpu/decode.h"
#include "cpu/machine_state.h"

void stepInstruction();

// The handlers stay out of line: stepInstruction then needs no stack frame of its own and reaches
// each of them with a tail jump.
[[gnu::noinline]] void executeSpecial(uint32_t op);
[[gnu::noinline]] void executeRegimm(uint32_t op);
[[gnu::noinline]] void executeMmi(uint32_t op);
[[gnu::noinline]] void executeCop0(uint32_t op);
[[gnu::noinline]] void executeCop1(uint32_t op);
[[gnu::noinline]] void executeCop2(uint32_t op);

// The branch rule shared by every conditional branch: the condition has been evaluated; a taken
// branch runs its delay slot (one nested step), then moves PC by the offset, counted from the
// delay slot.
inline void takeBranch(uint32_t op) {
  stepInstruction();
  machine.PC += static_cast<uint32_t>(simm16(op)) * 4 - 4;
}
// A branch-likely that is not taken skips its delay slot.
inline void skipDelaySlot() { machine.PC += 4; }

inline uint64_t& gprLower(uint32_t index) { return machine.GPR[index].lower; }
