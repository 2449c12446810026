// The patterns members may be: *, ? and [...] within one component of a path.
#include "reading/glob.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

TEST(Glob, MatchesWithinOnePathComponent) {
  // pattern, text, whether it matches
  const std::tuple<const char*, const char*, bool> cases[] = {
      // clang-format off
      {"models - g/00*", "models - g/0012.raw", true}, {"m*", "models - g/0001.raw", false},
      {"*/*", "a/b", true}, {"a*b", "a/b", false}, {"a*/b", "axx/b", true}, {"M*", "models", false},
      {"models - h?", "models - hc", true}, {"models - h?", "models - h", false}, {"?", "", false},
      {"*", "", true}, {"*a*b", "xaybzb", true}, {"a*b*c", "abcbc", true}, {"*x", "aaaa", false},
      {"00[0-2]?.raw", "0025.raw", true}, {"00[0-2]?.raw", "0031.raw", false},
      {"[!0-8]", "9", true}, {"[!0-8]", "5", false}, {"[]a]", "]", true}, {"[!]]", "]", false},
      {"[a-]", "-", true}, {"[abc", "[abc", true}, {"a**b", "ab", true}, {"a*??", "ab", false},
      {"a*??", "abc", true}, {"[z-a]", "m", false}, {"[\x01-\xff]", "\xe9", true},
      // clang-format on
  };
  for (const auto& [pattern, text, match] : cases) {
    EXPECT_EQ(Glob(pattern).matches(text), match) << pattern << " " << text;
  }
  // However long its text, a class is parsed once into one element, so that trying it on the
  // 10,256 names a member is matched against costs no more than a short class.
  const Glob wide("*[" + std::string(300000, 'a') + "b]/0");
  EXPECT_EQ(wide.size(), 3U);
  EXPECT_TRUE(wide.matches("xxb/0"));
  EXPECT_FALSE(wide.matches("bx/0"));
}

}  // namespace
