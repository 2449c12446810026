#include "reading/glob.h"

namespace {

constexpr size_t kNone = std::string_view::npos;

using ByteSet = std::bitset<256>;

// Bytes `low` to `high`, both included (none when high < low).
ByteSet byteRange(unsigned low, unsigned high) {
  if (high < low) return {};
  ByteSet all;
  all.set();
  return (all << (255 - high) >> (255 - high)) & (all >> low << low);
}

// The class opening at `text[start]` (a `[`): the bytes it takes, and where the pattern goes on
// after its `]`; kNone when the `[` opens no class (it is then an ordinary character).
size_t parseClass(std::string_view text, size_t start, ByteSet& takes) {
  size_t i = start + 1;
  const bool negated = i < text.size() && text[i] == '!';
  if (negated) ++i;
  ByteSet in;
  for (const size_t first = i; i < text.size(); ++i) {
    if (text[i] == ']' && i > first) {
      takes = negated ? ~in : in;
      return i + 1;
    }
    const auto low = static_cast<unsigned char>(text[i]);
    if (i + 2 < text.size() && text[i + 1] == '-' && text[i + 2] != ']') {
      in |= byteRange(low, static_cast<unsigned char>(text[i + 2]));
      i += 2;
    } else {
      in.set(low);
    }
  }
  return kNone;
}

}  // namespace

bool isGlob(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

Glob::Glob(std::string_view pattern) {
  // Component by component: wildcards never reach past a `/`.
  for (;;) {
    const size_t slash = pattern.find('/');
    const std::string_view text = pattern.substr(0, slash);
    Component& component = components_.emplace_back();
    for (size_t i = 0; i < text.size();) {
      Element e;
      if (text[i] == '*') {
        e.star = true;
        ++i;
        if (!component.elements.empty() && component.elements.back().star) continue;
      } else if (text[i] == '?') {
        e.takes.set();
        ++i;
      } else if (const size_t next = text[i] == '[' ? parseClass(text, i, e.takes) : kNone;
                 next != kNone) {
        i = next;
      } else {
        e.takes.set(static_cast<unsigned char>(text[i++]));
      }
      component.fixed += e.star ? 0 : 1;
      component.elements.push_back(e);
    }
    if (slash == kNone) return;
    pattern.remove_prefix(slash + 1);
  }
}

size_t Glob::size() const {
  size_t n = 0;
  for (const Component& c : components_) n += c.elements.size();
  return n;
}

// One path component against one pattern component, the text holding no `/`. On a mismatch the
// last `*` takes one character more: a later `*` can take whatever an earlier one could, so
// going back to the last is enough, and the match costs at most text × pattern steps.
bool Glob::matchComponent(const Component& component, std::string_view text) {
  if (text.size() < component.fixed) return false;
  const std::vector<Element>& pattern = component.elements;
  size_t p = 0, t = 0, starP = kNone, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p].star) {
      starP = ++p;
      starT = t;
      continue;
    }
    if (p < pattern.size() && pattern[p].takes[static_cast<unsigned char>(text[t])]) {
      ++p;
      ++t;
    } else if (starP != kNone) {
      p = starP;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p].star) ++p;
  return p == pattern.size();
}

bool Glob::matches(std::string_view text) const {
  for (size_t i = 0;; ++i) {
    const size_t slash = text.find('/');
    if (!matchComponent(components_[i], text.substr(0, slash))) return false;
    if (slash == kNone || i + 1 == components_.size()) {
      return slash == kNone && i + 1 == components_.size();
    }
    text.remove_prefix(slash + 1);
  }
}
