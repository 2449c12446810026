// A made-up archive to run the lookups over once, for a front end whose engine compiles code
// again, optimised, only after it has run a while (a browser's WebAssembly and JavaScript): the
// first sweep of the user's archive then runs at full speed.
#pragma once

#include <cstdint>
#include <vector>

// The bytes of an archive whose eleven model categories hold `entriesPerCategory` plain entries
// of one sector each (at most 3000: the index holds no more), without their data: the index
// alone, which is all the lookups read.
std::vector<uint8_t> madeUpArchive(uint32_t entriesPerCategory);
