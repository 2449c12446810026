// Shell-style patterns over entry paths ("models - h*/00[0-4]?.raw"), for the members of every
// front end. `*` matches any run of characters and `?` any one character, both within one path
// component: only a `/` of the pattern matches a `/` of the path. `[...]` matches one character of
// a class of characters and ranges (`[a-z0-9]`), `[!...]` one outside it; a `]` first in the class
// is one of its characters, and a `[` without its `]` is an ordinary character. Matching is
// case-sensitive and there is no escape character: entry paths hold none of `*`, `?`, `[`.
#pragma once

#include <bitset>
#include <string_view>
#include <vector>

// Whether `text` holds any of the characters that make a pattern.
bool isGlob(std::string_view text);

// A pattern parsed once: each path component a list of elements, each element a `*` or the set
// of bytes it takes (a character, `?` or a whole class, however long its text, is one 256-bit
// set). Matching a text then costs at most its length times the number of elements, and a
// component with more characters to match than the text has, none.
class Glob {
 public:
  explicit Glob(std::string_view pattern);
  // Whether the pattern matches the whole of `text`.
  bool matches(std::string_view text) const;
  // The elements of all components together (what one match step may go through).
  size_t size() const;

 private:
  struct Element {
    bool star = false;
    std::bitset<256> takes;  // the bytes a non-star element matches
  };
  struct Component {
    std::vector<Element> elements;  // a run of stars kept as one
    size_t fixed = 0;               // the elements that take one character each
  };
  static bool matchComponent(const Component& pattern, std::string_view text);
  std::vector<Component> components_;
};
