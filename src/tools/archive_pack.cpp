// archive-pack [--method auto|plain|stored|lz|rle] SOURCE_DIR ARCHIVE: builds an archive from a
// folder laid out like archive-extract's output ("models - X" and "category NNN" folders of
// NNNN.raw files), so that extracting it gives the tree back.
//
// Archive layout: the index at byte 0xBA000 (0x28000 bytes), entry data from sector 500 (byte
// 0xFA000) in 2048-byte sectors, the entries of each group of 16 one after another.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "codec/encode.h"
#include "tools/replace_file.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: archive-pack [--method METHOD] SOURCE_DIR ARCHIVE\n"
    "Build ARCHIVE from SOURCE_DIR, a folder laid out as archive-extract writes it (\"models - "
    "X\"\n"
    "and \"category NNN\" folders of NNNN.raw files), so that extracting it gives the folder "
    "back.\n"
    "\n"
    "  --method METHOD  how every entry is stored: auto (the smallest of plain, lz and rle;\n"
    "                   the default), plain, stored, lz or rle\n"
    "  -h, --help       print this help and exit\n"
    "      --version    print the version and exit\n"
    "\n"
    "ARCHIVE is replaced in one step when complete (a symlink's target, the link kept).\n"
    "Exit status: 0 written; 2 any failure (ARCHIVE unchanged); 128+N after signal N.\n";

enum class Method { Auto, Plain, Stored, Lz, Rle };

// Failures travel up to main as this, with their message.
struct PackError {
  std::string message;
};
[[noreturn]] void fail(const std::string& message) { throw PackError{message}; }
std::string reason(const std::error_code& error) { return error.message(); }

struct Stored {
  std::vector<uint8_t> bytes;  // what goes into the archive
  uint32_t word;               // its EntryWord
};

uint32_t sectorsFor(size_t bytes) {
  return static_cast<uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

// A compressed entry, or nothing when its sizes do not fit the EntryWord's fields.
std::optional<Stored> compressed(uint32_t method, const std::vector<uint8_t>& data) {
  const uint64_t units = (data.size() + kExpandedUnit - 1) / kExpandedUnit;
  if (units > kMaxExpandedUnits) return std::nullopt;
  std::vector<uint8_t> entry = buildCompressedEntry(method, data.data(), data.size());
  const uint32_t sectors = sectorsFor(entry.size());
  if (sectors > kMaxStoredSectors) return std::nullopt;
  // An empty file is one 64-byte unit in the index: an expanded length of 0 would mean no entry.
  const auto indexUnits = static_cast<uint32_t>(std::max<uint64_t>(units, 1));
  return Stored{std::move(entry), compressedEntryWord(sectors, indexUnits)};
}

std::optional<Stored> plain(const std::vector<uint8_t>& data) {
  if (data.empty() || data.size() > kMaxPlainLength) return std::nullopt;
  return Stored{data, plainEntryWord(static_cast<uint32_t>(data.size()))};
}

Stored storeEntry(const std::vector<uint8_t>& data, Method method, const std::string& name) {
  std::optional<Stored> result;
  if (data.empty()) {
    result = compressed(0, data);  // whatever the method: see compressed()
  } else if (method == Method::Auto) {
    for (auto candidate : {plain(data), compressed(1, data), compressed(2, data)}) {
      if (candidate && (!result || candidate->bytes.size() < result->bytes.size())) {
        result = std::move(candidate);
      }
    }
  } else if (method == Method::Plain) {
    result = plain(data);
  } else {
    result = compressed(method == Method::Stored ? 0 : method == Method::Lz ? 1 : 2, data);
  }
  if (!result) {
    fail(name + ": " + std::to_string(data.size()) + " bytes do not fit the chosen storage");
  }
  return std::move(*result);
}

std::vector<uint8_t> readFile(const fs::path& path) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) fail("cannot read " + path.string() + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  uint8_t buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  const int error = std::ferror(in) != 0 ? errno : 0;
  std::fclose(in);
  if (error != 0) fail("cannot read " + path.string() + ": " + std::strerror(error));
  return bytes;
}

// The folders of SOURCE_DIR by category, and each folder's NNNN.raw files by entry number;
// anything else is named on stderr and skipped.
using Folder = std::map<int32_t, fs::path>;
std::map<int32_t, Folder> sourceTree(const fs::path& source) {
  std::error_code error;
  if (!fs::is_directory(source, error)) fail(source.string() + " is not a folder");
  std::map<int32_t, Folder> tree;
  const auto skip = [](const fs::path& path, const char* why) {
    std::fprintf(stderr, "archive-pack: skipping %s: %s\n", path.c_str(), why);
  };
  const auto list = [&](const fs::path& folder, auto each) {
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) each(*it);
    if (error) fail("cannot read the folder " + folder.string() + ": " + reason(error));
  };
  list(source, [&](const fs::directory_entry& item) {
    const std::optional<int32_t> category = categoryOfFolder(item.path().filename().string());
    std::error_code kind;
    if (!category || !item.is_directory(kind)) return skip(item.path(), "not a category folder");
    Folder& files = tree[*category];
    list(item.path(), [&](const fs::directory_entry& file) {
      const std::string name = file.path().filename().string();
      const bool named =
          name.size() == 8 && name.substr(4) == ".raw" &&
          std::all_of(name.begin(), name.begin() + 4, [](char c) { return c >= '0' && c <= '9'; });
      std::error_code fileKind;
      if (!named || !file.is_regular_file(fileKind)) {
        return skip(file.path(), "not an NNNN.raw file");
      }
      files[std::stoi(name.substr(0, 4))] = file.path();
    });
  });
  return tree;
}

class ArchiveWriter {
 public:
  explicit ArchiveWriter(Replacement& file) : file_(file) {}
  void writeAt(uint64_t offset, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = pwrite(file_.fd(), data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("cannot write " + file_.target() + ": " + std::strerror(errno));
      data += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<size_t>(n);
    }
  }

 private:
  Replacement& file_;
};

void pack(const fs::path& source, const std::string& archivePath, Method method) {
  const std::map<int32_t, Folder> tree = sourceTree(source);
  std::string error;
  std::optional<Replacement> file = Replacement::begin(archivePath, error);
  if (!file) fail(error);
  ArchiveWriter archive(*file);
  uint64_t sector = 0;  // next free data sector, counted from sector 500
  std::vector<CategoryTable> tables;
  int32_t highest = 34;  // the last model category
  const std::vector<uint8_t> padding(kSectorSize);
  for (const auto& [category, files] : tree) {
    highest = std::max(highest, category);
    CategoryTable table{category, {}, {}};
    const int32_t count = files.empty() ? 0 : files.rbegin()->first + 1;
    for (int32_t e = 0; e < count; ++e) {
      if (e % kEntriesPerGroup == 0) {
        if (sector > kMaxGroupStartSector) {
          fail("the archive would exceed the 8 GiB the index can address");
        }
        table.groupStarts.push_back(static_cast<uint32_t>(sector));
      }
      const auto found = files.find(e);
      if (found == files.end()) {
        table.entryWords.push_back(plainEntryWord(0));  // a gap: length 0, no entry
        continue;
      }
      const Stored stored = storeEntry(readFile(found->second), method, found->second.string());
      const uint64_t offset = kDataStart + sector * kSectorSize;
      archive.writeAt(offset, stored.bytes.data(), stored.bytes.size());
      const uint32_t sectors = entrySectors(stored.word);
      const size_t tail = sectors * size_t{kSectorSize} - stored.bytes.size();
      archive.writeAt(offset + stored.bytes.size(), padding.data(), tail);
      sector += sectors;
      table.entryWords.push_back(stored.word);
    }
    tables.push_back(std::move(table));
  }
  const std::optional<std::vector<uint8_t>> index = buildArchiveIndex(tables, highest, error);
  if (!index) fail(error);
  archive.writeAt(kArchiveIndexOffset, index->data(), index->size());
  // The data area starts at sector 500 even when it is empty.
  if (sector == 0) archive.writeAt(kDataStart - 1, padding.data(), 1);
  if (!file->commit(error)) fail(error);
}

std::optional<Method> parseMethod(const std::string& text) {
  if (text == "auto") return Method::Auto;
  if (text == "plain") return Method::Plain;
  if (text == "stored") return Method::Stored;
  if (text == "lz") return Method::Lz;
  if (text == "rle") return Method::Rle;
  return std::nullopt;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "archive-pack: %s\nTry 'archive-pack --help' for more information.\n",
               message.c_str());
  return 2;
}

// A SIGINT or SIGTERM leaves nothing behind: the new archive has no name until its last moment,
// and then the handler removes it.
void onStopSignal(int signal) {
  removePendingTempName();
  _exit(128 + signal);
}

}  // namespace

int main(int argc, char** argv) {
  enum { kMethod = 256, kVersion };
  const option options[] = {{"method", required_argument, nullptr, kMethod},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersion},
                            {nullptr, 0, nullptr, 0}};
  Method method = Method::Auto;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
    switch (c) {
      case kMethod: {
        const std::optional<Method> m = parseMethod(optarg);
        if (!m)
          return usageError("unknown method '" + std::string(optarg) +
                            "' (auto, plain, stored, lz or rle)");
        method = *m;
        break;
      }
      case 'h': std::fputs(kUsage, stdout); return std::fflush(stdout) == 0 ? 0 : 2;
      case kVersion:
        std::printf("archive-pack %s\n", PROJECT_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 2;
      case ':': return usageError(std::string(argv[optind - 1]) + " needs a value");
      default: return usageError("unknown option '" + std::string(argv[optind - 1]) + "'");
    }
  }
  if (argc - optind != 2) return usageError("SOURCE_DIR and ARCHIVE are needed, nothing else");
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  try {
    pack(argv[optind], argv[optind + 1], method);
  } catch (const PackError& error) {
    std::fprintf(stderr, "archive-pack: %s\n", error.message.c_str());
    return 2;
  }
  return 0;
}
