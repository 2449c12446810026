// SPECIAL and REGIMM: register arithmetic, shifts, multiply and divide, the HI/LO/SA moves,
// jumps through a register, REGIMM branches, SYSCALL, BREAK and the refused encodings.
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/machine_fixture.h"

namespace {

constexpr uint64_t kUpperSentinel = 0x5A5A5A5A00000000;
constexpr uint64_t kRdBefore = 0xD1D2D3D4D5D6D7D8;

class SpecialTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (uint32_t i = 0; i < 32; ++i) upper(i) = kUpperSentinel + i;
    machine.HI.upper = kUpperSentinel + 32;  // HI1 and LO1 belong to the MMI instructions
    machine.LO.upper = kUpperSentinel + 33;
  }
  // Nothing in SPECIAL or REGIMM touches bits 127..64 of a register, HI or LO.
  static void expectUppersKept() {
    for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(upper(i), kUpperSentinel + i) << "register " << i;
    EXPECT_EQ(machine.HI.upper, kUpperSentinel + 32);
    EXPECT_EQ(machine.LO.upper, kUpperSentinel + 33);
  }
  static ChildResult stepInChild() {
    machine.PC = kCodeAddress;
    return runInChild([] { step(); });
  }
};

// rs is t0, rt is t1, rd is t2 (which holds kRdBefore).
TEST_F(SpecialTest, ArithmeticLogicAndShifts) {
  const struct {
    const char* source;
    uint64_t rs, rt, expected;
  } cases[] = {{"sll    $t2, $t1, 1", 0, 0x40000000, 0xFFFFFFFF80000000},
               {"srl    $t2, $t1, 1", 0, 0xFFFFFFFF80000000, 0x40000000},
               {"sra    $t2, $t1, 1", 0, 0xFFFFFFFF80000000, 0xFFFFFFFFC0000000},
               // A shift by 0 still sign-extends the low word.
               {"sll    $t2, $t1, 0", 0, 0x0000000180000000, 0xFFFFFFFF80000000},
               {"sra    $t2, $t1, 0", 0, 0xFFFFFFFF7FFFFFFF, 0x7FFFFFFF},
               // The variable shifts count bits 4..0 (32-bit) or 5..0 (64-bit) of rs.
               {"sllv   $t2, $t1, $t0", 33, 1, 2},
               {"srav   $t2, $t1, $t0", 63, 0x80000000, 0xFFFFFFFFFFFFFFFF},
               {"dsllv  $t2, $t1, $t0", 65, 1, 2},
               {"dsllv  $t2, $t1, $t0", 36, 1, 0x1000000000},
               {"dsrav  $t2, $t1, $t0", 65, 0x8000000000000000, 0xC000000000000000},
               {"dsrl   $t2, $t1, 4", 0, 0x8000000000000001, 0x0800000000000000},
               {"dsll32 $t2, $t1, 1", 0, 0x80000001, 0x200000000},
               {"dsrl32 $t2, $t1, 31", 0, 0x8000000000000000, 1},
               {"dsra32 $t2, $t1, 31", 0, 0x8000000000000000, 0xFFFFFFFFFFFFFFFF},
               {"slt    $t2, $t0, $t1", 0xFFFFFFFFFFFFFFFF, 0, 1},
               {"sltu   $t2, $t0, $t1", 0xFFFFFFFFFFFFFFFF, 0, 0},
               {"slt    $t2, $t0, $t1", 0x0000000100000000, 1, 0},  // not just the low words
               // ADD and SUB never trap: 32-bit results of the low words, sign-extended.
               {"add    $t2, $t0, $t1", 0x7FFFFFFF, 1, 0xFFFFFFFF80000000},
               {"addu   $t2, $t0, $t1", 0xFFFFFFFF00000001, 1, 2},
               {"sub    $t2, $t0, $t1", 0xFFFFFFFF80000000, 1, 0x7FFFFFFF},
               {"daddu  $t2, $t0, $t1", 0xFFFFFFFF, 1, 0x100000000},
               {"dsubu  $t2, $t0, $t1", 0, 1, 0xFFFFFFFFFFFFFFFF},
               {"and    $t2, $t0, $t1", 0xFF000000000000FF, 0xF0F0F0F0F0F0F0F0, 0xF0000000000000F0},
               {"xor    $t2, $t0, $t1", 0xFFFF0000FFFF0000, 0xFF00FF00FF00FF00, 0x00FFFF0000FFFF00},
               {"nor    $t2, $t0, $t1", 0xFF00000000000000, 0x00000000000000FF, 0x00FFFFFFFFFFFF00},
               // The conditional moves test all 64 bits of rt.
               {"movz   $t2, $t0, $t1", 0x1122334455667788, 0x100000000, kRdBefore},
               {"movz   $t2, $t0, $t1", 0x1122334455667788, 0, 0x1122334455667788},
               {"movn   $t2, $t0, $t1", 0x1122334455667788, 0x100000000, 0x1122334455667788},
               {"sync", 1, 2, kRdBefore},
               // The destination is also a source: every operand is read before it is written.
               {"addu   $t2, $t2, $t2", 0, 0, 0xFFFFFFFFABADAFB0},
               {"sllv   $t2, $t2, $t2", 0, 0, 0xFFFFFFFFD8000000},
               {"movn   $t2, $t0, $t2", 7, 0, 7},
               {"mult   $t2, $t2, $t1", 0, 2, 0xFFFFFFFFABADAFB0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    reg(8) = c.rs;
    reg(9) = c.rt;
    reg(10) = kRdBefore;
    runAsm(c.source);
    EXPECT_EQ(reg(10), c.expected);
  }
  expectUppersKept();
}

// MULT and DIV work on the low words and leave 32-bit results sign-extended in LO and HI; MULT
// also writes LO to rd. Division by zero and INT_MIN / -1 leave what the hardware leaves. The
// three-operand DIV with $zero is the bare instruction, without the assembler's checks.
TEST_F(SpecialTest, MultiplyAndDivide) {
  const struct {
    const char* source;
    uint64_t rs, rt, lo, hi;
  } cases[] = {
      {"mult $t2, $t0, $t1", 0xFFFFFFFFFFFFFFFE, 3, 0xFFFFFFFFFFFFFFFA, 0xFFFFFFFFFFFFFFFF},
      {"mult $t2, $t0, $t1", 0xABCDEF01FFFFFFFE, 0x1234567800000003, 0xFFFFFFFFFFFFFFFA,
       0xFFFFFFFFFFFFFFFF},
      {"mult $t2, $t0, $t1", 0x7FFFFFFF, 0x7FFFFFFF, 1, 0x3FFFFFFF},
      {"mult $t2, $t0, $t1", 0x10000, 0x8000, 0xFFFFFFFF80000000, 0},
      {"div  $zero, $t0, $t1", 7, 0xFFFFFFFFFFFFFFFE, 0xFFFFFFFFFFFFFFFD, 1},
      {"div  $zero, $t0, $t1", 0xFFFFFFFFFFFFFFF9, 2, 0xFFFFFFFFFFFFFFFD, 0xFFFFFFFFFFFFFFFF},
      {"div  $zero, $t0, $t1", 0x1234567800000007, 0xFFFFFFFF00000002, 3, 1},
      {"div  $zero, $t0, $t1", 5, 0, 0xFFFFFFFFFFFFFFFF, 5},
      {"div  $zero, $t0, $t1", 0xFFFFFFFFFFFFFFFB, 0, 1, 0xFFFFFFFFFFFFFFFB},
      {"div  $zero, $t0, $t1", 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF80000000, 0},
      {"divu $zero, $t0, $t1", 0xFFFFFFFF, 2, 0x7FFFFFFF, 1},
      {"divu $zero, $t0, $t1", 0x80000000, 1, 0xFFFFFFFF80000000, 0},
      {"divu $zero, $t0, $t1", 0x80000005, 0, 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFF80000005}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " " << std::hex << c.rs << ", " << c.rt);
    reg(8) = c.rs;
    reg(9) = c.rt;
    reg(10) = kRdBefore;
    runAsm(c.source);
    EXPECT_EQ(machine.LO.lower, c.lo);
    EXPECT_EQ(machine.HI.lower, c.hi);
    EXPECT_EQ(reg(10), c.source[1] == 'u' ? c.lo : kRdBefore);
  }
  expectUppersKept();
}

// SA holds 32 bits, and MFSA zero-extends them. MTSAH sets a halfword shift:
// SA = ((rs ^ immediate) & 3) * 16.
TEST_F(SpecialTest, HiLoAndShiftAmountMoves) {
  reg(8) = 0x0123456789ABCDEF;
  reg(9) = 0xFFFFFFFF80000010;
  runAsm("mthi $t0\n mtlo $t1\n mfhi $t2\n mflo $t3\n mtsa $t1\n mfsa $t4");
  EXPECT_EQ(machine.HI.lower, 0x0123456789ABCDEFu);
  EXPECT_EQ(reg(10), 0x0123456789ABCDEFu);
  EXPECT_EQ(reg(11), 0xFFFFFFFF80000010u);
  EXPECT_EQ(machine.SA, 0x80000010u);
  EXPECT_EQ(reg(12), 0x80000010u);
  expectUppersKept();

  const struct {
    uint64_t rs;
    const char* immediate;
    uint32_t sa;
  } cases[] = {{0, "3", 48}, {1, "0", 16}, {5, "6", 48}, {0xFFFFFFFF, "0xFFFE", 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.rs << " ^ " << c.immediate);
    reg(8) = c.rs;
    runAsm(std::string("mtsah $t0, ") + c.immediate);
    EXPECT_EQ(machine.SA, c.sa);
  }
}

// A register jump runs its delay slot first; JALR then links (the slot saw the old ra), and
// only then is rs read, so a JALR with rd == rs jumps to its own return address.
TEST_F(SpecialTest, RegisterJumps) {
  loadAsm("jr $t0\n daddiu $t0, $t0, 8");
  reg(8) = 0xFFFFFFFF80002000;
  machine.PC = kCodeAddress;
  step();
  EXPECT_EQ(machine.PC, 0x80002008u);

  loadAsm("jalr $t0\n or $t1, $ra, $zero", 0x80001000);
  reg(8) = 0x80001100;
  reg(31) = 0x123456789ABCDEF0;
  machine.PC = 0x80001000;
  step();
  EXPECT_EQ(reg(9), 0x123456789ABCDEF0u);
  EXPECT_EQ(reg(31), 0xFFFFFFFF80001008u);
  EXPECT_EQ(machine.PC, 0x80001100u);

  loadAsm(".word 0x01004009  # jalr $t0, $t0: the assembler refuses rd == rs\n nop", 0x80001000);
  machine.PC = 0x80001000;
  step();
  EXPECT_EQ(reg(8), 0xFFFFFFFF80001008u);
  EXPECT_EQ(machine.PC, 0x80001008u);
  expectUppersKept();
}

// The delay slot changes t0, the tested register: the condition is evaluated before it runs.
TEST_F(SpecialTest, RegimmBranches) {
  enum Outcome { kTaken, kFallThrough, kSlotSkipped };
  const struct {
    const char* branch;
    uint64_t t0;
    Outcome outcome;
    int32_t target = 12;  // from the branch, when taken
  } cases[] = {{"bltz  $t0, 1f", 0xFFFFFFFFFFFFFFFF, kTaken},
               {"bltz  $t0, 1f", 0, kFallThrough},
               {"bltz  $t0, 1f", 0x80000000, kFallThrough},  // 64-bit comparison
               {"bgez  $t0, 1f", 0, kTaken},
               {"bgez  $t0, 1f", 0xFFFFFFFF00000000, kFallThrough},
               {"bltzl $t0, 1f", 0x8000000000000000, kTaken},
               {"bltzl $t0, 1f", 0, kSlotSkipped},
               {"bgezl $t0, 1f", 5, kTaken},
               {"bgezl $t0, 1f", 0xFFFFFFFFFFFFFFFF, kSlotSkipped},
               {"bgez  $t0, .", 0, kTaken, 0}};  // offset -1: back to itself
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.branch << " " << std::hex << c.t0);
    loadAsm(std::string(c.branch) + "\n daddiu $t0, $t0, 1\n nop\n1: nop");
    reg(8) = c.t0;
    machine.PC = kCodeAddress;
    step();
    const int32_t pcAfter[] = {c.target, 4, 8};
    EXPECT_EQ(machine.PC, kCodeAddress + pcAfter[c.outcome]);
    EXPECT_EQ(reg(8), c.outcome == kTaken ? c.t0 + 1 : c.t0);
  }
  expectUppersKept();
}

// SYSCALL prints on stdout, so each case runs in a child that then prints the state it left.
// The number printed is the low word of v1, signed.
TEST_F(SpecialTest, SyscallPaths) {
  const struct {
    uint64_t v1;
    uint32_t address;
    const char* out;
  } cases[] = {
      {122, kCodeAddress, "SYSCALL[122]\nv0=ff cause=0 epc=0 pc=100004\n"},
      {117, 0x80001000, "SYSCALL[117]\nPRINT!\nv0=77 cause=20 epc=ffffffff80001000 pc=0\n"},
      {0x1FFFFFFFB, kCodeAddress, "SYSCALL[-5]\nv0=77 cause=20 epc=100000 pc=0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v1);
    loadAsm("syscall", c.address);
    reg(2) = 0x77;
    reg(3) = c.v1;
    machine.PC = c.address;
    const ChildResult result = runInChild([] {
      step();
      std::printf("v0=%llx cause=%llx epc=%llx pc=%x\n", static_cast<unsigned long long>(reg(2)),
                  static_cast<unsigned long long>(machine.cop0[13]),
                  static_cast<unsigned long long>(machine.cop0[14]), machine.PC);
    });
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, c.out);
  }
}

void doubleA0IntoV0() { machine.GPR[2].lower = machine.GPR[4].lower * 2; }

// BREAK calls the host service named by its 20-bit code, which spans both of the assembler's
// code operands, and returns straight to ra. An empty entry stops the machine.
TEST_F(SpecialTest, BreakCallsAHostService) {
  machine.hostServices[3].service = doubleA0IntoV0;
  loadAsm("break 0, 3");
  reg(4) = 21;
  reg(31) = 0xFFFFFFFF80002000;
  machine.PC = kCodeAddress;
  step();
  EXPECT_EQ(reg(2), 42u);
  EXPECT_EQ(machine.PC, 0x80002000u);

  const struct {
    const char* source;
    const char* line;
  } refused[] = {{"break 0, 7", "No host service registered for BREAK 7\n"},
                 {"break 3", "No host service registered for BREAK C00\n"},
                 {"break 0x3FF, 0x3FF", "No host service registered for BREAK FFFFF\n"}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.source);
    loadAsm(c.source);
    expectFault(stepInChild(), c.line);
  }
}

// Every refused slot as a word with all other fields set, so that only the named field can be
// what is printed; then the assembler's mnemonics for some of them.
TEST_F(SpecialTest, RefusedEncodings) {
  for (const uint32_t funct :
       {1, 5, 14, 21, 22, 25, 28, 29, 30, 31, 44, 46, 48, 49, 50, 51, 52, 53, 54, 55, 57, 59, 61}) {
    SCOPED_TRACE(funct);
    loadAsm(".word " + std::to_string(0x03FFFFC0 | funct));
    char line[64];
    std::snprintf(line, sizeof line, "Unknown special opcode %X!\n", funct);
    expectFault(stepInChild(), line);
  }
  for (uint32_t rt = 4; rt < 32; ++rt) {
    if (rt == 0x19) continue;  // MTSAH
    SCOPED_TRACE(rt);
    loadAsm(".word " + std::to_string(0x07E0FFFF | rt << 16));
    char line[64];
    std::snprintf(line, sizeof line, "Unknown REGIMM opcode %X0000!\n", rt);
    expectFault(stepInChild(), line);
  }
  const struct {
    const char* source;
    const char* line;
  } named[] = {{"dsra $t2, $t1, 3", "Unknown special opcode 3B!\n"},
               {"multu $t0, $t1", "Unknown special opcode 19!\n"},
               {"teq $t0, $t1", "Unknown special opcode 34!\n"},
               {"mtsab $t0, 5", "Unknown REGIMM opcode 180000!\n"},
               {"bgezal $t0, . + 8", "Unknown REGIMM opcode 110000!\n"},
               {"tgei $t0, 5", "Unknown REGIMM opcode 80000!\n"}};
  for (const auto& c : named) {
    SCOPED_TRACE(c.source);
    loadAsm(c.source);
    expectFault(stepInChild(), c.line);
  }
}

}  // namespace
