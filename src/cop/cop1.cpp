// Floating-point unit (primary opcode 0x11). Not carried out yet: every form is refused.
#include "cpu/fault.h"
#include "cpu/step.h"

void executeCop1(uint32_t op) { machineFault("Unknown COP1 subOpcode %X\n", op & 0x03E00000); }
