// The categories of the archive and the folders their entries are extracted to. The eleven model
// categories, in sweep order, have folders of their own names; any other category number (0 to
// 255) goes to "category NNN".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The index's highest-category byte is 8 bits wide: no category number above 255 can exist.
constexpr int32_t kHighestPossibleCategory = 255;

// "models - g" for category 13, "category 007" for 7.
std::string categoryFolder(int32_t category);
// The category whose folder is `name`, if any.
std::optional<int32_t> categoryOfFolder(std::string_view name);
// "models - g/0042.raw": the path an entry is extracted to, relative to the output folder.
std::string entryPath(int32_t category, int32_t entry);
// 42 for "0042.raw": the entry a file named exactly as extraction names it holds.
std::optional<int32_t> entryOfFileName(std::string_view name);
