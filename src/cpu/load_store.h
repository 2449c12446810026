// Loads and stores of the primary opcode map, one function per mnemonic. Each takes the
// instruction word and the address of the next instruction, which it returns. The effective
// address is the low word of rs plus the sign-extended offset, wrapping at 4 GiB, and no alignment
// is required anywhere.
#pragma once

#include <cstdint>

namespace r5900 {

// Out of line on purpose: executeAt stays a frameless dispatcher that tail-jumps here.
[[gnu::noinline]] uint32_t loadByte(uint32_t op, uint32_t pc);          // LB
[[gnu::noinline]] uint32_t loadByteUnsigned(uint32_t op, uint32_t pc);  // LBU
[[gnu::noinline]] uint32_t loadHalf(uint32_t op, uint32_t pc);          // LH
[[gnu::noinline]] uint32_t loadHalfUnsigned(uint32_t op, uint32_t pc);  // LHU
[[gnu::noinline]] uint32_t loadWord(uint32_t op, uint32_t pc);          // LW
[[gnu::noinline]] uint32_t loadWordUnsigned(uint32_t op, uint32_t pc);  // LWU
[[gnu::noinline]] uint32_t loadDouble(uint32_t op, uint32_t pc);        // LD
[[gnu::noinline]] uint32_t loadQuad(uint32_t op, uint32_t pc);          // LQ
[[gnu::noinline]] uint32_t loadWordToFpr(uint32_t op, uint32_t pc);     // LWC1
[[gnu::noinline]] uint32_t loadQuadToVf(uint32_t op, uint32_t pc);      // LQC2
[[gnu::noinline]] uint32_t loadWordLeft(uint32_t op, uint32_t pc);      // LWL
[[gnu::noinline]] uint32_t loadWordRight(uint32_t op, uint32_t pc);     // LWR
[[gnu::noinline]] uint32_t loadDoubleLeft(uint32_t op, uint32_t pc);    // LDL
[[gnu::noinline]] uint32_t loadDoubleRight(uint32_t op, uint32_t pc);   // LDR

[[gnu::noinline]] uint32_t storeByte(uint32_t op, uint32_t pc);         // SB
[[gnu::noinline]] uint32_t storeHalf(uint32_t op, uint32_t pc);         // SH
[[gnu::noinline]] uint32_t storeWord(uint32_t op, uint32_t pc);         // SW
[[gnu::noinline]] uint32_t storeDouble(uint32_t op, uint32_t pc);       // SD
[[gnu::noinline]] uint32_t storeQuad(uint32_t op, uint32_t pc);         // SQ
[[gnu::noinline]] uint32_t storeWordFromFpr(uint32_t op, uint32_t pc);  // SWC1
[[gnu::noinline]] uint32_t storeQuadFromVf(uint32_t op, uint32_t pc);   // SQC2
[[gnu::noinline]] uint32_t storeWordLeft(uint32_t op, uint32_t pc);     // SWL
[[gnu::noinline]] uint32_t storeWordRight(uint32_t op, uint32_t pc);    // SWR
[[gnu::noinline]] uint32_t storeDoubleLeft(uint32_t op, uint32_t pc);   // SDL
[[gnu::noinline]] uint32_t storeDoubleRight(uint32_t op, uint32_t pc);  // SDR

}  // namespace r5900
