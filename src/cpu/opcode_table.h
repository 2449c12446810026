// Dispatch tables built at compile time from one short list per table.
//
// Each instruction group names its accepted instructions once, as {slot, handler, mnemonic,
// operands}; dispatchTable() turns the list into the full array the group indexes with its field
// (funct, rs, bits 10..6, ...), every slot not listed getting the group's refusal. The same list
// answers the disassembler's question "which instruction is this, and how are its operands
// written", so that the decoder, the interpreter and the disassembler read one opcode list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace r5900 {

// How the disassembler writes an instruction's operands, named by the fields it prints in order.
// Register names follow the field: rs, rt, rd general registers; fs, ft, fd FPU registers in the
// FPU formats and vector registers in the vector ones.
enum class Operands : uint8_t {
  kNone,
  kJump,          // J, JAL: the absolute target
  kRsRtBranch,    // rs, rt, the target of the 16-bit offset
  kRsBranch,      // rs, the target
  kBranch,        // the target alone (BC1)
  kRtRsSigned,    // rt, rs, the signed immediate in decimal
  kRtRsUnsigned,  // rt, rs, the zero-extended immediate in hexadecimal
  kRtUnsigned,    // LUI
  kRsSigned,      // MTSAH
  kRtMemory,      // rt, offset(base)
  kFtMemory,      // LWC1, SWC1
  kVfMemory,      // LQC2, SQC2
  kCache,         // the cache operation (rt field) in hexadecimal, offset(base)
  kRdRtSa,        // shifts by a constant
  kRdRtRs,        // shifts by a register
  kRdRsRt,
  kRdRt,
  kRd,
  kRs,
  kJalr,      // rd only when it is not ra
  kMultiply,  // MULT, MULT1: rd only when it is not zero
  kSyscall,   // the 20-bit code, when not zero
  kBreak,     // the code as two fields, bits 25..16 and 15..6
  kSync,      // SYNC.P when bit 10 is set
  kCop0Move,  // rt, the COP0 register by name
  kRtFs,      // MFC1, MTC1
  kFdFsFt,
  kFdFs,
  kFdFt,         // SQRT.S, whose operand is ft on the R5900
  kFsFt,         // compares
  kRtVf,         // QMFC2, QMTC2 (.i when bit 0, the interlock, is set)
  kRtVi,         // CFC2, CTC2 (likewise)
  kVector,       // fd, fs, ft under the dest mask
  kVectorBc,     // fd, fs under the mask, ft's broadcast component
  kVectorQ,      // fd, fs under the mask, Q
  kAccumulator,  // ACC, fs, ft under the mask
  kAccumulatorBc,
  kVectorMove,  // ft, fs under the mask (VMOVE, VMR32)
  kDivide,      // Q, fs.fsf, ft.ftf
  kSquareRoot,  // Q, ft.ftf
  kCallMicro,   // VCALLMS: the byte address of the micro program
};

// What the disassembler learns about one word: no mnemonic when the machine refuses it.
struct OpcodeName {
  const char* mnemonic = nullptr;
  Operands operands = Operands::kNone;
};

// One listed slot. A slot that opens a further map has no mnemonic of its own: `subMap` names
// the instruction from that map's list.
template <typename Handler>
struct Opcode {
  uint32_t slot;
  Handler handler;
  const char* mnemonic;
  Operands operands = Operands::kNone;
  OpcodeName (*subMap)(uint32_t op) = nullptr;
};

template <typename Handler>
constexpr Opcode<Handler> subMap(uint32_t slot, Handler handler, OpcodeName (*names)(uint32_t)) {
  return {slot, handler, nullptr, Operands::kNone, names};
}

// Never defined and not constexpr: reaching a call during constant evaluation stops the build,
// and the compiler's message names the mistake.
void opcodeSlotListedTwice();
void opcodeSlotBeyondTable();

// Checks a list against a table of N slots: every slot below N and listed once.
template <size_t N, typename Entry, size_t M>
consteval bool checkSlots(const Entry (&list)[M]) {
  std::array<bool, N> listed{};
  for (const Entry& entry : list) {
    if (entry.slot >= N) opcodeSlotBeyondTable();
    if (listed[entry.slot]) opcodeSlotListedTwice();
    listed[entry.slot] = true;
  }
  return true;
}

// The full table of N slots: the listed handlers in their slots, `refusal` everywhere else.
template <size_t N, typename Handler, size_t M>
consteval std::array<Handler, N> dispatchTable(const Opcode<Handler> (&list)[M], Handler refusal) {
  checkSlots<N>(list);
  std::array<Handler, N> table{};
  table.fill(refusal);
  for (const Opcode<Handler>& entry : list) table[entry.slot] = entry.handler;
  return table;
}

// The name of the instruction in `slot` of a list; `op` is the whole word, for a sub-map.
template <typename Entry, size_t M>
constexpr OpcodeName opcodeName(const Entry (&list)[M], uint32_t slot, uint32_t op) {
  for (const Entry& entry : list) {
    if (entry.slot == slot) {
      return entry.subMap != nullptr ? entry.subMap(op)
                                     : OpcodeName{entry.mnemonic, entry.operands};
    }
  }
  return {};
}

}  // namespace r5900
