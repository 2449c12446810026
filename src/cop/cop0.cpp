// System control coprocessor (primary opcode 0x10). Not carried out yet: every form is refused.
#include "cpu/fault.h"
#include "cpu/step.h"

void executeCop0(uint32_t op) { machineFault("Unknown COP0 subOpcode %X\n", op & 0x03E00000); }
