#include "reading/selection.h"

#include <algorithm>
#include <cstdio>

#include "archive/categories.h"
#include "archive/format.h"
#include "platform/error.h"
#include "platform/file.h"
#include "reading/glob.h"

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

bool isModel(int32_t category) {
  return std::any_of(std::begin(kModelCategories), std::end(kModelCategories),
                     [category](const ModelCategory& row) { return row.category == category; });
}

}  // namespace

void Selection::addMember(std::string_view text) {
  const std::string separated = withSlashSeparators(std::string(text));
  std::string_view rest = separated;
  while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
  const size_t slash = rest.find('/');
  const std::string_view folder = rest.substr(0, slash);
  const std::optional<std::string_view> name =
      slash == std::string_view::npos ? std::nullopt : std::optional(rest.substr(slash + 1));
  Reach r;
  r.pattern = isGlob(rest);
  if (r.pattern) {
    // The 256 folder names and the 10000 file names are each tried once, here, against the
    // pattern parsed once.
    const Glob folders(folder);
    for (int32_t c = 0; c <= kHighestPossibleCategory; ++c) {
      r.categories[static_cast<size_t>(c)] = folders.matches(categoryFolder(c));
    }
    if (name) {
      const Glob files(*name);
      r.entries.resize(kEntriesPerCategory);
      char file[16];
      for (int32_t e = 0; e < kEntriesPerCategory; ++e) {
        std::snprintf(file, sizeof file, "%04d.raw", static_cast<int>(e));
        r.entries[static_cast<size_t>(e)] = files.matches(file);
      }
    }
  } else {
    const std::optional<int32_t> category = categoryOfFolder(folder);
    const std::optional<int32_t> entry = name ? entryOfFileName(*name) : std::nullopt;
    if (category && (!name || entry)) {
      r.categories[static_cast<size_t>(*category)] = true;
      if (entry) {
        r.entries.resize(kEntriesPerCategory);
        r.entries[static_cast<size_t>(*entry)] = true;
      }
    }
  }
  members_.push_back({std::string(text)});
  reach_.push_back(std::move(r));
}

void Selection::restrictCategories(std::string_view list) {
  if (!categories_) categories_.emplace(kCategoryCount, false);
  for (const std::string_view item : split(list)) {
    std::optional<int32_t> category = number(item, 3);
    if (!category) category = categoryOfFolder("models - " + std::string(item));
    if (!category || *category > kHighestPossibleCategory) {
      throw Error("unknown category '" + std::string(item) +
                  "' (a folder letter such as g or hc, or a number from 0 to 255)");
    }
    (*categories_)[static_cast<size_t>(*category)] = true;
  }
}

void Selection::restrictEntries(std::string_view list) {
  if (!entries_) entries_.emplace(kEntriesPerCategory, false);
  for (const std::string_view item : split(list)) {
    const size_t dash = item.find('-');
    const std::optional<int32_t> first = number(item.substr(0, dash), 4);
    const std::optional<int32_t> last =
        dash == std::string_view::npos ? first : number(item.substr(dash + 1), 4);
    if (!first || !last || *first > *last) {
      throw Error("bad entry range '" + std::string(item) + "' (numbers from 0 to 9999, or N-M)");
    }
    std::fill(entries_->begin() + *first, entries_->begin() + *last + 1, true);
  }
}

bool Selection::reaches(const Reach& r, int32_t category) const {
  return r.categories[static_cast<size_t>(category)] &&
         (!r.pattern || isModel(category) || allCategories_ || categories_);
}

bool Selection::wants(const Reach& r, int32_t category, int32_t entry) const {
  return reaches(r, category) && (r.entries.empty() || r.entries[static_cast<size_t>(entry)]);
}

std::vector<int32_t> Selection::categories() const {
  // Naming a category in any way sweeps it, model category or not; without names, the eleven
  // model categories, or all 256 on request. A pattern sweeps the categories it reaches.
  const bool any = allCategories_ || categories_ || !members_.empty();
  std::vector<int32_t> result;
  for (int32_t c = 0; c <= kHighestPossibleCategory; ++c) {
    if (!any && !isModel(c)) continue;
    if (categories_ && !(*categories_)[static_cast<size_t>(c)]) continue;
    if (!members_.empty() &&
        std::none_of(reach_.begin(), reach_.end(), [&](const Reach& r) { return reaches(r, c); })) {
      continue;
    }
    result.push_back(c);
  }
  return result;
}

std::vector<int32_t> Selection::entries(int32_t category) const {
  std::vector<const Reach*> reaching;  // the members that reach the category
  for (const Reach& r : reach_) {
    if (reaches(r, category)) reaching.push_back(&r);
  }
  std::vector<int32_t> result;
  for (int32_t e = 0; e < kEntriesPerCategory; ++e) {
    if (entries_ && !(*entries_)[static_cast<size_t>(e)]) continue;
    if (members_.empty() || std::any_of(reaching.begin(), reaching.end(), [e](const Reach* r) {
          return r->entries.empty() || r->entries[static_cast<size_t>(e)];
        })) {
      result.push_back(e);
    }
  }
  return result;
}

bool Selection::take(int32_t category, int32_t entry, const EntryDescription& d) {
  bool taken = members_.empty();
  for (size_t i = 0; i < members_.size(); ++i) {
    const Reach& r = reach_[i];
    if (!wants(r, category, entry)) continue;
    const bool folder = !r.pattern && r.entries.empty();
    taken = taken || folder || d.hasData();
    if (folder ? d.exists() : d.hasData()) members_[i].found = true;
    if (!r.pattern && !folder && d.exists() && !d.hasData()) members_[i].noData = true;
  }
  return taken;
}

std::string unmatchedMember(const Member& member) {
  return member.text + (member.noData ? ": no data in the archive (deleted or never stored)"
                                      : ": not found in archive");
}
