// SPECIAL and REGIMM: register arithmetic where the R5900 departs from MIPS64 or MIPS64 leaves
// the result open (the rest is the differential test's), multiply and divide, the shift-amount
// moves, SYSCALL, BREAK and the refused encodings. Their branches and jumps are in primary_test.
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/machine_fixture.h"

namespace r5900 {

namespace {

constexpr uint64_t kRdBefore = 0xD1D2D3D4D5D6D7D8;

// Nothing in SPECIAL or REGIMM touches bits 127..64 of a register, HI or LO (HI1 and LO1 belong
// to the MMI instructions).
class SpecialTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    setUppers();
    machine.HI.upper = kUpperSentinel + 32;
    machine.LO.upper = kUpperSentinel + 33;
  }
  void TearDown() override {
    expectUppersKept();
    EXPECT_EQ(machine.HI.upper, kUpperSentinel + 32);
    EXPECT_EQ(machine.LO.upper, kUpperSentinel + 33);
  }
};

// rs is t0, rt is t1, rd is t2 (which holds kRdBefore). The 32-bit operations use only the low
// words of their sources, whatever bits 63..32 hold, and sign-extend a 32-bit result; ADD and
// SUB never trap. MULT's rd is written after both sources were read. SA holds 32 bits, which
// MFSA zero-extends; MTSAH sets a halfword shift, SA = ((rs ^ immediate) & 3) * 16.
TEST_F(SpecialTest, ResultsInRd) {
  const struct {
    const char* source;
    uint64_t rs, rt, expected;
  } cases[] = {{"srl  $t2, $t1, 4", 0, 0x0000000F00000010, 1},
               {"sra  $t2, $t1, 1", 0, 0x0000000100000000, 0},
               {"srav $t2, $t1, $t0", 33, 0x0000000140000000, 0x20000000},
               {"add  $t2, $t0, $t1", 0x7FFFFFFF, 1, 0xFFFFFFFF80000000},
               {"addu $t2, $t0, $t1", 0xFFFFFFFF00000001, 1, 2},
               {"sub  $t2, $t0, $t1", 0xFFFFFFFF80000000, 1, 0x7FFFFFFF},
               {"sync", 1, 2, kRdBefore},
               {"mult $t2, $t2, $t1", 0, 2, 0xFFFFFFFFABADAFB0},
               {"mtsa $t0\n mfsa $t2", 0xFFFFFFFF80000010, 0, 0x80000010},
               {"mtsah $t0, 3\n mfsa $t2", 0xFFFFFFFD, 0, 32}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    reg(8) = c.rs;
    reg(9) = c.rt;
    reg(10) = kRdBefore;
    runAsm(c.source);
    EXPECT_EQ(reg(10), c.expected);
  }
}

// MULT and DIV work on the low words (signed) and leave 32-bit results sign-extended in LO and
// HI; MULT also writes LO to rd. Division by zero and INT_MIN / -1 leave what the hardware
// leaves. The three-operand DIV with $zero is the bare instruction, without the assembler's checks.
TEST_F(SpecialTest, MultiplyAndDivide) {
  const struct {
    const char* source;
    uint64_t rs, rt, lo, hi;
  } cases[] = {
      {"mult $t2, $t0, $t1", 0xABCDEF01FFFFFFFE, 0x1234567800000003, 0xFFFFFFFFFFFFFFFA, ~0ULL},
      {"mult $t2, $t0, $t1", 0x10000, 0x8000, 0xFFFFFFFF80000000, 0},
      {"div  $zero, $t0, $t1", 0x1234567800000007, 0xFFFFFFFF00000002, 3, 1},
      {"div  $zero, $t0, $t1", 0xFFFFFFF9, 2, ~2ULL, ~0ULL},
      {"divu $zero, $t0, $t1", 0x12345678FFFFFFF9, 2, 0x7FFFFFFC, 1},
      {"div  $zero, $t0, $t1", 5, 0, ~0ULL, 5},
      {"div  $zero, $t0, $t1", 0xFFFFFFFFFFFFFFFB, 0, 1, 0xFFFFFFFFFFFFFFFB},
      {"div  $zero, $t0, $t1", 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF80000000, 0},
      {"divu $zero, $t0, $t1", 0x1234567880000005, 0, ~0ULL, 0xFFFFFFFF80000005}};
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
}

// SYSCALL prints on stdout; each case then prints the state it left.
// The number printed is the low word of v1, signed; only 122 returns, with v0 = 255.
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
    const std::string out = stdoutOf([] {
      step();
      std::printf("v0=%llx cause=%llx epc=%llx pc=%x\n", static_cast<unsigned long long>(reg(2)),
                  static_cast<unsigned long long>(machine.cop0[13]),
                  static_cast<unsigned long long>(machine.cop0[14]), machine.PC);
    });
    EXPECT_EQ(out, c.out);
  }
}

// BREAK calls the host service named by its 20-bit code, which spans both of the assembler's
// code operands, and returns straight to ra. An empty entry, or one past the table, stops the
// machine.
TEST_F(SpecialTest, BreakCallsAHostService) {
  machine.hostServices[3].service = [] { reg(2) = reg(4) * 2; };
  loadAsm("break 0, 3");
  reg(4) = 21;
  reg(31) = 0xFFFFFFFF80002000;
  machine.PC = kCodeAddress;
  step();
  EXPECT_EQ(reg(2), 42u);
  EXPECT_EQ(machine.PC, 0x80002000u);
  expectRefused("break 3", "No host service registered for BREAK C00\n");
  expectRefused("break 0x3FF, 0x3FF", "No host service registered for BREAK FFFFF\n");
}

// A refused slot of each map (DSUB, and REGIMM's rt = 31) as a word with all other fields set,
// so that only the named field can be what is printed.
TEST_F(SpecialTest, RefusedEncodings) {
  expectRefusedWord(0x03FFFFEE, "Unknown special opcode 2E!\n");
  expectRefusedWord(0x07FFFFFF, "Unknown REGIMM opcode 1F0000!\n");
}

}  // namespace

}  // namespace r5900
