// The machine's state as guest-run prints it: one JSON object on one line, the registers of the
// core, the memory dumps asked for, then the coprocessors and the vector unit.
#pragma once

#include <cstdint>
#include <vector>

#include "options.h"

// On stdout, after a line feed when what the guest printed did not end its line.
void printState(uint64_t steps, const std::vector<Dump>& dumps);
