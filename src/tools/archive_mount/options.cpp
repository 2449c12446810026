#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "cli/command_line.h"

namespace {

constexpr const char* kUsage =
    "Usage: archive-mount [OPTION]... ARCHIVE MOUNTPOINT [MEMBER]...\n"
    "Mount the model files of ARCHIVE read-only on MOUNTPOINT (an empty folder), as the tree\n"
    "archive-extract writes: \"models - X/NNNN.raw\". Compressed entries are decoded when read.\n"
    "A MEMBER, --category and --entries restrict what is shown, as in archive-extract.\n"
    "Unmount with: fusermount3 -u MOUNTPOINT\n"
    "\n"
    "  -f, --foreground      serve the mount from this process until it is unmounted (SIGINT\n"
    "                        and SIGTERM unmount it); problems go to stderr, not to syslog\n"
    "      --log FILE        append the reasons of failed reads to FILE instead (its lines\n"
    "                        begin with the time)\n"
    "  -o OPTIONS            mount options, comma-separated, passed to FUSE (allow_other, ...);\n"
    "                        uid=N and gid=N set the owner the files show\n"
    "      --category LIST   only these categories: folder letters or numbers (g,hc,25)\n"
    "      --entries RANGE   only these entry numbers (0-99,120)\n"
    "      --all-categories  every category number from 0 to 255, not only the eleven\n"
    "      --cache-size SIZE keep at most SIZE bytes of decoded entries (K, M, G; default 256M);\n"
    "                        files read in order are stored ahead, up to half of SIZE\n"
    "  -j, --jobs N          decode up to N entries ahead at once (default: one per core)\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "Exit status: 0 success (unmounted, or mounted in the background); 1 a fault of the\n"
    "emulated machine during the lookups; 2 any other failure.\n";

enum LongOnly { kCategory = 256, kEntries, kAllCategories, kCacheSize, kVersion, kLog };

const option kLongOptions[] = {
    {"foreground", no_argument, nullptr, 'f'},
    {"category", required_argument, nullptr, kCategory},
    {"entries", required_argument, nullptr, kEntries},
    {"all-categories", no_argument, nullptr, kAllCategories},
    {"cache-size", required_argument, nullptr, kCacheSize},
    {"log", required_argument, nullptr, kLog},
    {"jobs", required_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

std::optional<MountOptions> usageError(const std::string& message, int& status) {
  printUsageError("archive-mount", message);
  status = 2;
  return std::nullopt;
}

bool number(const std::string& text, unsigned long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0 && value <= std::numeric_limits<uint32_t>::max();
}

// Takes uid=N and gid=N out of an -o list; the rest goes to FUSE. False, with `error`, on a bad
// value.
bool takeFuseOptions(const std::string& list, MountOptions& o, std::string& error) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string option = list.substr(start, end - start);
    start = end + 1;
    if (option.empty()) continue;
    unsigned long value = 0;
    if (option.rfind("max_read=", 0) == 0) {
      if (!number(option.substr(9), value) || value == 0) {
        error = "-o max_read needs a number of bytes, not '" + option.substr(9) + "'";
        return false;
      }
      o.maxRead = static_cast<uint32_t>(value);
    }
    if (option.rfind("uid=", 0) == 0 || option.rfind("gid=", 0) == 0) {
      if (!number(option.substr(4), value)) {
        error = "-o " + option.substr(0, 3) + " needs a number, not '" + option.substr(4) + "'";
        return false;
      }
      if (option[0] == 'u') {
        o.uid = static_cast<uint32_t>(value);
      } else {
        o.gid = static_cast<uint32_t>(value);
      }
      continue;
    }
    if (!o.fuseOptions.empty()) o.fuseOptions += ',';
    o.fuseOptions += option;
  }
  return true;
}

}  // namespace

std::optional<uint64_t> parseByteSize(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return std::nullopt;
  unsigned shift = 0;
  const std::string unit(end);
  if (unit == "K" || unit == "k") {
    shift = 10;
  } else if (unit == "M" || unit == "m") {
    shift = 20;
  } else if (unit == "G" || unit == "g") {
    shift = 30;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (value > (std::numeric_limits<uint64_t>::max() >> shift)) return std::nullopt;
  return uint64_t{value} << shift;
}

std::optional<MountOptions> parseMountOptions(int argc, char** argv, int& status) {
  MountOptions o;
  std::string error;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":fo:hj:", kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 'f': o.foreground = true; break;
      case 'o':
        if (!takeFuseOptions(optarg, o, error)) return usageError(error, status);
        break;
      case kCategory:
      case kEntries:
        if (const auto refusal = narrowSelection(o.selection, c == kCategory, optarg)) {
          return usageError(*refusal, status);
        }
        break;
      case kAllCategories: o.selection.sweepAllCategories(); break;
      case kLog: o.logFile = optarg; break;
      case 'j':
        if (const auto refusal = parseJobs(optarg, o.jobs)) return usageError(*refusal, status);
        break;
      case kCacheSize: {
        const std::optional<uint64_t> size = parseByteSize(optarg);
        if (!size) {
          return usageError(std::string("--cache-size needs bytes with an optional K, M or G, "
                                        "not '") +
                                optarg + "'",
                            status);
        }
        o.cacheSize = *size;
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        status = std::fflush(stdout) == 0 ? 0 : 2;
        return std::nullopt;
      case kVersion:
        std::printf("archive-mount %s\n", PROJECT_VERSION);
        status = std::fflush(stdout) == 0 ? 0 : 2;
        return std::nullopt;
      default: return usageError(getoptRefusal(c, argv, kLongOptions), status);
    }
  }
  if (optind >= argc) return usageError("no ARCHIVE given", status);
  o.archive = argv[optind++];
  if (optind >= argc) return usageError("no MOUNTPOINT given", status);
  o.mountpoint = argv[optind++];
  for (; optind < argc; ++optind) o.selection.addMember(argv[optind]);
  return o;
}
