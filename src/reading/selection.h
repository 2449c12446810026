// Which entries a run sweeps: the categories (the eleven model categories by default, any of 0 to
// 255 on request), the entry numbers, and member names as the extraction prints them. Every
// filter given must match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Member {
  std::string text;    // as given
  int32_t category;    // -1: the text names nothing an archive can hold
  int32_t entry;       // -1: the whole category folder
  bool found = false;  // some swept entry matched it
};

class Selection {
 public:
  // Adds "models - g/0001.raw", "models - g", "category 040/0001.raw" or "category 040" (a
  // trailing slash is allowed). Text of any other form is kept too: it is never found.
  void addMember(std::string_view text);
  // "g,hc,25": folder letters or category numbers (0 to 255). False, with `error`, otherwise.
  bool restrictCategories(std::string_view list, std::string& error);
  // "0-99,120": numbers and N-M spans of entry numbers (0 to 9999).
  bool restrictEntries(std::string_view list, std::string& error);
  void sweepAllCategories() { allCategories_ = true; }

  // The categories to sweep, ascending (which is also the model categories' sweep order).
  std::vector<int32_t> categories() const;
  // The entry numbers to ask about in `category`, ascending.
  std::vector<int32_t> entries(int32_t category) const;
  // Marks the members that name this entry (which exists) as found.
  void found(int32_t category, int32_t entry);
  const std::vector<Member>& members() const { return members_; }

 private:
  bool memberWants(int32_t category, int32_t entry) const;
  std::vector<Member> members_;
  std::optional<std::vector<bool>> categories_;  // by number, when --category was given
  std::optional<std::vector<bool>> entries_;     // by number, when --entries was given
  bool allCategories_ = false;
};
