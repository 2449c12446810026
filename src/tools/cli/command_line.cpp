#include "command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "api/error.h"

std::string getoptRefusal(int c, char* const* argv, const option* options) {
  const std::string word = argv[optind - 1];  // the last word getopt went past
  const std::string letter = "-" + std::string(1, static_cast<char>(optopt));
  // The BSD getopt_long (macOS, mingw-w64) answers ':' also for a value given to a long option that
  // takes none ("--list=yes"), where glibc answers '?'.
  const bool longWithValue = word.rfind("--", 0) == 0 && word.find('=') != std::string::npos;
  if (c == ':' && !longWithValue) {
    // The option was the last word: a long one, or a short one alone or ending a bundle.
    return (word.rfind("--", 0) == 0 ? word : letter) + " needs a value";
  }
  // A long option sets optopt to 0 when unknown, to its value when known but given one.
  bool known = false;
  for (const option* o = options; o->name != nullptr; ++o) known |= o->val == optopt;
  const std::string name = word.substr(0, word.find('='));
  if (optopt == 0) {
    // Unknown, or the beginning of several names.
    std::string names;
    for (const option* o = options; o->name != nullptr; ++o) {
      if (name.size() > 2 && std::string(o->name).rfind(name.substr(2), 0) == 0) {
        names += (names.empty() ? "--" : ", --") + std::string(o->name);
      }
    }
    if (names.empty()) return "unknown option '" + name + "'";
    return "ambiguous option '" + name + "' (" + names + ")";
  }
  return known ? name + " takes no value" : "unknown option '" + letter + "'";
}

void printUsageError(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, message.c_str(),
               program);
}

std::optional<std::string> narrowSelection(Selection& selection, bool categories,
                                           const char* text) {
  try {
    if (categories) {
      selection.restrictCategories(text);
    } else {
      selection.restrictEntries(text);
    }
  } catch (const Error& e) {
    return e.what();
  }
  return std::nullopt;
}

std::optional<std::string> parseJobs(const char* text, unsigned& jobs) {
  constexpr unsigned long kMaxJobs = 256;
  char* end = nullptr;
  errno = 0;
  const unsigned long n = std::strtoul(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || n < 1 || n > kMaxJobs) {
    return "--jobs needs a number from 1 to " + std::to_string(kMaxJobs) + ", not '" + text + "'";
  }
  jobs = static_cast<unsigned>(n);
  return std::nullopt;
}
