// Disassembly of one instruction word, for guest-run --trace.
#pragma once

#include <cstdint>
#include <string>

namespace r5900 {

// The general registers by their o32 names, as the disassembler prints them and guest-run reads
// them.
inline constexpr const char* kGprNames[32] = {"zero", "at", "v0", "v1", "a0", "a1", "a2", "a3",
                                              "t0",   "t1", "t2", "t3", "t4", "t5", "t6", "t7",
                                              "s0",   "s1", "s2", "s3", "s4", "s5", "s6", "s7",
                                              "t8",   "t9", "k0", "k1", "gp", "sp", "s8", "ra"};

// The mnemonic and its operands as GNU objdump writes them for the R5900 with o32 register names
// and no aliases (`objdump -M gpr-names=32,no-aliases`), with one space where objdump puts a tab:
// "addiu t0,zero,42", "beq t0,zero,0x100018" (branch and jump targets absolute, from `address`),
// "vadd.xyz $vf1xyz,$vf2xyz,$vf3xyz". A word the machine refuses is ".word 0x...".
//
// Where objdump does not know a word the interpreter accepts (it prints ".word" or "c1 0x..."),
// the word gets the form objdump gives the encoding it does know: fields the R5900 ignores and
// that form has no place for are not printed (rs of a shift, the stype of SYNC but bit 10, bits
// 10..1 of QMFC2, ft of CVT.W.S); rd of DIV and the dest mask of VOPMSUB and VOPMULA, which write
// x, y and z whatever it says, are printed as the word holds them. SQRT.S names ft, the register
// the R5900 reads, where objdump names fs.
std::string disassemble(uint32_t word, uint32_t address);

}  // namespace r5900
