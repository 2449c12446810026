// Loads and stores of the primary opcode map, one function per mnemonic. Each takes the
// instruction word; the effective address is the low word of rs plus the sign-extended offset,
// wrapping at 4 GiB, and no alignment is required anywhere.
#pragma once

#include <cstdint>

// Out of line on purpose: stepInstruction stays a frameless dispatcher that tail-jumps here.

[[gnu::noinline]] void loadByte(uint32_t op);          // LB
[[gnu::noinline]] void loadByteUnsigned(uint32_t op);  // LBU
[[gnu::noinline]] void loadHalf(uint32_t op);          // LH
[[gnu::noinline]] void loadHalfUnsigned(uint32_t op);  // LHU
[[gnu::noinline]] void loadWord(uint32_t op);          // LW
[[gnu::noinline]] void loadWordUnsigned(uint32_t op);  // LWU
[[gnu::noinline]] void loadDouble(uint32_t op);        // LD
[[gnu::noinline]] void loadQuad(uint32_t op);          // LQ
[[gnu::noinline]] void loadWordToFpr(uint32_t op);     // LWC1
[[gnu::noinline]] void loadQuadToVf(uint32_t op);      // LQC2
[[gnu::noinline]] void loadWordLeft(uint32_t op);      // LWL
[[gnu::noinline]] void loadWordRight(uint32_t op);     // LWR
[[gnu::noinline]] void loadDoubleLeft(uint32_t op);    // LDL
[[gnu::noinline]] void loadDoubleRight(uint32_t op);   // LDR

[[gnu::noinline]] void storeByte(uint32_t op);         // SB
[[gnu::noinline]] void storeHalf(uint32_t op);         // SH
[[gnu::noinline]] void storeWord(uint32_t op);         // SW
[[gnu::noinline]] void storeDouble(uint32_t op);       // SD
[[gnu::noinline]] void storeQuad(uint32_t op);         // SQ
[[gnu::noinline]] void storeWordFromFpr(uint32_t op);  // SWC1
[[gnu::noinline]] void storeQuadFromVf(uint32_t op);   // SQC2
[[gnu::noinline]] void storeWordLeft(uint32_t op);     // SWL
[[gnu::noinline]] void storeWordRight(uint32_t op);    // SWR
[[gnu::noinline]] void storeDoubleLeft(uint32_t op);   // SDL
[[gnu::noinline]] void storeDoubleRight(uint32_t op);  // SDR
