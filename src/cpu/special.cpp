// SPECIAL (primary opcode 0): register arithmetic, shifts, HI/LO/SA moves, conditional moves,
// multiply and divide, jumps through a register, SYSCALL and BREAK. Only the lower 64 bits of the
// general registers are read or written.
#include <cstdint>

#include "cpu/fault.h"
#include "cpu/step.h"

namespace {

uint64_t s64(uint32_t op) { return gprLower(rs(op)); }
uint64_t t64(uint32_t op) { return gprLower(rt(op)); }
uint32_t s32(uint32_t op) { return static_cast<uint32_t>(gprLower(rs(op))); }
uint32_t t32(uint32_t op) { return static_cast<uint32_t>(gprLower(rt(op))); }
void setRd(uint32_t op, uint64_t value) { gprLower(rd(op)) = value; }
uint32_t arithmeticShift32(uint32_t value, uint64_t amount) {
  return static_cast<uint32_t>(static_cast<int32_t>(value) >> amount);
}
uint64_t arithmeticShift64(uint64_t value, uint64_t amount) {
  return static_cast<uint64_t>(static_cast<int64_t>(value) >> amount);
}

// MULT: the signed 64-bit product of the low words; LO and HI get its halves, sign-extended, and
// the R5900 also writes the new LO to rd.
void multiply(uint32_t op) {
  const int64_t product =
      int64_t{static_cast<int32_t>(s32(op))} * int64_t{static_cast<int32_t>(t32(op))};
  machine.LO.lower = signExtend32(static_cast<uint32_t>(product));
  machine.HI.lower = signExtend32(static_cast<uint32_t>(static_cast<uint64_t>(product) >> 32));
  setRd(op, machine.LO.lower);
}

// A register jump runs its delay slot first; JALR then links, and only then is rs read, so a
// JALR whose rd equals rs jumps to its own return address.
[[gnu::noinline]] void jumpRegister(uint32_t op, bool link) {
  stepInstruction();
  if (link) {
    gprLower(rd(op)) = signExtend32(machine.PC);
  }
  machine.PC = static_cast<uint32_t>(gprLower(rs(op)));
}

[[gnu::noinline]] void syscall() {
  const auto service = static_cast<int32_t>(gprLower(3));  // v1 names the service
  guestPrintf("SYSCALL[%d]\n", service);
  if (service == 122) {
    gprLower(2) = 255;
    return;
  }
  if (service == 117) {
    guestPrintf("PRINT!\n");
  }
  machine.cop0[13] = 0x20;                          // Cause: ExcCode 8, system call
  machine.cop0[14] = signExtend32(machine.PC - 4);  // EPC: the SYSCALL itself
  machine.PC = 0;
}

[[gnu::noinline]] void breakToHostService(uint32_t op) {
  const uint32_t code = (op >> 6) & 0xFFFFF;
  const HostService service =
      code < kHostServiceCount ? machine.hostServices[code].service : nullptr;
  if (service == nullptr) {
    machineFault("No host service registered for BREAK %X\n", code);
  }
  service();
  machine.PC = static_cast<uint32_t>(gprLower(31));
}

// 32-bit signed division as the hardware leaves it, including the cases the quotient cannot
// express: x / 0 gives LO = -1 (x >= 0) or 1 (x < 0) and HI = x; INT32_MIN / -1 gives
// LO = INT32_MIN and HI = 0.
[[gnu::noinline]] void divide(int32_t dividend, int32_t divisor) {
  int32_t quotient = 0;
  int32_t remainder = 0;
  if (divisor == 0) {
    quotient = dividend >= 0 ? -1 : 1;
    remainder = dividend;
  } else if (dividend == INT32_MIN && divisor == -1) {
    quotient = INT32_MIN;
    remainder = 0;
  } else {
    quotient = dividend / divisor;
    remainder = dividend % divisor;
  }
  machine.LO.lower = signExtend32(static_cast<uint32_t>(quotient));
  machine.HI.lower = signExtend32(static_cast<uint32_t>(remainder));
}

[[gnu::noinline]] void divideUnsigned(uint32_t dividend, uint32_t divisor) {
  const uint32_t quotient = divisor == 0 ? 0xFFFFFFFF : dividend / divisor;
  const uint32_t remainder = divisor == 0 ? dividend : dividend % divisor;
  machine.LO.lower = signExtend32(quotient);
  machine.HI.lower = signExtend32(remainder);
}

}  // namespace

// Operands are read inside each case, after the dispatch, so that no value stays live across it.
void executeSpecial(uint32_t op) {
  switch (funct(op)) {
    case 0:  // SLL
      return setRd(op, signExtend32(t32(op) << sa(op)));
    case 1: break;
    case 2:  // SRL
      return setRd(op, signExtend32(t32(op) >> sa(op)));
    case 3:  // SRA
      return setRd(op, signExtend32(arithmeticShift32(t32(op), sa(op))));
    case 4:  // SLLV: only bits 4..0 of rs count
      return setRd(op, signExtend32(t32(op) << (s64(op) & 31)));
    case 5: break;
    case 6:  // SRLV
      return setRd(op, signExtend32(t32(op) >> (s64(op) & 31)));
    case 7:  // SRAV
      return setRd(op, signExtend32(arithmeticShift32(t32(op), s64(op) & 31)));
    case 8:  // JR
      return jumpRegister(op, false);
    case 9:  // JALR
      return jumpRegister(op, true);
    case 10:  // MOVZ
      if (t64(op) == 0) setRd(op, s64(op));
      return;
    case 11:  // MOVN
      if (t64(op) != 0) setRd(op, s64(op));
      return;
    case 12:  // SYSCALL
      return syscall();
    case 13:  // BREAK
      return breakToHostService(op);
    case 14: break;
    case 15:  // SYNC
      return;
    case 16:  // MFHI
      return setRd(op, machine.HI.lower);
    case 17:  // MTHI
      machine.HI.lower = s64(op);
      return;
    case 18:  // MFLO
      return setRd(op, machine.LO.lower);
    case 19:  // MTLO
      machine.LO.lower = s64(op);
      return;
    case 20:  // DSLLV: bits 5..0 of rs count
      return setRd(op, t64(op) << (s64(op) & 63));
    case 21: break;
    case 22: break;  // DSRLV
    case 23:         // DSRAV
      return setRd(op, arithmeticShift64(t64(op), s64(op) & 63));
    case 24:  // MULT
      return multiply(op);
    case 25: break;  // MULTU
    case 26:         // DIV
      return divide(static_cast<int32_t>(s32(op)), static_cast<int32_t>(t32(op)));
    case 27:  // DIVU
      return divideUnsigned(s32(op), t32(op));
    case 28: break;
    case 29: break;
    case 30: break;
    case 31: break;
    case 32:  // ADD: no overflow trap here, exactly ADDU
    case 33:  // ADDU
      return setRd(op, signExtend32(s32(op) + t32(op)));
    case 34:  // SUB: exactly SUBU
    case 35:  // SUBU
      return setRd(op, signExtend32(s32(op) - t32(op)));
    case 36:  // AND
      return setRd(op, s64(op) & t64(op));
    case 37:  // OR
      return setRd(op, s64(op) | t64(op));
    case 38:  // XOR
      return setRd(op, s64(op) ^ t64(op));
    case 39:  // NOR
      return setRd(op, ~(s64(op) | t64(op)));
    case 40:  // MFSA
      return setRd(op, machine.SA);
    case 41:  // MTSA
      machine.SA = s32(op);
      return;
    case 42:  // SLT
      return setRd(op, static_cast<int64_t>(s64(op)) < static_cast<int64_t>(t64(op)) ? 1 : 0);
    case 43:  // SLTU
      return setRd(op, s64(op) < t64(op) ? 1 : 0);
    case 44: break;  // DADD
    case 45:         // DADDU
      return setRd(op, s64(op) + t64(op));
    case 46: break;  // DSUB
    case 47:         // DSUBU
      return setRd(op, s64(op) - t64(op));
    case 48: break;  // TGE
    case 49: break;  // TGEU
    case 50: break;  // TLT
    case 51: break;  // TLTU
    case 52: break;  // TEQ
    case 53: break;
    case 54: break;  // TNE
    case 55: break;
    case 56:  // DSLL
      return setRd(op, t64(op) << sa(op));
    case 57: break;
    case 58:  // DSRL
      return setRd(op, t64(op) >> sa(op));
    case 59: break;  // DSRA
    case 60:         // DSLL32
      return setRd(op, t64(op) << (sa(op) + 32));
    case 61: break;
    case 62:  // DSRL32
      return setRd(op, t64(op) >> (sa(op) + 32));
    case 63:  // DSRA32
      return setRd(op, arithmeticShift64(t64(op), sa(op) + 32));
    default: break;
  }
  machineFault("Unknown special opcode %X!\n", funct(op));
}

void executeRegimm(uint32_t op) {
  const auto s = static_cast<int64_t>(gprLower(rs(op)));
  switch (rt(op)) {
    case 0x00:
      if (s < 0) takeBranch(op);
      return;  // BLTZ
    case 0x01:
      if (s >= 0) takeBranch(op);
      return;   // BGEZ
    case 0x02:  // BLTZL
      if (s < 0)
        takeBranch(op);
      else
        skipDelaySlot();
      return;
    case 0x03:  // BGEZL
      if (s >= 0)
        takeBranch(op);
      else
        skipDelaySlot();
      return;
    case 0x19:  // MTSAH: a halfword shift amount, 16 bits per step
      machine.SA = ((static_cast<uint32_t>(s) ^ imm16(op)) & 3) * 16;
      return;
    default: break;
  }
  machineFault("Unknown REGIMM opcode %X!\n", op & 0x1F0000);
}
