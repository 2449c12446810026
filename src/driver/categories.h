// The model categories the tool extracts, in sweep order: the output folder (relative to the
// current directory) and the archive category number the guest routines take.
#pragma once

#include <cstdint>

struct ModelCategory {
  const char* folder;
  int32_t category;
};

inline constexpr ModelCategory kModelCategories[] = {
    {"models - g", 13},  {"models - c", 14},  {"models - hc", 15}, {"models - w", 16},
    {"models - n", 19},  {"models - hn", 20}, {"models - b", 22},  {"models - s", 23},
    {"models - hs", 24}, {"models - t", 25},  {"models - m", 34},
};
static_assert(sizeof kModelCategories / sizeof kModelCategories[0] == 11);

// Entry numbers 0 to 9999 are tried in every category: the four-digit file names cover them.
constexpr int32_t kEntriesPerCategory = 10000;
constexpr uint32_t kSectorSize = 2048;
