// Guest code for tests, assembled by GNU as for the R5900 (little-endian, o32 register names), and
// GNU objdump's reading of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Assembles `source` (GNU as syntax; `.set noreorder`, `.set noat` and `.set gp=64` are in force:
// delay slots hold exactly what the source puts there, and ld/sd are the 64-bit instructions, not
// o32 pairs of word accesses) and returns the bytes of its .text section.
// Fails the calling test (and returns an empty vector) if the assembler rejects it.
std::vector<uint8_t> assemble(const std::string& source);

// What objdump -M gpr-names=32,no-aliases prints for each word of `bytes` placed at `address`:
// "mnemonic operands" (one blank between them, none after a bare mnemonic), by address.
std::map<uint32_t, std::string> objdump(const std::vector<uint8_t>& bytes, uint32_t address);
