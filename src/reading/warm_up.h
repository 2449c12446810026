// Lookups run once over a made-up archive, for a front end whose engine compiles code again,
// optimised, only after it has run a while (a browser's WebAssembly): the first sweep of the
// user's archive then runs at full speed.
#pragma once

#include <cstdint>

// Sweeps an archive held in memory whose eleven model categories hold `entriesPerCategory` plain
// entries each (at most 3000: the index holds no more). Leaves the machine as any sweep does; the
// next archive opened places its own index.
void warmUpLookups(uint32_t entriesPerCategory);
