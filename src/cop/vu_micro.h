// Micro programs of vector unit 0: VCALLMS runs one to its end, one instruction pair at a time.
// A pair is two little-endian words in micro memory, the lower instruction first.
#pragma once

#include <cstdint>

namespace r5900 {

// Runs the program starting at byte address `start` of micro memory until it stops: after the
// pair that follows the one carrying the E bit.
void runMicroProgram(uint32_t start);
// Runs the pair at the micro PC: its lower instruction, then its upper one, then the branch
// bookkeeping.
void stepMicroPair();
void executeMicroLower(uint32_t word);
void executeMicroUpper(uint32_t word);
// Sets the zero and sign flags of one component (0 x ... 3 w) from the value just stored.
void updateMacFlags(uint32_t component, uint32_t value);

}  // namespace r5900
