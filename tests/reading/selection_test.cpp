// Which categories and entries a run sweeps for given members, --category, --entries and
// --all-categories (every filter given must match), and which members an entry found answers.
#include "reading/selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "0-2,7" for {0, 1, 2, 7}.
std::string spans(const std::vector<int32_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(numbers[i]);
    size_t last = i;
    while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) ++last;
    if (last > i) text += '-' + std::to_string(numbers[last]);
    i = last;
  }
  return text;
}

TEST(Selection, SweepsWhatEveryFilterAllows) {
  const std::string models = "13-16,19-20,22-25,34", all = "0-9999";
  const struct {
    std::vector<std::string> members, categories;
    const char* entries;  // nullptr: no --entries
    bool allCategories;
    std::string swept;                   // the categories
    std::vector<std::string> entriesOf;  // the entries of each swept category
  } cases[] = {
      // clang-format off
      {{}, {}, nullptr, false, models, std::vector<std::string>(11, all)},
      {{}, {}, nullptr, true, "0-255", std::vector<std::string>(256, all)},
      {{}, {"g,hc,25"}, nullptr, false, "13,15,25", {all, all, all}},
      {{}, {"g", "007,40"}, "0-2,7,9999", true, "7,13,40",
       {"0-2,7,9999", "0-2,7,9999", "0-2,7,9999"}},
      {{}, {}, "5-5,0003", false, models, std::vector<std::string>(11, "3,5")},
      {{"models - g/0001.raw"}, {}, nullptr, false, "13", {"1"}},
      {{"models - g/", "category 040/0002.raw"}, {}, nullptr, false, "13,40", {all, "2"}},
      {{"models - g", "models - c/0005.raw"}, {}, "0-2", false, "13-14", {"0-2", ""}},
      {{"models - g"}, {"c"}, nullptr, false, "", {}},
      // Names extraction never writes: a model category's number, a short file name, no folder.
      {{"category 013", "models - g/1.raw", "models - g/0001.bin", "0001.raw"}, {}, nullptr, true,
       "", {}},
      // Patterns: the model folders, the others only when the run would sweep them anyway.
      {{"models - h*/"}, {}, nullptr, false, "15,20,24", {all, all, all}},
      {{"models - */0001.raw", "*/000[1]*"}, {}, nullptr, false, models,
       std::vector<std::string>(11, "1")},
      {{"category 0[0-3]?/*"}, {}, nullptr, false, "", {}},
      {{"category 0[0-3]?/*"}, {}, "5", true, "0-12,17-18,21,26-33,35-39",
       std::vector<std::string>(29, "5")},
      {{"*/00[!0-8]?.raw", "models - g/0095.raw"}, {"g,40"}, nullptr, false, "13,40",
       {"90-99", "90-99"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.members.size() << " members, swept " << c.swept);
    Selection s;
    for (const std::string& m : c.members) s.addMember(m);
    for (const std::string& list : c.categories) s.restrictCategories(list);
    if (c.entries != nullptr) s.restrictEntries(c.entries);
    if (c.allCategories) s.sweepAllCategories();
    const std::vector<int32_t> categories = s.categories();
    EXPECT_EQ(spans(categories), c.swept);
    std::vector<std::string> entries;
    for (const int32_t category : categories) entries.push_back(spans(s.entries(category)));
    EXPECT_EQ(entries, c.entriesOf);
  }
}

// An entry marks every member that names it, its folder's included; an entry's name and a pattern
// take only entries with data, and a name of one without data ('n') is reported as such.
TEST(Selection, TakeMarksTheMembersThatMatchTheEntry) {
  for (const EntryKind kind : {EntryKind::NoData, EntryKind::Plain}) {
    Selection s, pattern, name;
    for (const char* m : {"models - g", "models - g/0001.raw", "models - g/0002.raw", "models - c",
                          "models - g/000?.raw"}) {
      s.addMember(m);
    }
    pattern.addMember("models - g/000?.raw");
    name.addMember("models - g/0001.raw");
    const EntryDescription d{kind, 0, 0, 1, 1};
    EXPECT_TRUE(s.take(13, 1, d));
    EXPECT_EQ(pattern.take(13, 1, d), kind == EntryKind::Plain);
    EXPECT_EQ(name.take(13, 1, d), kind == EntryKind::Plain);
    std::string found;
    for (const Member& m : s.members()) found += m.found ? '1' : m.noData ? 'n' : '0';
    EXPECT_EQ(found, kind == EntryKind::Plain ? "11001" : "1n000");
    EXPECT_EQ(unmatchedMember(s.members()[kind == EntryKind::Plain ? 2 : 1]),
              kind == EntryKind::Plain
                  ? "models - g/0002.raw: not found in archive"
                  : "models - g/0001.raw: no data in the archive (deleted or never stored)");
  }
}

}  // namespace
