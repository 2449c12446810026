#include "reading/glob.h"

#include <optional>

namespace {

constexpr size_t kNone = std::string_view::npos;

// The class opening at `pattern[start]` (a `[`) tried on `c`: where the pattern goes on after its
// `]` when it takes `c`, kNone when it does not, nullopt when the `[` opens no class.
std::optional<size_t> matchClass(std::string_view pattern, size_t start, char c) {
  size_t i = start + 1;
  const bool negated = i < pattern.size() && pattern[i] == '!';
  if (negated) ++i;
  bool in = false;
  for (const size_t first = i; i < pattern.size(); ++i) {
    if (pattern[i] == ']' && i > first) return in != negated ? i + 1 : kNone;
    const auto low = static_cast<unsigned char>(pattern[i]);
    auto high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      high = static_cast<unsigned char>(pattern[i + 2]);
      i += 2;
    }
    const auto u = static_cast<unsigned char>(c);
    in = in || (low <= u && u <= high);
  }
  return std::nullopt;
}

// Where the pattern goes on after its element at `i` (anything but `*`) takes `c`, or kNone.
size_t step(std::string_view pattern, size_t i, char c) {
  if (i == pattern.size()) return kNone;
  if (pattern[i] == '?') return i + 1;
  if (pattern[i] == '[') {
    if (const std::optional<size_t> next = matchClass(pattern, i, c)) return *next;
  }
  return pattern[i] == c ? i + 1 : kNone;
}

// One path component against one pattern component, neither holding a `/`. On a mismatch the
// last `*` takes one character more: a later `*` can take whatever an earlier one could, so
// going back to the last is enough, and the match costs at most text × pattern steps.
bool matchComponent(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, starP = kNone, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starT = t;
      continue;
    }
    if (const size_t next = step(pattern, p, text[t]); next != kNone) {
      p = next;
      ++t;
    } else if (starP != kNone) {
      p = starP;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool isGlob(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

bool globMatch(std::string_view pattern, std::string_view text) {
  // Component by component: wildcards never reach past a `/`.
  for (;;) {
    const size_t p = pattern.find('/'), t = text.find('/');
    if (!matchComponent(pattern.substr(0, p), text.substr(0, t))) return false;
    if (p == kNone || t == kNone) return p == t;
    pattern.remove_prefix(p + 1);
    text.remove_prefix(t + 1);
  }
}
