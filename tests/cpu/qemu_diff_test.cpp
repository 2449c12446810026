// Differential test against qemu-mips64el. The instructions below behave on the R5900 exactly as
// on a MIPS64 processor, as far as the lower 64 bits of the registers go. Random snippets of them
// run on the interpreter and, batched into one static MIPS64 Linux program, under qemu; the
// registers, HI, LO and a data area the snippets load from and store to must agree.
//
// QEMU_DIFF_SEED and QEMU_DIFF_SNIPPETS override the fixed seed and the number of snippets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/assembler.h"
#include "support/machine_fixture.h"

namespace {

// $1..$24 hold random inputs and are read and written by the snippets. $25 points at the middle
// of the snippet's data area and is only ever a load/store base (its value differs between the
// two machines). $26 and $27 are the qemu program's bookkeeping; $28..$31 are left alone.
constexpr int kRegs = 24;
constexpr int kBase = 25;
constexpr uint32_t kDataSize = 256;
constexpr uint32_t kGuestData = 0x00200000;

// Registers, HI and LO (in that order) and the data area: a snippet's input or its outcome.
struct State {
  std::array<uint64_t, kRegs + 2> regs{};
  std::array<uint8_t, kDataSize> data{};
  bool operator==(const State&) const = default;
};

struct Snippet {
  std::string text;
  int words = 0;
  State input;
};

// MIPS64 defines some 32-bit operations only for sources that hold sign-extended 32-bit values
// (the R5900 just uses their low words), so the generator tracks which registers are known to
// hold one. A result is one always (kSext; kStrict also needs such sources), when the sources
// are (kSextIf), or not known (kWide).
enum Result { kSext, kStrict, kSextIf, kWide };
enum Form { kReg3, kShift, kImm, kUImm, kLui, kFromHiLo, kToHiLo, kLoad, kStore };
struct Op {
  const char* name;
  Form form;
  Result result;
  int size = 0;
};
constexpr Op kOps[] = {
    {"addu", kReg3, kStrict},     {"subu", kReg3, kStrict},     {"daddu", kReg3, kWide},
    {"dsubu", kReg3, kWide},      {"and", kReg3, kSextIf},      {"or", kReg3, kSextIf},
    {"xor", kReg3, kSextIf},      {"nor", kReg3, kSextIf},      {"slt", kReg3, kSext},
    {"sltu", kReg3, kSext},       {"movz", kReg3, kSextIf},     {"movn", kReg3, kSextIf},
    {"sllv", kReg3, kSext},       {"srlv", kReg3, kStrict},     {"srav", kReg3, kStrict},
    {"dsllv", kReg3, kWide},      {"dsrav", kReg3, kWide},      {"sll", kShift, kSext},
    {"srl", kShift, kStrict},     {"sra", kShift, kStrict},     {"dsll", kShift, kWide},
    {"dsrl", kShift, kWide},      {"dsll32", kShift, kWide},    {"dsrl32", kShift, kWide},
    {"dsra32", kShift, kSext},    {"addiu", kImm, kStrict},     {"daddiu", kImm, kWide},
    {"slti", kImm, kSext},        {"sltiu", kImm, kSext},       {"andi", kUImm, kSext},
    {"ori", kUImm, kSextIf},      {"xori", kUImm, kSextIf},     {"lui", kLui, kSext},
    {"mfhi", kFromHiLo, kSextIf}, {"mflo", kFromHiLo, kSextIf}, {"mthi", kToHiLo, kSextIf},
    {"mtlo", kToHiLo, kSextIf},   {"lb", kLoad, kSext, 1},      {"lbu", kLoad, kSext, 1},
    {"lh", kLoad, kSext, 2},      {"lhu", kLoad, kSext, 2},     {"lw", kLoad, kSext, 4},
    {"lwu", kLoad, kWide, 4},     {"ld", kLoad, kWide, 8},      {"sb", kStore, kWide, 1},
    {"sh", kStore, kWide, 2},     {"sw", kStore, kWide, 4},     {"sd", kStore, kWide, 8}};
constexpr const char* kCompareBranch[] = {"beq", "bne", "beql", "bnel"};
constexpr const char* kZeroBranch[] = {"blez", "bgtz", "bltz", "bgez", "blezl", "bltzl", "bgezl"};

bool isSext(uint64_t v) { return signExtend32(static_cast<uint32_t>(v)) == v; }
std::string name(int r) { return "$" + std::to_string(r); }

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  Snippet snippet(int index, int items) {
    Snippet s;
    for (uint64_t& v : s.input.regs) v = value();
    for (uint8_t& b : s.input.data) b = static_cast<uint8_t>(rng_());
    for (int r = 1; r <= kLo; ++r) sext_[r] = isSext(s.input.regs[r - 1]);
    for (int i = 0; i < items; ++i) item(s, "s" + std::to_string(index) + "_" + std::to_string(i));
    return s;
  }

 private:
  // $0..$24, then HI and LO: known to hold a sign-extended 32-bit value.
  static constexpr int kHi = kRegs + 1, kLo = kRegs + 2;
  std::array<bool, kRegs + 3> sext_{true};
  bool conditional_ = false;  // generating code that a branch may skip

  uint64_t pick(uint64_t n) { return rng_() % n; }
  int dst() { return 1 + static_cast<int>(pick(kRegs)); }
  int src(bool sextOnly = false) {
    for (int tries = 0; tries < 8; ++tries) {
      if (const int r = pick(8) == 0 ? 0 : dst(); !sextOnly || sext_[r]) return r;
    }
    return 0;
  }
  void wrote(int r, bool sext) { sext_[r] = sext && (sext_[r] || !conditional_); }
  void emit(Snippet& s, const std::string& line) {
    s.text += line + "\n";
    s.words += line.back() == ':' ? 0 : 1;
  }

  // Values that make extension and overflow faults visible.
  uint64_t value() {
    static constexpr uint64_t kSpecial[] = {
        0,          1,         ~0ULL, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF80000000,
        1ULL << 63, ~0ULL >> 1};
    switch (pick(5)) {
      case 0: return rng_();
      case 1: return signExtend32(static_cast<uint32_t>(rng_()));
      case 2: return rng_() & 0xFFFFFFFF;
      case 3: return static_cast<uint64_t>(static_cast<int64_t>(pick(33)) - 16);
      default: return kSpecial[pick(std::size(kSpecial))];
    }
  }

  // One instruction that neither branches nor needs a guard.
  std::string simple() {
    const Op& op = kOps[pick(std::size(kOps))];
    // The variable shifts name the value first and the amount second; any amount is defined.
    const bool variableShift = std::string_view(op.name).ends_with('v');
    const bool strict = op.result == kStrict;
    const int d = dst(), s = src(strict), t = src(strict && !variableShift);
    const int hilo = op.name[2] == 'h' ? kHi : kLo;
    std::string text = std::string(op.name) + " ";
    bool sources = sext_[s];
    int written = d;
    switch (op.form) {
      case kReg3:
        text += name(d) + ", " + name(s) + ", " + name(t);
        sources = sext_[s] && sext_[t] && (op.name[0] != 'm' || sext_[d]);
        break;
      case kShift: text += name(d) + ", " + name(s) + ", " + std::to_string(pick(32)); break;
      case kImm: {
        const int imm = pick(3) == 0 ? static_cast<int>(pick(9)) - 4 : static_cast<int16_t>(rng_());
        text += name(d) + ", " + name(s) + ", " + std::to_string(imm);
        break;
      }
      case kUImm: text += name(d) + ", " + name(s) + ", " + std::to_string(pick(65536)); break;
      case kLui: text += name(d) + ", " + std::to_string(pick(65536)); break;
      case kFromHiLo: text += name(d), sources = sext_[hilo]; break;
      case kToHiLo: text += name(s), written = hilo; break;
      case kLoad:
      case kStore: {
        const int64_t offset = static_cast<int64_t>(pick(kDataSize / op.size)) * op.size;
        text += name(op.form == kLoad ? d : s) + ", " + std::to_string(offset - kDataSize / 2) +
                "(" + name(kBase) + ")";
        if (op.form == kStore) return text;
      }
    }
    wrote(written, op.result == kSext || strict || (op.result == kSextIf && sources));
    return text;
  }

  void item(Snippet& s, const std::string& label) {
    const uint64_t kind = pick(16);
    if (kind == 0) {
      // A divisor whose low word is neither 0 nor -1: MIPS64 leaves those quotients undefined.
      const std::string divisor = name(dst());
      if (pick(2) == 0) {
        emit(s, "ori " + divisor + ", " + name(src()) + ", 1");
        emit(s, "sll " + divisor + ", " + divisor + ", 1");
      } else {
        const int64_t k = static_cast<int64_t>(pick(600)) - 300;
        emit(s, "addiu " + divisor + ", $0, " + std::to_string(k == 0 || k == -1 ? 7 : k));
      }
      sext_[std::stoi(divisor.substr(1))] = true;
      emit(s, std::string(pick(2) ? "div" : "divu") + " $0, " + name(src(true)) + ", " + divisor);
      sext_[kHi] = sext_[kLo] = true;
    } else if (kind == 1) {
      // A forward branch over 0..3 instructions, with a delay slot.
      emit(s, pick(2) ? std::string(kCompareBranch[pick(4)]) + " " + name(src()) + ", " +
                            name(src()) + ", " + label
                      : std::string(kZeroBranch[pick(7)]) + " " + name(src()) + ", " + label);
      conditional_ = true;
      for (uint64_t i = 0, n = 1 + pick(4); i < n; ++i) emit(s, simple());
      conditional_ = false;
      emit(s, label + ":");
    } else {
      emit(s, simple());
    }
  }

  std::mt19937_64 rng_;
};

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIx64, v);
  return text;
}

// The MIPS64 program. Each snippet's block loads its inputs from its record of the table, runs,
// and stores the registers, HI and LO back over them; the data area is used in place. At the end
// the whole table goes to stdout.
std::string mips64Program(const std::vector<Snippet>& snippets) {
  std::ostringstream s;
  s << "\t.set noreorder\n\t.text\n\t.globl __start\n__start:\n\tdla $26, table\n";
  for (const Snippet& snippet : snippets) {
    s << "\t.set noat\n\tld $1, 192($26)\n\tmthi $1\n\tld $1, 200($26)\n\tmtlo $1\n";
    for (int r = 1; r <= kRegs; ++r) s << "\tld $" << r << ", " << (r - 1) * 8 << "($26)\n";
    s << "\tdaddiu $25, $26, " << (kRegs + 2) * 8 + kDataSize / 2 << "\n" << snippet.text;
    for (int r = 1; r <= kRegs; ++r) s << "\tsd $" << r << ", " << (r - 1) * 8 << "($26)\n";
    s << "\tmfhi $1\n\tsd $1, 192($26)\n\tmflo $1\n\tsd $1, 200($26)\n\t.set at\n";
    s << "\tdaddiu $26, $26, " << sizeof(State) << "\n";
  }
  // write(1, table, size) and exit(0), by their n64 system call numbers.
  s << "\tli $2, 5001\n\tli $4, 1\n\tdla $5, table\n\tli $6, " << snippets.size() * sizeof(State)
    << "\n\tsyscall\n\tli $2, 5058\n\tli $4, 0\n\tsyscall\n\t.data\n\t.align 4\ntable:\n";
  for (const Snippet& snippet : snippets) {
    std::array<uint64_t, sizeof(State) / 8> words;
    std::memcpy(words.data(), &snippet.input, sizeof(State));
    for (uint64_t v : words) s << "\t.dword " << hex(v) << "\n";
  }
  return s.str();
}

std::string describe(const Snippet& snippet, const State& ours, const State& qemu) {
  const auto regName = [](int r) { return r < kRegs ? name(r + 1) : r == kRegs ? "hi" : "lo"; };
  std::ostringstream s;
  s << snippet.text << "inputs:";
  for (int r = 0; r < kRegs + 2; ++r) {
    s << (r % 4 == 0 ? "\n  " : " ") << regName(r) << "=" << hex(snippet.input.regs[r]);
  }
  s << "\ndifferences (interpreter vs qemu):";
  for (int r = 0; r < kRegs + 2; ++r) {
    if (ours.regs[r] != qemu.regs[r]) {
      s << "\n  " << regName(r) << " " << hex(ours.regs[r]) << " vs " << hex(qemu.regs[r]);
    }
  }
  for (uint32_t i = 0; i < kDataSize; ++i) {
    if (ours.data[i] != qemu.data[i]) {
      s << "\n  byte " << static_cast<int>(i - kDataSize / 2) << "($25) " << int{ours.data[i]}
        << " vs " << int{qemu.data[i]};
    }
  }
  return s.str();
}

class QemuDiffTest : public MachineTest {};

TEST_F(QemuDiffTest, RandomSnippetsAgreeWithMips64) {
  const std::string tools = "mips64el-linux-gnuabi64-as mips64el-linux-gnuabi64-ld qemu-mips64el";
  if (std::system(("command -v " + tools + " > /dev/null").c_str()) != 0) {
    GTEST_SKIP() << "needs " << tools;
  }

  const uint64_t seed = envNumber("QEMU_DIFF_SEED", 0x5900);
  const size_t count = envNumber("QEMU_DIFF_SNIPPETS", 1000);
  SCOPED_TRACE("seed " + std::to_string(seed) +
               " (rerun with QEMU_DIFF_SEED=" + std::to_string(seed) + ")");
  Generator generator(seed);
  std::vector<Snippet> snippets;
  std::string all;
  int totalWords = 0;
  for (size_t i = 0; i < count; ++i) {
    snippets.push_back(generator.snippet(static_cast<int>(i), 20));
    all += snippets.back().text;
    totalWords += snippets.back().words;
  }

  // The R5900 side. `.set gp=64` keeps the o32 assembler from splitting LD and SD into word pairs.
  const std::vector<uint8_t> code = assemble("\t.set gp=64\n" + all);
  ASSERT_GE(code.size(), totalWords * 4u);
  ASSERT_LT(code.size(), totalWords * 4u + 16) << "an instruction was expanded into several";
  loadBytes(kCodeAddress, code);
  // A fault ends the process, so the interpreter runs in a child that writes each outcome to
  // stdout as it is; a fault's message then follows the last complete outcome.
  const ChildResult child = runInChild([&] {
    uint32_t pc = kCodeAddress;
    for (const Snippet& snippet : snippets) {
      for (int r = 1; r < 32; ++r) upper(r) = ~static_cast<uint64_t>(r);
      for (int r = 1; r <= kRegs; ++r) reg(r) = snippet.input.regs[r - 1];
      reg(kBase) = kGuestData + kDataSize / 2;
      machine.HI.lower = snippet.input.regs[kRegs];
      machine.LO.lower = snippet.input.regs[kRegs + 1];
      std::memcpy(ram(kGuestData), snippet.input.data.data(), kDataSize);
      const uint32_t start = pc;
      pc += snippet.words * 4;
      runUntil(start, pc);
      State out;
      for (int r = 1; r <= kRegs; ++r) out.regs[r - 1] = reg(r);
      out.regs[kRegs] = machine.HI.lower;
      out.regs[kRegs + 1] = machine.LO.lower;
      std::memcpy(out.data.data(), ram(kGuestData), kDataSize);
      for (int r = 1; r < 32; ++r) {
        if (upper(r) != ~static_cast<uint64_t>(r)) {
          std::printf("bits 127..64 of $%d changed\n", r);
          std::exit(1);
        }
      }
      std::fwrite(&out, sizeof out, 1, stdout);
    }
  });
  const size_t done = child.out.size() / sizeof(State);
  ASSERT_TRUE(child.exitStatus == 0 && done == count)
      << "the interpreter stopped in snippet " << done << ": "
      << child.out.substr(done * sizeof(State)) << child.err << "\n"
      << (done < count ? snippets[done].text : "");
  std::vector<State> ours(count);
  std::memcpy(ours.data(), child.out.data(), count * sizeof(State));

  // The MIPS64 side: one program, one qemu run.
  char directory[] = "/tmp/qemu-diff-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string dir = directory;
  std::ofstream(dir + "/prog.s") << mips64Program(snippets);
  const int status = std::system(("cd " + dir +
                                  " && (mips64el-linux-gnuabi64-as -march=mips64r2 -mabi=64 -EL"
                                  " -o prog.o prog.s && mips64el-linux-gnuabi64-ld -static -o prog"
                                  " prog.o && qemu-mips64el ./prog > out) > log 2>&1")
                                     .c_str());
  const auto slurp = [&](const char* name) {
    std::ifstream in(dir + name, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  };
  const std::string bytes = slurp("/out"), log = slurp("/log");
  std::filesystem::remove_all(dir);
  ASSERT_EQ(status, 0) << log;
  ASSERT_EQ(bytes.size(), count * sizeof(State));
  std::vector<State> qemu(count);
  std::memcpy(qemu.data(), bytes.data(), bytes.size());

  for (size_t i = 0, failures = 0; i < count && failures < 3; ++i) {
    if (!(ours[i] == qemu[i])) {
      ++failures;
      ADD_FAILURE() << "snippet " << i << " differs:\n" << describe(snippets[i], ours[i], qemu[i]);
    }
  }
}

}  // namespace
