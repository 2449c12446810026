// One instruction: reset VF0, fetch at PC, advance PC, dispatch on the primary opcode. Jumps,
// conditional branches and the immediate arithmetic are carried out here; loads and stores and the
// opcode groups have handlers of their own.
#include "cpu/step.h"

#include "cpu/bus.h"
#include "cpu/fault.h"

namespace {

[[gnu::noinline]] void executeImmediate(uint32_t op) {
  const uint64_t s = gprLower(rs(op));
  const auto immediate = static_cast<uint64_t>(static_cast<int64_t>(simm16(op)));
  uint64_t result = 0;
  switch (opcode(op)) {
    case 0x08:  // ADDI: no overflow trap here, exactly ADDIU
    case 0x09:  // ADDIU
      result = signExtend32(static_cast<uint32_t>(s) + static_cast<uint32_t>(immediate));
      break;
    case 0x0A:  // SLTI
      result = static_cast<int64_t>(s) < static_cast<int64_t>(immediate) ? 1 : 0;
      break;
    case 0x0B:  // SLTIU: the sign-extended immediate compared unsigned
      result = s < immediate ? 1 : 0;
      break;
    case 0x0C: result = s & imm16(op); break;                  // ANDI
    case 0x0D: result = s | imm16(op); break;                  // ORI
    case 0x0E: result = s ^ imm16(op); break;                  // XORI
    case 0x0F: result = signExtend32(imm16(op) << 16); break;  // LUI
    case 0x19: result = s + immediate; break;                  // DADDIU
    default: break;
  }
  gprLower(rt(op)) = result;
}

[[gnu::noinline]] void executeJump(uint32_t op, bool link) {
  // The top four bits come from the delay slot's address.
  const uint32_t target = (machine.PC & 0xF0000000) | (target26(op) << 2);
  stepInstruction();
  if (link) {
    // JAL links after its delay slot ran, with the PC the slot left.
    gprLower(31) = signExtend32(machine.PC);
  }
  machine.PC = target;
}

[[gnu::noinline]] void executeBranch(uint32_t op) {
  const auto s = static_cast<int64_t>(gprLower(rs(op)));
  const auto t = static_cast<int64_t>(gprLower(rt(op)));
  bool taken = false;
  switch (opcode(op) & 3) {
    case 0: taken = s == t; break;  // BEQ, BEQL
    case 1: taken = s != t; break;  // BNE, BNEL
    case 2: taken = s <= 0; break;  // BLEZ, BLEZL
    case 3: taken = s > 0; break;   // BGTZ (BGTZL is refused before it gets here)
  }
  if (taken) {
    takeBranch(op);
  } else if (opcode(op) >= 0x14) {
    skipDelaySlot();
  }
}

}  // namespace

void stepInstruction() {
  machine.VF[0][0] = 0;
  machine.VF[0][1] = 0;
  machine.VF[0][2] = 0;
  machine.VF[0][3] = kOneAsFloatBits;

  const uint32_t op = fetchLongInt(machine.PC);
  machine.PC += 4;
  if (op == 0) {
    return;
  }
  switch (opcode(op)) {
    case 0x00: executeSpecial(op); return;
    case 0x01: executeRegimm(op); return;
    case 0x02: executeJump(op, false); return;  // J
    case 0x03: executeJump(op, true); return;   // JAL
    case 0x04:                                  // BEQ
    case 0x05:                                  // BNE
    case 0x06:                                  // BLEZ
    case 0x07:                                  // BGTZ
      executeBranch(op);
      return;
    case 0x08:  // ADDI
    case 0x09:  // ADDIU
    case 0x0A:  // SLTI
    case 0x0B:  // SLTIU
    case 0x0C:  // ANDI
    case 0x0D:  // ORI
    case 0x0E:  // XORI
    case 0x0F:  // LUI
      executeImmediate(op);
      return;
    case 0x10: executeCop0(op); return;
    case 0x11: executeCop1(op); return;
    case 0x12: executeCop2(op); return;
    case 0x13: break;
    case 0x14:  // BEQL
    case 0x15:  // BNEL
    case 0x16:  // BLEZL
      executeBranch(op);
      return;
    case 0x17: break;                         // BGTZL
    case 0x18: break;                         // DADDI
    case 0x19: executeImmediate(op); return;  // DADDIU
    case 0x1A:                                // LDL
    case 0x1B:                                // LDR
      executeLoadStore(op);
      return;
    case 0x1C: executeMmi(op); return;
    case 0x1D: break;
    case 0x1E:  // LQ
    case 0x1F:  // SQ
    case 0x20:  // LB
    case 0x21:  // LH
    case 0x22:  // LWL
    case 0x23:  // LW
    case 0x24:  // LBU
    case 0x25:  // LHU
    case 0x26:  // LWR
    case 0x27:  // LWU
    case 0x28:  // SB
    case 0x29:  // SH
    case 0x2A:  // SWL
    case 0x2B:  // SW
    case 0x2C:  // SDL
    case 0x2D:  // SDR
    case 0x2E:  // SWR
      executeLoadStore(op);
      return;
    case 0x2F: return;  // CACHE: no caches to maintain
    case 0x30: break;
    case 0x31: executeLoadStore(op); return;  // LWC1
    case 0x32: break;
    case 0x33: break;  // PREF
    case 0x34: break;
    case 0x35: break;
    case 0x36: executeLoadStore(op); return;  // LQC2
    case 0x37: executeLoadStore(op); return;  // LD
    case 0x38: break;
    case 0x39: executeLoadStore(op); return;  // SWC1
    case 0x3A: break;
    case 0x3B: break;
    case 0x3C: break;
    case 0x3D: break;
    case 0x3E: executeLoadStore(op); return;  // SQC2
    case 0x3F: executeLoadStore(op); return;  // SD
    default: break;
  }
  machineFault("Unknown opcode family %X!\n", op & 0xFC000000);
}
