#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/command_line.h"

namespace {

constexpr const char* kUsage =
    "Usage: archive-extract [OPTION]... ARCHIVE [MEMBER]...\n"
    "  or:  archive-extract [OPTION]... -f ARCHIVE [MEMBER]...\n"
    "Extract the model files of ARCHIVE into \"models - X/NNNN.raw\", list them, or test them.\n"
    "A MEMBER is a path as printed (\"models - g/0001.raw\") or a category folder (\"models - "
    "g\"),\n"
    "or a pattern of either with *, ? and [...] (\"models - h*\", \"models - */000?.raw\");\n"
    "members, --category and --entries all restrict what is swept.\n"
    "\n"
    "  -x, --extract         extract the entries (the default)\n"
    "  -t, --list            list the members' paths instead of extracting them\n"
    "      --test            read and decode every entry, write nothing\n"
    "  -f, --file ARCHIVE    read ARCHIVE; every other operand is then a MEMBER\n"
    "  -C, --directory DIR   extract into DIR instead of the current directory\n"
    "  -O, --to-stdout       write the entries' bytes to stdout in sweep order, no files\n"
    "      --json            with --list or --test: one JSON object per entry\n"
    "      --category LIST   only these categories: folder letters or numbers (g,hc,25)\n"
    "      --entries RANGE   only these entry numbers (0-99,120)\n"
    "      --all-categories  every category number from 0 to 255, not only the eleven\n"
    "      --overwrite       replace existing files (atomically) instead of keeping them\n"
    "  -j, --jobs N          read, decode and write N entries at once (default: one per core)\n"
    "      --no-size-limit   let the entries expand to more than 64 times the archive's size\n"
    "                        (at least 256 MiB), where a run otherwise stops\n"
    "  -q, --quiet           nothing on stdout; problems still go to stderr\n"
    "  -v, --verbose         with -t: every entry with its storage, one line each;\n"
    "                        with -O: each entry's path on stderr before its bytes\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "Exit status: 0 success; 1 a fault of the emulated machine; 2 any other failure;\n"
    "128+N after signal N (SIGINT, SIGTERM).\n";

enum LongOnly {
  kTest = 256,
  kJson,
  kCategory,
  kEntries,
  kAllCategories,
  kOverwrite,
  kNoSizeLimit,
  kVersion
};

const option kLongOptions[] = {
    {"extract", no_argument, nullptr, 'x'},
    {"file", required_argument, nullptr, 'f'},
    {"to-stdout", no_argument, nullptr, 'O'},
    {"verbose", no_argument, nullptr, 'v'},
    {"directory", required_argument, nullptr, 'C'},
    {"list", no_argument, nullptr, 't'},
    {"test", no_argument, nullptr, kTest},
    {"json", no_argument, nullptr, kJson},
    {"category", required_argument, nullptr, kCategory},
    {"entries", required_argument, nullptr, kEntries},
    {"all-categories", no_argument, nullptr, kAllCategories},
    {"overwrite", no_argument, nullptr, kOverwrite},
    {"jobs", required_argument, nullptr, 'j'},
    {"no-size-limit", no_argument, nullptr, kNoSizeLimit},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

std::nullopt_t usageError(const std::string& message, int& status) {
  printUsageError("archive-extract", message);
  status = 2;
  return std::nullopt;
}

// --help and --version: status 0 once the text is out, else 2 and the reason on stderr.
int flushStdout() {
  if (std::ferror(stdout) == 0 && std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "archive-extract: cannot write to standard output: %s\n",
               std::strerror(errno));
  return 2;
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, int& status) {
  Options o;
  bool extract = false, list = false, test = false, file = false;
  opterr = 0;  // the messages below name the option the way the user wrote it
  optind = 0;  // not 1: a bundle an earlier parse stopped inside is forgotten too
  for (int c; (c = getopt_long(argc, argv, ":xtf:C:Oqvhj:", kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 'x': extract = true; break;
      case 't': list = true; break;
      case kTest: test = true; break;
      case 'f':
        if (file) return usageError("-f given twice", status);
        file = true;
        o.archive = optarg;
        break;
      case 'C': o.directory = optarg; break;
      case 'O': o.toStdout = true; break;
      case kJson: o.json = true; break;
      case kCategory:
      case kEntries:
        if (const auto refusal = narrowSelection(o.selection, c == kCategory, optarg)) {
          return usageError(*refusal, status);
        }
        break;
      case kAllCategories: o.selection.sweepAllCategories(); break;
      case kOverwrite: o.overwrite = true; break;
      case kNoSizeLimit: o.sizeLimit = false; break;
      case 'j':
        if (const auto refusal = parseJobs(optarg, o.jobs)) return usageError(*refusal, status);
        break;
      case 'q': o.quiet = true; break;
      case 'v': o.verbose = true; break;
      case 'h':
        std::fputs(kUsage, stdout);
        status = flushStdout();
        return std::nullopt;
      case kVersion:
        std::printf("archive-extract %s\n", PROJECT_VERSION);
        status = flushStdout();
        return std::nullopt;
      default: return usageError(getoptRefusal(c, argv, kLongOptions), status);
    }
  }
  if (list && test) return usageError("--list and --test exclude each other", status);
  if (extract && (list || test)) {
    return usageError(
        std::string("--extract and ") + (list ? "--list" : "--test") + " exclude each other",
        status);
  }
  o.mode = list ? Mode::List : test ? Mode::Test : Mode::Extract;
  if (o.toStdout) {
    const char* other = o.directory   ? "-C"
                        : o.overwrite ? "--overwrite"
                        : list        ? "--list"
                        : test        ? "--test"
                        : o.quiet     ? "-q"
                                      : nullptr;
    if (other != nullptr) {
      return usageError(std::string("-O writes to standard output; it excludes ") + other, status);
    }
  }
  if (o.json && o.mode == Mode::Extract) return usageError("--json needs --list or --test", status);
  if (o.mode != Mode::Extract && (o.overwrite || o.directory)) {
    return usageError(std::string(o.overwrite ? "--overwrite" : "-C") +
                          " applies to extraction, not to --list or --test",
                      status);
  }
  if (!file) {
    if (optind >= argc) return usageError("no ARCHIVE given", status);
    o.archive = argv[optind++];
  }
  for (; optind < argc; ++optind) o.selection.addMember(argv[optind]);
  return o;
}
