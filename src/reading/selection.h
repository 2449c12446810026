// Which entries a run sweeps: the categories (the eleven model categories by default, any of 0 to
// 255 on request), the entry numbers, and member names as the extraction prints them or patterns
// of them (reading/glob.h). Every filter given must match.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/categories.h"
#include "reading/entry.h"

struct Member {
  std::string text;    // as given
  bool found = false;  // some swept entry matched it
  // It names one entry, which exists but holds no data (deleted or never stored): an entry
  // without data is no member, so it is not found either.
  bool noData = false;
};

// How a front end reports a member that took nothing: "TEXT: not found in archive", or for one
// that names an entry without data "TEXT: no data in the archive (deleted or never stored)".
std::string unmatchedMember(const Member& member);

class Selection {
 public:
  // Adds "models - g/0001.raw", "models - g", "category 040/0001.raw" or "category 040" (a
  // trailing slash is allowed), or a pattern of a folder or of a path ("models - h*",
  // "models - */000?.raw"). Text of any other form is kept too: it is never found.
  //
  // A name sweeps its category, model category or not. A pattern stays within the categories the
  // run sweeps without members: the eleven model folders, and the "category NNN" folders only
  // with sweepAllCategories() or restrictCategories(); so "*" means what a run without members
  // takes, and never turns into a sweep of all 256 categories by itself.
  void addMember(std::string_view text);
  // "g,hc,25": folder letters or category numbers (0 to 255). Throws Error (Refused), saying which
  // item is wrong, otherwise.
  void restrictCategories(std::string_view list);
  // "0-99,120": numbers and N-M spans of entry numbers (0 to 9999); throws Error like the above.
  void restrictEntries(std::string_view list);
  void sweepAllCategories() { allCategories_ = true; }

  // The categories to sweep, ascending (which is also the model categories' sweep order).
  std::vector<int32_t> categories() const;
  // The entry numbers to ask about in `category`, ascending.
  std::vector<int32_t> entries(int32_t category) const;
  // Whether the sweep passes on this entry of entries(category), now looked up, and marks the
  // members it matches as found: a folder's name matches an entry that exists, an entry's name
  // and a pattern only one with data (an entry without data is passed on only when a folder's
  // name or no member at all asks for it).
  bool take(int32_t category, int32_t entry, const EntryDescription& d);
  const std::vector<Member>& members() const { return members_; }

 private:
  // What a member can match, worked out once, so that a sweep asks each entry at most one bit
  // per member.
  struct Reach {
    bool pattern = false;
    // The folders it names or matches; a pattern's whether the run sweeps them or not.
    std::bitset<kHighestPossibleCategory + 1> categories;
    std::vector<bool> entries;  // by number; empty: all of them
  };
  bool reaches(const Reach& r, int32_t category) const;
  bool wants(const Reach& r, int32_t category, int32_t entry) const;
  std::vector<Member> members_;
  std::vector<Reach> reach_;                     // one per member
  std::optional<std::vector<bool>> categories_;  // by number, when --category was given
  std::optional<std::vector<bool>> entries_;     // by number, when --entries was given
  bool allCategories_ = false;
};
