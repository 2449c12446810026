#include "support/machine_fixture.h"

TEST_F(MachineTest, RunsAssembledCode) {
  runAsm(R"(
    li    $t0, 0x1234
    addiu $t1, $t0, 1
    sd    $t1, 0x200($zero)
  )");
  EXPECT_EQ(reg(9), 0x1235u);
  EXPECT_EQ(ramDWord(0x200), 0x1235u);
}
