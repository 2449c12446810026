// Guest code for tests, assembled by GNU as for the R5900 (little-endian, o32 register names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Assembles `source` (GNU as syntax; `.set noreorder`, `.set noat` and `.set gp=64` are in force:
// delay slots hold exactly what the source puts there, and ld/sd are the 64-bit instructions, not
// o32 pairs of word accesses) and returns the bytes of its .text section.
// Fails the calling test (and returns an empty vector) if the assembler rejects it.
std::vector<uint8_t> assemble(const std::string& source);
