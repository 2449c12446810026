#include "archive/categories.h"

#include <cstdio>

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
  if (name.size() != kPrefix.size() + 3 || name.substr(0, kPrefix.size()) != kPrefix) {
    return std::nullopt;
  }
  int32_t category = 0;
  for (const char c : name.substr(kPrefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    category = category * 10 + (c - '0');
  }
  // A model category has its own folder name, and nothing lies above 255.
  if (category > kHighestPossibleCategory || categoryFolder(category) != name) return std::nullopt;
  return category;
}

std::string entryPath(int32_t category, int32_t entry) {
  char name[16];
  std::snprintf(name, sizeof name, "/%04d.raw", static_cast<int>(entry));
  return categoryFolder(category) + name;
}
