// Differential test against qemu-mips64el. On the lower 64 bits of the registers, the instructions
// below behave on the R5900 exactly as on a MIPS64 processor. Seeded random snippets of them run,
// as one program, on the interpreter and (as a static MIPS64 Linux program) under qemu; the
// registers, HI, LO and the data area the snippets load from and store to must agree.
// QEMU_DIFF_SEED overrides the seed.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cpu/fault.h"
#include "support/machine_fixture.h"
#include "support/scratch.h"

namespace r5900 {
namespace {

// MIPS64 defines its 32-bit operations only for inputs that are sign-extended 32-bit values (the
// R5900 just reads the low word). So $1..$12 always hold such values: the 32-bit operations read
// only them, and only results known to be sign-extended go to them. $13..$24 hold anything. $25
// points at the middle of the data area and is only a load/store base (its address differs between
// the two machines); $26 points at the snippet's record in the table of inputs and outcomes.
constexpr int kWordRegs = 12, kRegs = 24, kHi = kRegs, kLo = kRegs + 1, kDataSize = 256;
// A record: $1..$24, HI, LO, then the data area, which the snippet uses in place.
using State = std::array<uint64_t, kLo + 1 + kDataSize / 8>;
constexpr uint32_t kTable = 0x00800000;
constexpr size_t kSnippets = 1000;

// The kind of result, the mnemonic and the operands. Kinds: w always sign-extended; s the same,
// and the value sources must be too; i sign-extended if the value sources are; x anything; - no
// register written. Operands: d destination, s value source, a any source (a shift amount, a
// condition), i signed and u unsigned immediate, h shift amount, 1/2/4/8 an aligned data access,
// L the label a branch goes forward to. (DIV and DIVU are cpu_test's: MIPS64 leaves too
// many of their results open.)
constexpr const char* kOps[] = {
    "s addu d,s,s",  "s subu d,s,s",   "x daddu d,a,a",  "x dsubu d,a,a",  "i and d,s,s",
    "i or d,s,s",    "i xor d,s,s",    "i nor d,s,s",    "w slt d,a,a",    "w sltu d,a,a",
    "i movz d,s,a",  "i movn d,s,a",   "w sllv d,a,a",   "s srlv d,s,a",   "s srav d,s,a",
    "x dsllv d,a,a", "x dsrav d,a,a",  "w sll d,a,h",    "s srl d,s,h",    "s sra d,s,h",
    "x dsll d,a,h",  "x dsrl d,a,h",   "x dsll32 d,a,h", "x dsrl32 d,a,h", "w dsra32 d,a,h",
    "s addiu d,s,i", "x daddiu d,a,i", "w slti d,a,i",   "w sltiu d,a,i",  "w andi d,a,u",
    "i ori d,s,u",   "i xori d,s,u",   "w lui d,u",      "x mfhi d",       "x mflo d",
    "- mthi a",      "- mtlo a",       "w lb d,1",       "w lbu d,1",      "w lh d,2",
    "w lhu d,2",     "w lw d,4",       "x lwu d,4",      "x ld d,8",       "- sb a,1",
    "- sh a,2",      "- sw a,4",       "- sd a,8"};
constexpr const char* kBranches[] = {"- beq a,a,L", "- bne a,a,L", "- beql a,a,L", "- bnel a,a,L",
                                     "- blez a,L",  "- bgtz a,L",  "- bltz a,L",   "- bgez a,L",
                                     "- blezl a,L", "- bltzl a,L", "- bgezl a,L"};

std::string name(int r) { return "$" + std::to_string(r); }

struct Generator {
  std::mt19937_64 rng;
  int pick(uint64_t n) { return static_cast<int>(rng() % n); }
  int source(bool word) { return pick(8) == 0 ? 0 : 1 + pick(word ? kWordRegs : kRegs); }

  // Values that make extension and overflow faults visible; random bytes for the data area.
  State input() {
    static constexpr uint64_t kSpecial[] = {0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, ~0ULL >> 1,
                                            1ULL << 63};
    State s;
    for (int i = 0; i < static_cast<int>(s.size()); ++i) {
      const uint64_t r = rng();
      const uint64_t forms[] = {r, signExtend32(r), r & 0xFFFFFFFF,
                                static_cast<uint64_t>(pick(33) - 16), kSpecial[pick(5)]};
      s[i] = i > kLo ? r : forms[pick(5)];
      if (i < kWordRegs) s[i] = signExtend32(s[i]);
    }
    return s;
  }

  // Twenty items: mostly single instructions, some forward branches, whose delay slot is the
  // first instruction after them.
  std::string snippet(const std::string& label) {
    std::string text;
    for (int item = 0; item < 20; ++item) {
      if (pick(16) == 0) {
        const std::string target = label + "_" + std::to_string(item);
        text += instruction(kBranches[pick(std::size(kBranches))], target);
        for (int n = 1 + pick(4); n > 0; --n) text += instruction(kOps[pick(std::size(kOps))]);
        text += target + ":\n";
      } else {
        text += instruction(kOps[pick(std::size(kOps))]);
      }
    }
    return text;
  }

  std::string instruction(std::string_view op, const std::string& label = "") {
    const size_t blank = op.find(' ', 2);
    std::string text(op.substr(2, blank - 1));
    bool wordSources = true;
    for (const char c : op.substr(blank + 1)) {
      const int r = c == 's' || c == 'a' ? source(c == 's' && op[0] == 's') : 0;
      wordSources = wordSources && (c != 's' || r <= kWordRegs);
      const int imm = pick(3) ? static_cast<int16_t>(rng()) : pick(9) - 4;
      switch (c) {
        case 's':
        case 'a': text += name(r); break;
        case 'd': text += 'D'; break;  // chosen once the sources are known
        case 'i': text += std::to_string(imm); break;
        case 'u': text += std::to_string(imm & 0xFFFF); break;
        case 'h': text += std::to_string(imm & 31); break;
        case 'L': text += label; break;
        case ',': text += ", "; break;
        default: text += std::to_string(pick(kDataSize / (c - '0')) * (c - '0') - 128) + "($25)";
      }
    }
    if (const size_t d = text.find('D'); d != std::string::npos) {
      const bool word = op[0] == 'w' || op[0] == 's' || (op[0] == 'i' && wordSources);
      text.replace(d, 1, name(word ? 1 + pick(kRegs) : kWordRegs + 1 + pick(kRegs - kWordRegs)));
    }
    return text + "\n";
  }
};

using QemuDiffTest = MachineTest;

TEST_F(QemuDiffTest, RandomSnippetsAgreeWithMips64) {
  if (std::system("command -v qemu-mips64el > /dev/null") != 0) GTEST_SKIP() << "needs qemu-user";
  const char* seedText = std::getenv("QEMU_DIFF_SEED");
  const uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 0) : 0x5900;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with QEMU_DIFF_SEED)");

  // Each snippet's block loads its input from its record, runs, stores the registers, HI and LO
  // back over it, and moves $26 to the next record.
  Generator generator{std::mt19937_64(seed)};
  std::vector<State> inputs(kSnippets);
  std::vector<std::string> snippets(kSnippets);
  std::ostringstream blocks;
  blocks << ".set gp=64\n.set noat\n";
  for (size_t i = 0; i < kSnippets; ++i) {
    inputs[i] = generator.input();
    snippets[i] = generator.snippet("s" + std::to_string(i));
    blocks << "ld $1, " << kHi * 8 << "($26)\nmthi $1\nld $1, " << kLo * 8 << "($26)\nmtlo $1\n";
    for (int r = 1; r <= kRegs; ++r) blocks << "ld $" << r << ", " << (r - 1) * 8 << "($26)\n";
    blocks << "daddiu $25, $26, " << (kLo + 1) * 8 + kDataSize / 2 << "\n" << snippets[i];
    for (int r = 1; r <= kRegs; ++r) blocks << "sd $" << r << ", " << (r - 1) * 8 << "($26)\n";
    blocks << "mfhi $1\nsd $1, " << kHi * 8 << "($26)\nmflo $1\nsd $1, " << kLo * 8 << "($26)\n"
           << "daddiu $26, $26, " << sizeof(State) << "\n";
  }
  const size_t tableSize = kSnippets * sizeof(State);

  // The interpreter; after a fault, $26 tells in which snippet.
  const uint32_t end = loadAsm(blocks.str());
  std::memcpy(ram(kTable), inputs.data(), tableSize);
  reg(26) = kTable;
  for (int r = 1; r < 32; ++r) upper(r) = ~static_cast<uint64_t>(r);
  try {
    machine.PC = kCodeAddress;
    for (int steps = 0; machine.PC != end && steps < 100000000; ++steps) {
      step();
      for (int r = 1; r < 32; ++r) {
        if (upper(r) != ~static_cast<uint64_t>(r)) machineFault("bits 127..64 of $%d changed", r);
      }
    }
  } catch (const MachineFault& fault) {
    FAIL() << fault.line << " in snippet " << (reg(26) - kTable) / sizeof(State);
  }
  const std::string ours(reinterpret_cast<const char*>(ram(kTable)), tableSize);

  // qemu, with the table in its data section; it writes the table to stdout (write, then exit,
  // by their n64 system call numbers).
  std::ostringstream program;
  program << ".set noreorder\n.globl __start\n__start:\ndla $26, table\n"
          << blocks.str() << ".set at\nli $2, 5001\nli $4, 1\ndla $5, table\nli $6, " << tableSize
          << "\nsyscall\nli $2, 5058\nli $4, 0\nsyscall\n.data\n.align 4\ntable:\n";
  for (const State& input : inputs) {
    for (const uint64_t v : input) program << ".dword " << v << "\n";
  }
  const ScratchFolder dir;
  std::ofstream(dir / "p.s") << program.str();
  const std::string command =
      "cd " + dir.path().string() +
      " && mips64el-linux-gnuabi64-as -march=mips64r2 -mabi=64 -EL -o p.o p.s"
      " && mips64el-linux-gnuabi64-ld -static -o p p.o && qemu-mips64el ./p";
  std::string qemu;
  FILE* shell = popen(command.c_str(), "r");
  ASSERT_NE(shell, nullptr);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, shell)) > 0;) qemu.append(buffer, n);
  const int status = pclose(shell);
  ASSERT_TRUE(status == 0 && qemu.size() == tableSize) << "qemu run failed: status " << status;

  // Slots 0..23 are $1..$24, then HI, LO and the data area's doublewords.
  for (size_t i = 0, failures = 0; i < kSnippets && failures < 3; ++i) {
    State a, b;
    std::memcpy(&a, ours.data() + i * sizeof(State), sizeof(State));
    std::memcpy(&b, qemu.data() + i * sizeof(State), sizeof(State));
    if (a == b) continue;
    std::ostringstream text;
    text << "snippet " << i << ":\n"
         << snippets[i] << std::hex << "differences (slot: input, "
         << "interpreter, qemu):";
    for (size_t k = 0; k < a.size(); ++k) {
      if (a[k] != b[k])
        text << "\n  " << std::dec << k << std::hex << ": " << inputs[i][k] << ", " << a[k] << ", "
             << b[k];
    }
    ADD_FAILURE() << text.str(), ++failures;
  }
}

}  // namespace
}  // namespace r5900
