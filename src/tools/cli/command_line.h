// What the command-line tools (archive-extract, archive-pack, archive-mount) read and word alike:
// getopt_long's refusals in the words the user wrote, the usage error's two lines, --category and
// --entries.
#pragma once

#include <getopt.h>

#include <optional>
#include <string>

#include "api/archive.h"

// What getopt_long refused (`c` is ':' or '?', `options` its table up to the entry with no name),
// in the words the user wrote: a short option by its letter, also inside a bundle such as -tc, and
// a long option without its "=value". Call it right after getopt_long returned `c`.
std::string getoptRefusal(int c, char* const* argv, const option* options);

// "PROGRAM: MESSAGE" and the pointer to --help, on stderr.
void printUsageError(const char* program, const std::string& message);

// --category LIST or --entries RANGE applied to `selection`; the refusal's words when the text is
// not one.
std::optional<std::string> narrowSelection(Selection& selection, bool categories, const char* text);

// --jobs N into `jobs`: a number from 1 to 256; otherwise the refusal's words.
std::optional<std::string> parseJobs(const char* text, unsigned& jobs);
