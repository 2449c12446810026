// COP0: the moves and the Count register, Status under EI and DI, ERET without a delay slot and
// after SYSCALL, and every refused encoding with the value it prints.
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/machine_fixture.h"

namespace {

constexpr uint64_t kUpperSentinel = 0x5A5A5A5A00000000;

class Cop0Test : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (uint32_t i = 0; i < 32; ++i) upper(i) = kUpperSentinel + i;
  }
  // MF0 and MT0 move bits 63..0 only.
  static void expectUppersKept() {
    for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(upper(i), kUpperSentinel + i) << "register " << i;
  }
  static void expectRefusedWord(uint32_t word, const std::string& line) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << word);
    expectRefused(".word " + std::to_string(word), line);
  }
  static void expectRefused(const std::string& source, const std::string& line) {
    SCOPED_TRACE(source);
    loadAsm(source);
    machine.PC = kCodeAddress;
    expectFault(runInChild([] { step(); }), line);
  }
};

// t0 is the value moved in, t1 receives what MF0 reads; `count` is the separate Count counter.
TEST_F(Cop0Test, MovesCountAndStatus) {
  const struct {
    const char* source;
    uint64_t t0, count;
    uint32_t index;      // the COP0 register that is checked
    uint64_t entry, t1;  // its file entry, and t1, afterwards
  } cases[] = {
      // Whole 64-bit entries, no narrowing or sign extension.
      {"mtc0 $t0, $14\n mfc0 $t1, $14", 0x8000000112345678, 0, 14, 0x8000000112345678,
       0x8000000112345678},
      {"mtc0 $t0, $31\n mfc0 $t1, $31", 0x00000000FFFFFFFF, 0, 31, 0xFFFFFFFF, 0xFFFFFFFF},
      // Reads of Count come from the counter, writes go to the file.
      {"mtc0 $t0, $9\n mfc0 $t1, $9", 5, 0, 9, 5, 0},
      {"mfc0 $t1, $9", 0, 0xFFFFFFFF00000007, 9, 0, 0xFFFFFFFF00000007},
      // EI sets Status bit 16 and keeps the high word; DI clears bit 16 and the high word.
      {"mtc0 $t0, $12\n ei\n mfc0 $t1, $12", 0xFFFFFFFF00000001, 0, 12, 0xFFFFFFFF00010001,
       0xFFFFFFFF00010001},
      {"mtc0 $t0, $12\n di\n mfc0 $t1, $12", 0xFFFFFFFF0001FFFF, 0, 12, 0xFFFF, 0xFFFF},
      {"mtc0 $t0, $12\n di\n ei\n mfc0 $t1, $12", 0x1234567800000000, 0, 12, 0x10000, 0x10000},
      {"mtc0 $t0, $12\n ei\n ei\n mfc0 $t1, $12", 0x10000, 0, 12, 0x10000, 0x10000},
      // TLBWI changes nothing.
      {"mtc0 $t0, $2\n tlbwi\n mfc0 $t1, $2", 0x42, 0, 2, 0x42, 0x42},
      // Register 0 as the source of MT0.
      {"mtc0 $zero, $12\n mfc0 $t1, $12", 0, 0, 12, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    for (uint64_t& entry : machine.cop0) entry = 0;
    machine.cop0[12] = 0x5555;
    machine.count = c.count;
    reg(8) = c.t0;
    reg(9) = 0xEEEE;
    runAsm(c.source);
    EXPECT_EQ(machine.cop0[c.index], c.entry);
    EXPECT_EQ(reg(9), c.t1);
    EXPECT_EQ(machine.count, c.count);
  }
  expectUppersKept();
}

// ERET jumps to the low word of EPC with no delay slot and leaves Status alone.
TEST_F(Cop0Test, EretHasNoDelaySlot) {
  loadAsm("eret\n addiu $t0, $t0, 1");
  loadAsm("addiu $t1, $t1, 1", 0x1000);
  machine.cop0[14] = 0xFFFFFFFF80001000;
  machine.cop0[12] = 0x12345678;
  runUntil(kCodeAddress, 0x80001004);
  EXPECT_EQ(reg(8), 0u);
  EXPECT_EQ(reg(9), 1u);
  EXPECT_EQ(machine.cop0[12], 0x12345678u);
}

// SYSCALL records itself in EPC and goes to address 0, where an ERET brings it back to the
// SYSCALL itself (which, run again, prints again).
TEST_F(Cop0Test, EretAfterSyscallReturnsToTheSyscall) {
  loadAsm("eret", 0);
  loadAsm("syscall");
  reg(3) = 5;
  const ChildResult result = runInChild([] {
    machine.PC = kCodeAddress;
    step();
    std::printf("pc=%X epc=%llX\n", machine.PC, static_cast<unsigned long long>(machine.cop0[14]));
    step();
    std::printf("pc=%X\n", machine.PC);
    step();
  });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "SYSCALL[5]\npc=0 epc=100000\npc=100000\nSYSCALL[5]\n");
}

constexpr uint32_t kCop0 = 0x40000000;
constexpr uint32_t kCo = kCop0 | 16 << 21;
static_assert(kCo == 0x42000000);

// Every refused rs and CO funct, with all other fields set, and MF0 and MT0 with something in
// bits 10..0 (as words: GNU as takes no select field for the R5900); then the assembler's
// mnemonics for some of them.
TEST_F(Cop0Test, EveryRefusal) {
  char line[64];
  for (uint32_t rs = 0; rs < 32; ++rs) {
    if (rs == 0 || rs == 4 || rs == 16) continue;  // MF0, MT0, CO
    std::snprintf(line, sizeof line, "Unknown COP0 subOpcode %X\n", rs << 21);
    expectRefusedWord(kCop0 | rs << 21 | 0x001FFFFF, line);
  }
  for (uint32_t funct = 0; funct < 64; ++funct) {
    if (funct == 0x02 || funct == 0x18 || funct == 0x38 || funct == 0x39) continue;
    std::snprintf(line, sizeof line, "Unhandled CO opcode %X\n", funct);
    expectRefusedWord(kCo | 0x001FFFC0 | funct, line);
  }
  const struct {
    uint32_t word;
    const char* line;
  } cases[] = {{kCop0 | 0 << 21 | 0x001FF801, "Unhandled MF0 opcode 1\n"},
               {kCop0 | 0 << 21 | 0x001FFFFF, "Unhandled MF0 opcode 7FF\n"},
               {kCop0 | 0 << 21 | 0x400, "Unhandled MF0 opcode 400\n"},
               {kCop0 | 4 << 21 | 0x001FF801, "Unhandled MT0 opcode 1\n"},
               {kCop0 | 4 << 21 | 0x40, "Unhandled MT0 opcode 40\n"},
               // CO is rs = 16 only: ERET's funct under rs = 17 or 31 is refused by rs.
               {kCop0 | 17 << 21 | 0x18, "Unknown COP0 subOpcode 2200000\n"},
               {kCop0 | 31 << 21 | 0x18, "Unknown COP0 subOpcode 3E00000\n"}};
  for (const auto& c : cases) expectRefusedWord(c.word, c.line);
  expectRefused("bc0f . + 8", "Unknown COP0 subOpcode 1000000\n");
  expectRefused("tlbr", "Unhandled CO opcode 1\n");
  expectRefused("tlbwr", "Unhandled CO opcode 6\n");
  expectRefused("tlbp", "Unhandled CO opcode 8\n");
}

}  // namespace
