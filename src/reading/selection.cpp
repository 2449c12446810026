#include "reading/selection.h"

#include <algorithm>

#include "archive/categories.h"
#include "archive/format.h"

namespace {

constexpr size_t kCategoryCount = kHighestPossibleCategory + 1;

// A decimal number of at most `digits` digits, nothing else.
std::optional<int32_t> number(std::string_view text, size_t digits) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  int32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::vector<std::string_view> split(std::string_view list) {
  std::vector<std::string_view> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    items.push_back(list.substr(start, comma - start));
    if (comma == std::string_view::npos) return items;
    start = comma + 1;
  }
}

}  // namespace

void Selection::addMember(std::string_view text) {
  std::string_view rest = text;
  while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
  const size_t slash = rest.find('/');
  std::optional<int32_t> category = categoryOfFolder(rest.substr(0, slash));
  std::optional<int32_t> entry = -1;
  if (slash != std::string_view::npos) {
    const std::string_view name = rest.substr(slash + 1);
    entry = entryOfFileName(name);
  }
  if (!category || !entry) category = -1;
  members_.push_back({std::string(text), *category, entry.value_or(-1)});
}

bool Selection::restrictCategories(std::string_view list, std::string& error) {
  if (!categories_) categories_.emplace(kCategoryCount, false);
  for (const std::string_view item : split(list)) {
    std::optional<int32_t> category = number(item, 3);
    if (!category) category = categoryOfFolder("models - " + std::string(item));
    if (!category || *category > kHighestPossibleCategory) {
      error = "unknown category '" + std::string(item) +
              "' (a folder letter such as g or hc, or a number from 0 to 255)";
      return false;
    }
    (*categories_)[static_cast<size_t>(*category)] = true;
  }
  return true;
}

bool Selection::restrictEntries(std::string_view list, std::string& error) {
  if (!entries_) entries_.emplace(kEntriesPerCategory, false);
  for (const std::string_view item : split(list)) {
    const size_t dash = item.find('-');
    const std::optional<int32_t> first = number(item.substr(0, dash), 4);
    const std::optional<int32_t> last =
        dash == std::string_view::npos ? first : number(item.substr(dash + 1), 4);
    if (!first || !last || *first > *last) {
      error = "bad entry range '" + std::string(item) + "' (numbers from 0 to 9999, or N-M)";
      return false;
    }
    std::fill(entries_->begin() + *first, entries_->begin() + *last + 1, true);
  }
  return true;
}

std::vector<int32_t> Selection::categories() const {
  // Naming a category in any way sweeps it, model category or not; without names, the eleven
  // model categories, or all 256 on request.
  const bool any = allCategories_ || categories_ || !members_.empty();
  std::vector<int32_t> result;
  for (int32_t c = 0; c <= kHighestPossibleCategory; ++c) {
    const bool model = std::any_of(std::begin(kModelCategories), std::end(kModelCategories),
                                   [c](const ModelCategory& row) { return row.category == c; });
    if (!any && !model) continue;
    if (categories_ && !(*categories_)[static_cast<size_t>(c)]) continue;
    if (!members_.empty() && std::none_of(members_.begin(), members_.end(),
                                          [c](const Member& m) { return m.category == c; })) {
      continue;
    }
    result.push_back(c);
  }
  return result;
}

bool Selection::memberWants(int32_t category, int32_t entry) const {
  return members_.empty() || std::any_of(members_.begin(), members_.end(), [&](const Member& m) {
           return m.category == category && (m.entry == -1 || m.entry == entry);
         });
}

std::vector<int32_t> Selection::entries(int32_t category) const {
  std::vector<int32_t> result;
  for (int32_t e = 0; e < kEntriesPerCategory; ++e) {
    if ((!entries_ || (*entries_)[static_cast<size_t>(e)]) && memberWants(category, e)) {
      result.push_back(e);
    }
  }
  return result;
}

void Selection::found(int32_t category, int32_t entry) {
  for (Member& m : members_) {
    if (m.category == category && (m.entry == -1 || m.entry == entry)) m.found = true;
  }
}
