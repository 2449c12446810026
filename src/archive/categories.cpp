#include "archive/categories.h"

#include <cstdio>

namespace {

// A decimal number of exactly `digits` digits.
std::optional<int32_t> digitsOf(std::string_view text, size_t digits) {
  if (text.size() != digits) return std::nullopt;
  int32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string categoryFolder(int32_t category) {
  for (const ModelCategory& row : kModelCategories) {
    if (row.category == category) return row.folder;
  }
  char name[24];
  std::snprintf(name, sizeof name, "category %03d", static_cast<int>(category));
  return name;
}

std::optional<int32_t> categoryOfFolder(std::string_view name) {
  for (const ModelCategory& row : kModelCategories) {
    if (name == row.folder) return row.category;
  }
  constexpr std::string_view kPrefix = "category ";
  if (name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::optional<int32_t> category = digitsOf(name.substr(kPrefix.size()), 3);
  // A model category has its own folder name, and nothing lies above 255.
  if (!category || *category > kHighestPossibleCategory || categoryFolder(*category) != name) {
    return std::nullopt;
  }
  return category;
}

std::optional<int32_t> entryOfFileName(std::string_view name) {
  if (name.size() != 8 || name.substr(4) != ".raw") return std::nullopt;
  return digitsOf(name.substr(0, 4), 4);
}

std::string entryPath(int32_t category, int32_t entry) {
  char name[16];
  std::snprintf(name, sizeof name, "/%04d.raw", static_cast<int>(entry));
  return categoryFolder(category) + name;
}
