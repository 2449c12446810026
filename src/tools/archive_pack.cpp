// archive-pack: builds an archive from a folder laid out like archive-extract's output, or puts
// changed models back into an existing one, or compacts one.
//
//   archive-pack [--method METHOD] [--force] SOURCE_DIR ARCHIVE
//   archive-pack --update [--method METHOD] [--in-place] [--dry-run] SOURCE_DIR ARCHIVE
//   archive-pack --delete [--in-place] [--dry-run] ARCHIVE MEMBER...
//   archive-pack --compact [--dry-run] ARCHIVE
//   archive-pack --recover ARCHIVE
//
// Three environment variables exist for the tests alone: ARCHIVE_PACK_STOP_AFTER=K ends the
// process dead (status 99) right after the K-th file operation of an update (a write, a flush, a
// size change, a creation, a link, a rename or a removal), as a crash would;
// ARCHIVE_PACK_SIGNAL_AFTER=K sends it SIGTERM there instead; ARCHIVE_PACK_FREE_SPACE=BYTES stands
// for the free space of the archive's file system.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "api/archive.h"
#include "api/error.h"
#include "api/pack.h"
#include "api/system.h"
#include "cli/command_line.h"

namespace {

constexpr const char* kUsage =
    "Usage: archive-pack [-v] [--method METHOD] [--force] SOURCE_DIR ARCHIVE\n"
    "       archive-pack --update [-v] [--method METHOD] [--in-place] [--dry-run] SOURCE_DIR "
    "ARCHIVE\n"
    "       archive-pack --delete [--in-place] [--dry-run] ARCHIVE MEMBER...\n"
    "       archive-pack --compact [--dry-run] ARCHIVE\n"
    "       archive-pack --recover ARCHIVE\n"
    "Build ARCHIVE from SOURCE_DIR, a folder laid out as archive-extract writes it (\"models - "
    "X\"\n"
    "and \"category NNN\" folders of NNNN.raw files), put the files of SOURCE_DIR back into\n"
    "an existing ARCHIVE, changing only what differs, or compact ARCHIVE.\n"
    "\n"
    "  --method METHOD  how entries are stored: auto (the smallest of plain, lz and rle; the\n"
    "                   default when building), plain, stored, lz, rle, or with --update keep\n"
    "                   (the default: each changed entry keeps its storage)\n"
    "  --update         update ARCHIVE from SOURCE_DIR, which may hold only the changed files\n"
    "  --delete         make the entries MEMBER names (entry paths such as 'models - g/0001.raw',\n"
    "                   category folders, or patterns of either with *, ? and [...]) entries\n"
    "                   with no data; the others stay as they are\n"
    "  --in-place       with --update or --delete: rewrite ARCHIVE where it lies, through a\n"
    "                   journal, instead of writing a new copy and renaming it into place\n"
    "  --compact        rewrite ARCHIVE with the data of its entries one after another, without\n"
    "                   the sectors moved groups and removed entries left unused\n"
    "  --dry-run        with --update, --delete or --compact: report what would change, write\n"
    "                   nothing\n"
    "  --force          when building: replace an existing ARCHIVE (otherwise refused)\n"
    "  -v, --verbose    say on stderr what was stored: entries, bytes expanded and stored,\n"
    "                   and how many entries each method took\n"
    "  --recover        complete or discard the journal a stopped update left beside ARCHIVE,\n"
    "                   and remove the copies stopped runs left in its folder\n"
    "  -h, --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "An update prints one line per entry that changes: its path, and whether it was rewritten in\n"
    "place or moved with its group. ARCHIVE is replaced in one step (a symlink's target, the\n"
    "link kept), or with --in-place committed through its journal; a failure or a stop leaves it\n"
    "as it was, or, in place, recoverable. A compaction prints the bytes it reclaimed; it\n"
    "refuses an archive that does not hold all of its entries in full.\n"
    "Exit status: 0 done (or nothing to do); 1 the lookup routines stopped on ARCHIVE's index\n"
    "(the machine's line on stdout; ARCHIVE unchanged); 2 any other failure (ARCHIVE unchanged);\n"
    "128+N after signal N.\n";

enum class Command : uint8_t { Build, Update, Delete, Compact, Recover };

struct Options {
  Command command = Command::Build;
  std::optional<StorageMethod> method;
  UpdateOptions update;
  std::string source;
  std::string archive;
  std::vector<std::string> members;  // --delete
  bool force = false;                // building may replace an existing archive
  bool verbose = false;              // a summary of what was stored, on stderr
};

void print(FILE* stream, const std::string& line) { std::fprintf(stream, "%s\n", line.c_str()); }

int usageError(const std::string& message) {
  printUsageError("archive-pack", message);
  return 2;
}

int failure(std::string message) {
  // One line, also where the message ends with a line of the emulated machine's own (a fault's
  // line keeps its line feed).
  while (!message.empty() && message.back() == '\n') message.pop_back();
  print(stderr, "archive-pack: " + message);
  return 2;
}

// --help and --version: status 0 once the text is out, else 2 and the reason on stderr.
int flushStdout() {
  if (std::ferror(stdout) == 0 && std::fflush(stdout) == 0) return 0;
  return failure(std::string("cannot write to standard output: ") + std::strerror(errno));
}

// The command line. Nothing, with `status` set, on a usage error or after --help or --version.
std::optional<Options> parse(int argc, char** argv, int& status) {
  enum { kMethod = 256, kUpdate, kDelete, kInPlace, kDryRun, kRecover, kForce, kVersion, kCompact };
  const option options[] = {{"method", required_argument, nullptr, kMethod},
                            {"update", no_argument, nullptr, kUpdate},
                            {"in-place", no_argument, nullptr, kInPlace},
                            {"dry-run", no_argument, nullptr, kDryRun},
                            {"recover", no_argument, nullptr, kRecover},
                            {"force", no_argument, nullptr, kForce},
                            {"delete", no_argument, nullptr, kDelete},
                            {"verbose", no_argument, nullptr, 'v'},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersion},
                            {"compact", no_argument, nullptr, kCompact},
                            {nullptr, 0, nullptr, 0}};
  Options o;
  bool update = false, recover = false, remove = false, compact = false;
  const auto usage = [&](const std::string& message) {
    status = usageError(message);
    return std::nullopt;
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":hv", options, nullptr)) != -1;) {
    switch (c) {
      case kMethod:
        o.method = parseStorageMethod(optarg);
        if (!o.method || !isPackerMethod(*o.method)) {
          return usage("unknown method '" + std::string(optarg) +
                       "' (keep, auto, plain, stored, lz or rle)");
        }
        break;
      case kUpdate: update = true; break;
      case kDelete: remove = true; break;
      case kInPlace: o.update.inPlace = true; break;
      case kDryRun: o.update.dryRun = true; break;
      case kRecover: recover = true; break;
      case kCompact: compact = true; break;
      case kForce: o.force = true; break;
      case 'v': o.verbose = true; break;
      case 'h':
        std::fputs(kUsage, stdout);
        status = flushStdout();
        return std::nullopt;
      case kVersion:
        std::printf("archive-pack %s\n", PROJECT_VERSION);
        status = flushStdout();
        return std::nullopt;
      default: return usage(getoptRefusal(c, argv, options));
    }
  }
  if (update + recover + remove + compact > 1) {
    return usage("--update, --delete, --compact and --recover exclude each other");
  }
  if (!update && !remove && o.update.inPlace) {
    return usage("--in-place applies to --update and --delete");
  }
  if (!update && !remove && !compact && o.update.dryRun) {
    return usage("--dry-run applies to --update, --delete and --compact");
  }
  if ((recover || remove || compact) && o.method) {
    return usage(std::string("--method does not apply to ") + (compact  ? "--compact"
                                                               : remove ? "--delete"
                                                                        : "--recover"));
  }
  if ((update || recover || remove || compact) && o.force) {
    return usage("--force applies to building an archive");
  }
  if (remove) {
    if (argc - optind < 2) return usage("--delete needs ARCHIVE and at least one MEMBER");
    o.command = Command::Delete;
    o.archive = argv[optind];
    o.members.assign(argv + optind + 1, argv + argc);
    return o;
  }
  if (!update && o.method == StorageMethod::Keep) return usage("--method keep needs --update");
  const bool alone = recover || compact;  // ARCHIVE is the only operand
  if (argc - optind != (alone ? 1 : 2)) {
    return usage(recover   ? "--recover takes ARCHIVE alone"
                 : compact ? "--compact takes ARCHIVE alone"
                           : "SOURCE_DIR and ARCHIVE are needed, nothing else");
  }
  o.command = recover   ? Command::Recover
              : compact ? Command::Compact
              : update  ? Command::Update
                        : Command::Build;
  if (!alone) o.source = argv[optind];
  o.archive = argv[argc - 1];
  return o;
}

// A SIGINT or SIGTERM leaves nothing behind: a new archive has no name until its last moment,
// and then the handler removes it; an in-place update leaves at most its journal.
void onStopSignal(int signal) {
  removeNameToRemoveOnStop();
  std::_Exit(128 + signal);
}

uint64_t ioCount = 0;
uint64_t stopAfter = 0;
bool signalInstead = false;
void stopDeadAfterK(const IoEvent&) {
  if (++ioCount != stopAfter) return;
  if (!signalInstead) std::_Exit(99);
  raiseTerminationSignal();
}

// Notes go to stderr as they come; the wait for readers too, at once.
class StderrEvents : public PackEvents {
 public:
  void note(const std::string& text) override { print(stderr, "archive-pack: " + text); }
  void waiting(const std::string& line) override { note(line); }
};

// Runs the command; what it reports for stdout goes to `out`, its notes to stderr.
void run(const Options& o, std::vector<std::string>& out) {
  StderrEvents events;
  Packer packer(events);
  const auto report = [&](const EditResult& result) {
    for (const EntryChange& change : result.changes) out.push_back(change.line());
    if (o.verbose) {
      const char* done = o.update.dryRun ? "would change " : "changed ";
      events.note(o.archive + ": " + done + result.summary.text());
    }
  };
  switch (o.command) {
    case Command::Recover: {
      const RecoverResult recovered = packer.recover(o.archive, o.update.lockWait);
      events.note(recovered.outcome == Recovery::None ? o.archive + ": no update journal to recover"
                                                      : recovered.note);
      return;
    }
    case Command::Compact:
      out.push_back(packer.compact(
          o.archive, CompactOptions{o.update.dryRun, o.update.freeSpace, o.update.lockWait}));
      return;
    case Command::Delete: return report(packer.remove(o.members, o.archive, o.update));
    case Command::Build: {
      const PackSummary summary =
          packer.build(PackSource::folder(pathOfText(o.source)), o.archive,
                       BuildOptions{o.method.value_or(StorageMethod::Auto), o.force});
      if (o.verbose) events.note(o.archive + ": built of " + summary.text());
      return;
    }
    case Command::Update: {
      UpdateOptions options = o.update;
      options.method = o.method.value_or(StorageMethod::Keep);
      return report(packer.update(PackSource::folder(pathOfText(o.source)), o.archive, options));
    }
  }
}

// What archive-pack adds to the library's words: the option or command that does what the
// hint says.
std::string hintWords(const Error& error, const std::string& archive) {
  switch (error.hint()) {
    case ErrorHint::RecoverFirst: return ": run 'archive-pack --recover " + archive + "' first";
    case ErrorHint::EditInPlace: return " (--in-place needs only the appended groups)";
    case ErrorHint::PlainMethod: return "; use --method plain";
    case ErrorHint::EditByCopy:
      return "; update it without --in-place: the new archive then takes this name alone";
    case ErrorHint::RecoverToFinish: return " (archive-pack --recover " + archive + ")";
    case ErrorHint::UpdateOrReplace:
      return "; use --update to put SOURCE_DIR's files into it, or --force to replace it with an "
             "archive of SOURCE_DIR alone";
    case ErrorHint::LiftOutputBound:  // the packer has no output bound
    case ErrorHint::None: return "";
  }
  return "";
}

// The lookup routines stopped on the archive's index: the machine's line, exactly, where the
// machine prints (stdout), then which archive made them stop, as archive-extract says it.
int machineFault(const Error& fault) {
  if (fault.what()[0] != '\0') print(stdout, fault.what());
  std::fflush(stdout);
  print(stderr, "archive-pack: " + lookupsStopped(fault.path()));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramArguments arguments(argc, argv);
  r5900::setGuestOutput(
      [](const char* bytes, size_t size) { std::fwrite(bytes, 1, size, stdout); });
  int status = 0;
  std::optional<Options> options = parse(argc, argv, status);
  if (!options) return status;

  handleStopSignals(onStopSignal);
  const char* signalAfter = std::getenv("ARCHIVE_PACK_SIGNAL_AFTER");
  signalInstead = signalAfter != nullptr;
  if (const char* k = signalInstead ? signalAfter : std::getenv("ARCHIVE_PACK_STOP_AFTER")) {
    stopAfter = std::strtoull(k, nullptr, 10);
    setIoHook(stopDeadAfterK);
  }
  if (const char* free = std::getenv("ARCHIVE_PACK_FREE_SPACE")) {
    options->update.freeSpace = std::strtoull(free, nullptr, 10);
  }
  std::vector<std::string> out;
  try {
    run(*options, out);
  } catch (const Error& error) {
    if (error.kind() == ErrorKind::MachineFault) return machineFault(error);
    return failure(error.what() + hintWords(error, options->archive));
  }
  for (const std::string& line : out) print(stdout, line);
  if (std::fflush(stdout) != 0) return failure("cannot write to standard output");
  return 0;
}
