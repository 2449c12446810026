// The interpreter of the emulated processor, for front ends that run guest code themselves: the
// machine's state, its memory and bus, one step at a time, the faults that stop it, where the text
// it prints goes, and the disassembler that traces it.
#pragma once

#include "cpu/bus.h"
#include "cpu/disassemble.h"
#include "cpu/fault.h"
#include "cpu/machine_state.h"
#include "cpu/step.h"
