// archive-extract's command line, parsed in process: every usage error with its message, help and
// version, and what a valid line sets.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "dropped.h"
#include "options.h"

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

}  // namespace

// The folder an archive dropped on the tool goes to: its name less the last extension, or the
// archive's name and ".extracted" where that would be the archive itself or a file.
TEST(DroppedFolder, BesideTheArchive) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      // archive, the one name a file has, folder
      {"C:\\game\\DATA.BIN", "", "C:\\game\\DATA"},
      {"D:/a.b/DATA.v2.BIN", "", "D:/a.b/DATA.v2"},
      {"DATA.BIN", "", "DATA"},
      {"C:\\game\\DATA", "", "C:\\game\\DATA.extracted"},
      {"C:\\game.d\\DATA", "", "C:\\game.d\\DATA.extracted"},
      {"C:\\game\\.bin", "", "C:\\game\\.bin.extracted"},
      {"C:\\game\\DATA.BIN", "C:\\game\\DATA", "C:\\game\\DATA.BIN.extracted"},
  };
  for (const auto& [archive, file, folder] : cases) {
    EXPECT_EQ(droppedFolder(archive, [&](const std::string& name) { return name == file; }), folder)
        << archive;
  }
}
