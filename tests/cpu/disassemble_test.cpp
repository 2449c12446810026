// The disassembler against GNU objdump (-M gpr-names=32,no-aliases) on the same bytes at the same
// address: every operand form, every COP0 register name, and the forms chosen for the words
// objdump does not know.
#include "cpu/disassemble.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/assembler.h"

namespace r5900 {
namespace {

constexpr uint32_t kAddress = 0x100000;

TEST(DisassembleTest, AgreesWithObjdump) {
  std::string source =
      "j 0x100400; jal 0x1fffff0; beql $t0, $t1, . + 8; bgtz $s8, . - 4; bltzl $a0, .; "
      "addi $t0, $t1, -5; sltiu $v0, $v1, 100; andi $t0, $t1, 0xff; lui $t0, 0xfffe; "
      "mtsah $a0, -2; lw $t0, -4($sp); lwc1 $f3, 4($a0); sqc2 $vf5, 16($a0); cache 0x18, 64($a0); "
      "sll $zero, $zero, 0; dsrl32 $t0, $t1, 31; srav $t0, $t1, $t2; daddu $t0, $t1, $t2; "
      "pcpyh $t0, $t1; mfsa $t0; mtlo1 $t0; jalr $t0; jalr $t1, $t0; mult $t0, $t1; "
      "mult1 $t2, $t0, $t1; div $zero, $t0, $t1; syscall; syscall 5; break; break 3; break 0, 3; "
      "sync; sync.p; mtc0 $t0, $24; mfc0 $t0, $25; tlbwi; eret; ei; di; mfc1 $t0, $f31; bc1tl .; "
      "abs.s $f1, $f2; c.lt.s $f1, $f2; trunc.w.s $f1, $f2; cvt.s.w $f1, $f2; qmfc2.i $t0, $vf3; "
      "qmtc2 $t0, $vf31; ctc2 $t0, $vi31; vsubw.yz $vf1, $vf1, $vf2; vmulq.xz $vf1, $vf2, $Q; "
      "vmaddaw.yz $ACC, $vf1, $vf2; vopmula.xyz $ACC, $vf1, $vf2; vmr32.xyzw $vf1, $vf1; "
      "vdiv $Q, $vf1y, $vf2w; vsqrt $Q, $vf2z; vcallms 0x10; vnop; vwaitq; vmove.w $vf1, $vf2; "
      "vadd.xyz $vf1, $vf2, $vf3";
  for (int i = 0; i < 32; ++i) source += "; mfc0 $t0, $" + std::to_string(i);
  const std::vector<uint8_t> bytes = assemble(source);
  const std::map<uint32_t, std::string> texts = objdump(bytes, kAddress);
  ASSERT_EQ(texts.size(), bytes.size() / 4);
  for (const auto& [address, text] : texts) {
    uint32_t word = 0;
    std::memcpy(&word, &bytes[address - kAddress], 4);
    EXPECT_EQ(disassemble(word, address), text);
  }
}

// Words the interpreter accepts and objdump does not know, and two it refuses.
TEST(DisassembleTest, ChosenForms) {
  const struct {
    uint32_t word;
    const char* text;
  } cases[] = {{0x46020904, "sqrt.s $f4,$f2"},  // the R5900 reads ft
               {0x4B02086E, "vopmsub.x $vf1x,$vf1x,$vf2x"},
               {0x0109501A, "div t2,t0,t1"},
               {0x0000014F, "sync"},
               {0x4828F8FF, "qmfc2.i t0,$vf31"},
               {0x40880001, ".word 0x40880001"},  // MTC0 with bits 10..0 set
               {0x4C000000, ".word 0x4c000000"}};
  for (const auto& c : cases) EXPECT_EQ(disassemble(c.word, kAddress), c.text);
}

}  // namespace
}  // namespace r5900
