// The disassembler: the instruction lists of the groups name the word (cpu/opcode_table.h), and
// its operand form says which fields to print and how.
#include "cpu/disassemble.h"

#include <cstdio>

#include "cpu/decode.h"
#include "cpu/step.h"

namespace r5900 {

namespace {

// The R5900's COP0 registers by name; the unnamed ones print as $N. 24 and 25, the debug and
// performance-counter registers, have moves of their own (MFBPC, MFPS and so on).
constexpr const char* kCop0Names[32] = {
    "c0_index",    "c0_random", "c0_entrylo0", "c0_entrylo1", "c0_context", "c0_pagemask",
    "c0_wired",    nullptr,     "c0_badvaddr", "c0_count",    "c0_entryhi", "c0_compare",
    "c0_sr",       "c0_cause",  "c0_epc",      "c0_prid",     "c0_config",  nullptr,
    nullptr,       nullptr,     nullptr,       nullptr,       nullptr,      "c0_badpaddr",
    nullptr,       nullptr,     nullptr,       nullptr,       "c0_taglo",   "c0_taghi",
    "c0_errorepc", nullptr};
constexpr uint32_t kBreakpointControl = 24, kPerformanceCounter = 25;

std::string format(const char* text, auto... values) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, text, values...);
  return buffer;
}
std::string hex(uint32_t value) { return format("0x%x", value); }
std::string gpr(uint32_t index) { return kGprNames[index]; }
std::string fpr(uint32_t index) { return format("$f%u", index); }
std::string word(uint32_t op) { return ".word " + hex(op); }

// A 16-bit offset counts words from the delay slot.
std::string branchTarget(uint32_t op, uint32_t address) {
  return hex(address + 4 + static_cast<uint32_t>(simm16(op)) * 4);
}
std::string memory(uint32_t op) { return format("%d(", simm16(op)) + gpr(rs(op)) + ")"; }

// Vector components: those the dest mask selects, or one numbered 0..3.
std::string destMask(uint32_t op) {
  std::string letters;
  for (uint32_t c = 0; c < 4; ++c) {
    if (destSelects(op, c)) letters += "xyzw"[c];
  }
  return letters;
}
std::string component(uint32_t index) { return std::string(1, "xyzw"[index]); }
std::string vf(uint32_t index, const std::string& components) {
  return format("$vf%u", index) + components;
}

// The operands, and the mnemonic for the forms that add a suffix to it.
std::string operands(Operands form, std::string& mnemonic, uint32_t op, uint32_t address) {
  const std::string mask = destMask(op);
  switch (form) {
    case Operands::kNone: return "";
    case Operands::kJump: return hex(((address + 4) & 0xF0000000) | target26(op) << 2);
    case Operands::kRsRtBranch:
      return gpr(rs(op)) + "," + gpr(rt(op)) + "," + branchTarget(op, address);
    case Operands::kRsBranch: return gpr(rs(op)) + "," + branchTarget(op, address);
    case Operands::kBranch: return branchTarget(op, address);
    case Operands::kRtRsSigned: return gpr(rt(op)) + "," + gpr(rs(op)) + format(",%d", simm16(op));
    case Operands::kRtRsUnsigned: return gpr(rt(op)) + "," + gpr(rs(op)) + "," + hex(imm16(op));
    case Operands::kRtUnsigned: return gpr(rt(op)) + "," + hex(imm16(op));
    case Operands::kRsSigned: return gpr(rs(op)) + format(",%d", simm16(op));
    case Operands::kRtMemory: return gpr(rt(op)) + "," + memory(op);
    case Operands::kFtMemory: return fpr(ft(op)) + "," + memory(op);
    case Operands::kVfMemory: return vf(ft(op), "") + "," + memory(op);
    case Operands::kCache: return hex(rt(op)) + "," + memory(op);
    case Operands::kRdRtSa: return gpr(rd(op)) + "," + gpr(rt(op)) + "," + hex(sa(op));
    case Operands::kRdRtRs: return gpr(rd(op)) + "," + gpr(rt(op)) + "," + gpr(rs(op));
    case Operands::kRdRsRt: return gpr(rd(op)) + "," + gpr(rs(op)) + "," + gpr(rt(op));
    case Operands::kRdRt: return gpr(rd(op)) + "," + gpr(rt(op));
    case Operands::kRd: return gpr(rd(op));
    case Operands::kRs: return gpr(rs(op));
    case Operands::kJalr: return (rd(op) == 31 ? "" : gpr(rd(op)) + ",") + gpr(rs(op));
    case Operands::kMultiply:
      return (rd(op) == 0 ? "" : gpr(rd(op)) + ",") + gpr(rs(op)) + "," + gpr(rt(op));
    case Operands::kSyscall: {
      const uint32_t code = code20(op);
      return code == 0 ? "" : hex(code);
    }
    case Operands::kBreak: {
      const uint32_t high = (op >> 16) & 0x3FF, low = (op >> 6) & 0x3FF;
      if (low != 0) return hex(high) + "," + hex(low);
      return high == 0 ? "" : hex(high);
    }
    case Operands::kSync:
      if ((op & 0x400) != 0) mnemonic += ".p";
      return "";
    case Operands::kCop0Move:
      if (rd(op) == kBreakpointControl || rd(op) == kPerformanceCounter) {
        mnemonic = mnemonic.substr(0, 2) + (rd(op) == kBreakpointControl ? "bpc" : "ps");
        return gpr(rt(op)) + (rd(op) == kBreakpointControl ? "" : ",0");
      }
      return gpr(rt(op)) + "," +
             (kCop0Names[rd(op)] != nullptr ? kCop0Names[rd(op)] : format("$%u", rd(op)));
    case Operands::kRtFs: return gpr(rt(op)) + "," + fpr(fs(op));
    case Operands::kFdFsFt: return fpr(fd(op)) + "," + fpr(fs(op)) + "," + fpr(ft(op));
    case Operands::kFdFs: return fpr(fd(op)) + "," + fpr(fs(op));
    case Operands::kFdFt: return fpr(fd(op)) + "," + fpr(ft(op));
    case Operands::kFsFt: return fpr(fs(op)) + "," + fpr(ft(op));
    case Operands::kRtVf:
    case Operands::kRtVi:
      if ((op & 1) != 0) mnemonic += ".i";  // the interlock bit
      return gpr(rt(op)) + format(form == Operands::kRtVf ? ",$vf%u" : ",$vi%u", rd(op));
    case Operands::kVector:
      mnemonic += "." + mask;
      return vf(fd(op), mask) + "," + vf(fs(op), mask) + "," + vf(ft(op), mask);
    case Operands::kVectorBc:
      mnemonic += "." + mask;
      return vf(fd(op), mask) + "," + vf(fs(op), mask) + "," + vf(ft(op), component(bc(op)));
    case Operands::kVectorQ:
      mnemonic += "." + mask;
      return vf(fd(op), mask) + "," + vf(fs(op), mask) + ",$Q";
    case Operands::kAccumulator:
      mnemonic += "." + mask;
      return "$ACC" + mask + "," + vf(fs(op), mask) + "," + vf(ft(op), mask);
    case Operands::kAccumulatorBc:
      mnemonic += "." + mask;
      return "$ACC" + mask + "," + vf(fs(op), mask) + "," + vf(ft(op), component(bc(op)));
    case Operands::kVectorMove:
      mnemonic += "." + mask;
      return vf(ft(op), mask) + "," + vf(fs(op), mask);
    case Operands::kDivide:
      return "$Q," + vf(fs(op), component(fsf(op))) + "," + vf(ft(op), component(ftf(op)));
    case Operands::kSquareRoot: return "$Q," + vf(ft(op), component(ftf(op)));
    case Operands::kCallMicro: return hex(microProgramStart(op));
  }
  return "";
}

}  // namespace

std::string disassemble(uint32_t op, uint32_t address) {
  const OpcodeName name = primaryName(op);
  if (name.mnemonic == nullptr) {
    return word(op);
  }
  std::string mnemonic = name.mnemonic;
  const std::string text = operands(name.operands, mnemonic, op, address);
  return text.empty() ? mnemonic : mnemonic + " " + text;
}

}  // namespace r5900
