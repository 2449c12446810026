// Shell-style patterns over entry paths ("models - h*/00[0-4]?.raw"), for the members of every
// front end. `*` matches any run of characters and `?` any one character, both within one path
// component: only a `/` of the pattern matches a `/` of the path. `[...]` matches one character of
// a class of characters and ranges (`[a-z0-9]`), `[!...]` one outside it; a `]` first in the class
// is one of its characters, and a `[` without its `]` is an ordinary character. Matching is
// case-sensitive and there is no escape character: entry paths hold none of `*`, `?`, `[`.
#pragma once

#include <string_view>

// Whether `text` holds any of the characters that make a pattern.
bool isGlob(std::string_view text);
// Whether `pattern` matches the whole of `text`.
bool globMatch(std::string_view pattern, std::string_view text);
