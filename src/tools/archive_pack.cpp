// archive-pack: builds an archive from a folder laid out like archive-extract's output, or puts
// changed models back into an existing one.
//
//   archive-pack [--method METHOD] SOURCE_DIR ARCHIVE
//   archive-pack --update [--method METHOD] [--in-place] [--dry-run] SOURCE_DIR ARCHIVE
//   archive-pack --recover ARCHIVE
//
// Two environment variables exist for the tests alone: ARCHIVE_PACK_STOP_AFTER=K ends the process
// dead (status 99) right after the K-th write or flush of an update, as a crash would;
// ARCHIVE_PACK_FREE_SPACE=BYTES stands for the free space of the archive's file system.
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "pack/build.h"
#include "pack/durable_io.h"
#include "pack/journal.h"
#include "pack/replace_file.h"
#include "pack/source_tree.h"
#include "pack/update.h"

namespace {

constexpr const char* kUsage =
    "Usage: archive-pack [--method METHOD] SOURCE_DIR ARCHIVE\n"
    "       archive-pack --update [--method METHOD] [--in-place] [--dry-run] SOURCE_DIR ARCHIVE\n"
    "       archive-pack --recover ARCHIVE\n"
    "Build ARCHIVE from SOURCE_DIR, a folder laid out as archive-extract writes it (\"models - "
    "X\"\n"
    "and \"category NNN\" folders of NNNN.raw files), or put the files of SOURCE_DIR back into\n"
    "an existing ARCHIVE, changing only what differs.\n"
    "\n"
    "  --method METHOD  how entries are stored: auto (the smallest of plain, lz and rle; the\n"
    "                   default when building), plain, stored, lz, rle, or with --update keep\n"
    "                   (the default: each changed entry keeps its storage)\n"
    "  --update         update ARCHIVE from SOURCE_DIR, which may hold only the changed files\n"
    "  --in-place       with --update: rewrite ARCHIVE where it lies, through a journal, instead\n"
    "                   of writing a new copy and renaming it into place\n"
    "  --dry-run        with --update: report what would change, write nothing\n"
    "  --recover        complete or discard the journal a stopped update left beside ARCHIVE\n"
    "  -h, --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "An update prints one line per entry that changes: its path, and whether it was rewritten in\n"
    "place or moved with its group. ARCHIVE is replaced in one step (a symlink's target, the\n"
    "link kept), or with --in-place committed through its journal; a failure or a stop leaves it\n"
    "as it was, or, in place, recoverable.\n"
    "Exit status: 0 done (or nothing to do); 2 any failure (ARCHIVE unchanged); 128+N after\n"
    "signal N.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "archive-pack: %s\nTry 'archive-pack --help' for more information.\n",
               message.c_str());
  return 2;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "archive-pack: %s\n", message.c_str());
  return 2;
}

// A SIGINT or SIGTERM leaves nothing behind: a new archive has no name until its last moment,
// and then the handler removes it; an in-place update leaves at most its journal.
void onStopSignal(int signal) {
  removePendingTempName();
  _exit(128 + signal);
}

uint64_t ioCount = 0;
uint64_t stopAfter = 0;
void stopDeadAfterK() {
  if (++ioCount == stopAfter) _exit(99);
}

// Any run on an archive first deals with a journal a stopped update left beside it.
bool recoverBefore(const std::string& archive) {
  std::string error, note;
  const std::optional<std::string> real = resolveSymlinks(archive, error);
  if (!real || access(journalPath(*real).c_str(), F_OK) != 0) return true;
  if (!recoverArchive(archive, note, error)) return failure(error) == 0;
  if (!note.empty()) std::fprintf(stderr, "archive-pack: %s\n", note.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kMethod = 256, kUpdate, kInPlace, kDryRun, kRecover, kVersion };
  const option options[] = {
      {"method", required_argument, nullptr, kMethod}, {"update", no_argument, nullptr, kUpdate},
      {"in-place", no_argument, nullptr, kInPlace},    {"dry-run", no_argument, nullptr, kDryRun},
      {"recover", no_argument, nullptr, kRecover},     {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},     {nullptr, 0, nullptr, 0}};
  std::optional<StoreMethod> method;
  bool update = false, recover = false;
  UpdateOptions updateOptions;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
    switch (c) {
      case kMethod:
        method = parseStoreMethod(optarg);
        if (!method) {
          return usageError("unknown method '" + std::string(optarg) +
                            "' (keep, auto, plain, stored, lz or rle)");
        }
        break;
      case kUpdate: update = true; break;
      case kInPlace: updateOptions.inPlace = true; break;
      case kDryRun: updateOptions.dryRun = true; break;
      case kRecover: recover = true; break;
      case 'h': std::fputs(kUsage, stdout); return std::fflush(stdout) == 0 ? 0 : 2;
      case kVersion:
        std::printf("archive-pack %s\n", PROJECT_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 2;
      case ':': return usageError(std::string(argv[optind - 1]) + " needs a value");
      default: return usageError("unknown option '" + std::string(argv[optind - 1]) + "'");
    }
  }
  if (update && recover) return usageError("--update and --recover exclude each other");
  if (!update && (updateOptions.inPlace || updateOptions.dryRun)) {
    return usageError(std::string(updateOptions.inPlace ? "--in-place" : "--dry-run") +
                      " applies to --update");
  }
  if (recover && method) return usageError("--method does not apply to --recover");
  if (!update && method == StoreMethod::Keep) return usageError("--method keep needs --update");
  const int operands = recover ? 1 : 2;
  if (argc - optind != operands) {
    return usageError(recover ? "--recover takes ARCHIVE alone"
                              : "SOURCE_DIR and ARCHIVE are needed, nothing else");
  }

  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  if (const char* k = std::getenv("ARCHIVE_PACK_STOP_AFTER")) {
    stopAfter = std::strtoull(k, nullptr, 10);
    setIoHook(stopDeadAfterK);
  }
  if (const char* free = std::getenv("ARCHIVE_PACK_FREE_SPACE")) {
    updateOptions.freeSpace = std::strtoull(free, nullptr, 10);
  }

  std::string error;
  const std::string archive = argv[argc - 1];
  if (recover) {
    std::string note;
    if (!recoverArchive(archive, note, error)) return failure(error);
    std::fprintf(
        stderr, "archive-pack: %s\n",
        note.empty() ? (archive + ": no update journal to recover").c_str() : note.c_str());
    return 0;
  }
  if (!recoverBefore(archive)) return 2;
  SourceTree tree;
  if (!readSourceTree(argv[optind], tree, error)) return failure(error);
  for (const std::string& skipped : tree.skipped) {
    std::fprintf(stderr, "archive-pack: skipping %s\n", skipped.c_str());
  }
  if (!update) {
    return buildArchive(tree, archive, method.value_or(StoreMethod::Auto), error) ? 0
                                                                                  : failure(error);
  }
  updateOptions.method = method.value_or(StoreMethod::Keep);
  UpdateResult result;
  const bool ok = updateArchive(tree, archive, updateOptions, result, error);
  for (const std::string& note : result.notes)
    std::fprintf(stderr, "archive-pack: %s\n", note.c_str());
  if (!ok) return failure(error);
  for (const std::string& line : result.report) std::printf("%s\n", line.c_str());
  if (std::fflush(stdout) != 0) return failure("cannot write to standard output");
  return 0;
}
