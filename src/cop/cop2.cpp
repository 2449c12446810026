// Vector unit 0 macro instructions (primary opcode 0x12). Not carried out yet: every form is
// refused.
#include "cpu/fault.h"
#include "cpu/step.h"

void executeCop2(uint32_t /*op*/) { machineFault("Unknown COP2 subOpcode\n"); }
