// archive-extract's command line, parsed in process: every usage error with its message, help and
// version, and what a valid line sets; then which categories and entries a run sweeps for given
// members, --category, --entries and --all-categories (every filter given must match), and the
// patterns members may be.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "options.h"
#include "reading/glob.h"
#include "reading/selection.h"

namespace {

struct Parsed {
  std::optional<Options> options;
  int status = -1;
  std::string out, err;
};

Parsed parse(const std::vector<std::string>& line) {
  // getopt keeps a pointer into the last argument it read, which it looks at when called again:
  // every command line outlives its parse.
  static std::list<std::vector<std::string>> lines;
  std::vector<std::string>& args = lines.emplace_back(line);
  args.insert(args.begin(), "archive-extract");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Parsed p;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.options = parseOptions(static_cast<int>(args.size()), argv.data(), p.status);
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

// What a parsed line sets, in one line of text: "list json quiet -j 4 -C dir [archive] members".
std::string fields(const Options& o) {
  std::string text = o.mode == Mode::List ? "list" : o.mode == Mode::Test ? "test" : "extract";
  for (const auto& [set, name] : {std::pair{o.json, " json"},
                                  {o.overwrite, " overwrite"},
                                  {o.quiet, " quiet"},
                                  {o.toStdout, " to-stdout"},
                                  {o.verbose, " verbose"},
                                  {!o.sizeLimit, " no-size-limit"}}) {
    if (set) text += name;
  }
  if (o.jobs > 0) text += " -j " + std::to_string(o.jobs);
  if (o.directory) text += " -C " + *o.directory;
  text += " [" + o.archive + "]";
  for (const Member& m : o.selection.members()) text += " " + m.text;
  return text;
}

TEST(ArchiveExtractOptions, UsageErrorsNameTheMistake) {
  const std::string jobs = "--jobs needs a number from 1 to 256, not ";
  const std::string category = "' (a folder letter such as g or hc, or a number from 0 to 255)";
  const std::string range = "' (numbers from 0 to 9999, or N-M)";
  const std::string toStdout = "-O writes to standard output; it excludes ";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no ARCHIVE given"},
      {{"-q"}, "no ARCHIVE given"},
      {{"a", "-xc"}, "unknown option '-c'"},
      {{"--json", "-tcq", "a"}, "unknown option '-c'"},
      {{"--nope", "a"}, "unknown option '--nope'"},
      {{"a", "m", "--nope=3"}, "unknown option '--nope'"},
      {{"--ver", "a"}, "ambiguous option '--ver' (--verbose, --version)"},
      {{"--list=yes", "a"}, "--list takes no value"},
      {{"a", "--category"}, "--category needs a value"},
      {{"a", "-C"}, "-C needs a value"},
      {{"a", "-tC"}, "-C needs a value"},
      {{"-f", "a", "--file=b"}, "-f given twice"},
      {{"--category", "zz", "a"}, "unknown category 'zz" + category},
      {{"--category", "256", "a"}, "unknown category '256" + category},
      {{"--category", "g,", "a"}, "unknown category '" + category},
      {{"--entries", "5-3", "a"}, "bad entry range '5-3" + range},
      {{"--entries", "10000", "a"}, "bad entry range '10000" + range},
      {{"--entries", "0-", "a"}, "bad entry range '0-" + range},
      {{"--json", "a"}, "--json needs --list or --test"},
      {{"--list", "--test", "a"}, "--list and --test exclude each other"},
      {{"-xt", "a"}, "--extract and --list exclude each other"},
      {{"--test", "--extract", "a"}, "--extract and --test exclude each other"},
      {{"-O", "-C", ".", "a"}, toStdout + "-C"},
      {{"--to-stdout", "--overwrite", "a"}, toStdout + "--overwrite"},
      {{"-Ot", "a"}, toStdout + "--list"},
      {{"-O", "--test", "a"}, toStdout + "--test"},
      {{"-qO", "a"}, toStdout + "-q"},
      {{"-t", "-C", ".", "a"}, "-C applies to extraction, not to --list or --test"},
      {{"--test", "--overwrite", "a"},
       "--overwrite applies to extraction, not to --list or --test"},
      {{"--jobs", "0", "a"}, jobs + "'0'"},
      {{"-j", "257", "a"}, jobs + "'257'"},
      {{"--jobs=-1", "a"}, jobs + "'-1'"},
      {{"-j", "2x", "a"}, jobs + "'2x'"},
      {{"-j", "", "a"}, jobs + "''"},
      {{"-j", "99999999999999999999", "a"}, jobs + "'99999999999999999999'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Parsed p = parse(c.args);
    EXPECT_FALSE(p.options);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.out + p.err, "archive-extract: " + c.message +
                                 "\nTry 'archive-extract --help' for more information.\n");
  }
}

TEST(ArchiveExtractOptions, HelpAndVersionStopWithStatus0) {
  for (const char* option : {"--help", "-h", "--version"}) {
    const Parsed p = parse({"-t", option, "a"});
    EXPECT_FALSE(p.options);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out.substr(0, 23), option[2] == 'v' ? "archive-extract " PROJECT_VERSION "\n"
                                                    : "Usage: archive-extract ");
  }
}

// Options combine in any order, before or after ARCHIVE, short ones bundled; after "--" every
// argument is ARCHIVE or a member; with -f every operand is a member.
TEST(ArchiveExtractOptions, ValidLinesSetTheirFields) {
  const struct {
    std::vector<std::string> args;
    const char* fields;
  } cases[] = {
      {{"a"}, "extract [a]"},
      {{"-tqj256", "a"}, "list quiet -j 256 [a]"},
      {{"a", "--test", "--json", "m", "--jobs=1"}, "test json -j 1 [a] m"},
      {{"-C", "d", "--overwrite", "--no-size-limit", "--directory=e", "a", "m", "n"},
       "extract overwrite no-size-limit -C e [a] m n"},
      {{"-q", "--", "--list", "-t"}, "extract quiet [--list] -t"},
      {{"-xvf", "DATA.BIN"}, "extract verbose [DATA.BIN]"},
      {{"m", "-tvf", "DATA.BIN", "n"}, "list verbose [DATA.BIN] m n"},
      {{"-O", "--file=a", "--verbose", "--extract", "--", "-t"},
       "extract to-stdout verbose [a] -t"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.args);
    ASSERT_TRUE(p.options) << p.err;
    EXPECT_EQ(p.out + p.err, "");
    EXPECT_EQ(fields(*p.options), c.fields);
  }
  // The selection options reach the selection.
  const Parsed p = parse({"--category", "g,40", "--entries", "3-4", "--all-categories", "a"});
  ASSERT_TRUE(p.options);
  EXPECT_EQ(p.options->selection.categories(), (std::vector<int32_t>{13, 40}));
  EXPECT_EQ(p.options->selection.entries(13), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(parse({"--all-categories", "a"}).options->selection.categories().size(), 256u);
}

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

// An entry marks every member that names it, its folder's included; a pattern takes only entries
// with data.
TEST(Selection, TakeMarksTheMembersThatMatchTheEntry) {
  for (const EntryKind kind : {EntryKind::NoData, EntryKind::Plain}) {
    Selection s, pattern;
    for (const char* m : {"models - g", "models - g/0001.raw", "models - g/0002.raw", "models - c",
                          "models - g/000?.raw"}) {
      s.addMember(m);
    }
    pattern.addMember("models - g/000?.raw");
    const EntryDescription d{kind, 0, 0, 1, 1};
    EXPECT_TRUE(s.take(13, 1, d));
    EXPECT_EQ(pattern.take(13, 1, d), kind == EntryKind::Plain);
    std::string found;
    for (const Member& m : s.members()) found += m.found ? '1' : '0';
    EXPECT_EQ(found, kind == EntryKind::Plain ? "11001" : "11000");
  }
}

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
