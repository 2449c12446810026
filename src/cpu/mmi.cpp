// Multimedia instructions (primary opcode 28). None is carried out yet: every funct is refused.
#include "cpu/fault.h"
#include "cpu/step.h"

void executeMmi(uint32_t op) { machineFault("Unknown MMI opcode %X!\n", funct(op)); }
