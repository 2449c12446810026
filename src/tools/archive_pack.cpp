// archive-pack SOURCE_DIR ARCHIVE [--method auto|plain|stored|lz|rle]: builds an archive from a
// folder laid out like archive-extract's output (the "models - X" folders of NNNN.raw files), so
// that extracting it gives the tree back.
//
// Archive layout: the index at byte 0xBA000 (0x28000 bytes), entry data from sector 500 (byte
// 0xFA000) in 2048-byte sectors, the entries of each group of 16 one after another.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "codec/encode.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kHighestCategory = 34;

enum class Method { Auto, Plain, Stored, Lz, Rle };

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "archive-pack: %s\n", message.c_str());
  std::exit(2);
}

struct Stored {
  std::vector<uint8_t> bytes;  // what goes into the archive
  uint32_t word;               // its EntryWord
};

uint32_t sectorsFor(size_t bytes) {
  return static_cast<uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

// A compressed entry, or nothing when its sizes do not fit the EntryWord's fields.
std::optional<Stored> compressed(uint32_t method, const std::vector<uint8_t>& data) {
  const uint64_t units = (data.size() + 63) / 64;
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
  if (!result)
    fail(name + ": " + std::to_string(data.size()) + " bytes do not fit the chosen storage");
  return std::move(*result);
}

std::vector<uint8_t> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The NNNN.raw files of one category folder, by entry number; anything else is named and skipped.
std::map<int32_t, fs::path> entryFiles(const fs::path& folder) {
  std::map<int32_t, fs::path> files;
  if (!fs::is_directory(folder)) return files;
  for (const auto& item : fs::directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    const bool named =
        name.size() == 8 && name.substr(4) == ".raw" &&
        std::all_of(name.begin(), name.begin() + 4, [](char c) { return c >= '0' && c <= '9'; });
    if (!named || !item.is_regular_file()) {
      std::fprintf(stderr, "archive-pack: skipping %s: not an NNNN.raw file\n",
                   item.path().c_str());
      continue;
    }
    files[std::stoi(name.substr(0, 4))] = item.path();
  }
  return files;
}

class ArchiveWriter {
 public:
  explicit ArchiveWriter(const std::string& path) : path_(path), temp_(path + ".partial") {
    file_ = std::fopen(temp_.c_str(), "wb");
    if (file_ == nullptr) fail("cannot create " + temp_ + ": " + std::strerror(errno));
  }
  void writeAt(uint64_t offset, const uint8_t* data, size_t size) {
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        (size > 0 && std::fwrite(data, 1, size, file_) != size)) {
      abandon("cannot write " + temp_);
    }
  }
  void finish() {
    if (std::fclose(file_) != 0) {
      file_ = nullptr;
      abandon("cannot write " + temp_);
    }
    file_ = nullptr;
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) abandon("cannot rename onto " + path_);
  }
  [[noreturn]] void abandon(const std::string& message) {
    const std::string reason = std::strerror(errno);
    if (file_ != nullptr) std::fclose(file_);
    std::remove(temp_.c_str());
    fail(message + ": " + reason);
  }

 private:
  std::string path_, temp_;
  std::FILE* file_ = nullptr;
};

Method parseMethod(const std::string& text) {
  if (text == "auto") return Method::Auto;
  if (text == "plain") return Method::Plain;
  if (text == "stored") return Method::Stored;
  if (text == "lz") return Method::Lz;
  if (text == "rle") return Method::Rle;
  fail("unknown method '" + text + "' (auto, plain, stored, lz or rle)");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths;
  Method method = Method::Auto;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--method" && i + 1 < argc) {
      method = parseMethod(argv[++i]);
    } else if (arg.rfind("--method=", 0) == 0) {
      method = parseMethod(arg.substr(9));
    } else if (arg.rfind("--", 0) == 0) {
      fail("unknown option '" + arg + "'");
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2) {
    fail("usage: archive-pack SOURCE_DIR ARCHIVE [--method auto|plain|stored|lz|rle]");
  }
  const fs::path source = paths[0];
  if (!fs::is_directory(source)) fail(paths[0] + " is not a folder");
  for (const auto& item : fs::directory_iterator(source)) {
    const std::string name = item.path().filename().string();
    const bool known = std::any_of(std::begin(kModelCategories), std::end(kModelCategories),
                                   [&](const ModelCategory& row) { return name == row.folder; });
    if (!known)
      std::fprintf(stderr, "archive-pack: skipping %s: not a model folder\n", item.path().c_str());
  }

  ArchiveWriter archive(paths[1]);
  uint64_t sector = 0;  // next free data sector, counted from sector 500
  std::vector<CategoryTable> tables;
  const std::vector<uint8_t> padding(kSectorSize);
  for (const ModelCategory& row : kModelCategories) {
    const std::map<int32_t, fs::path> files = entryFiles(source / row.folder);
    CategoryTable table{row.category, {}, {}};
    const int32_t count = files.empty() ? 0 : files.rbegin()->first + 1;
    for (int32_t e = 0; e < count; ++e) {
      if (e % 16 == 0) {
        if (sector > kMaxGroupStartSector)
          fail("the archive would exceed the 8 GiB the index can address");
        table.groupStarts.push_back(static_cast<uint32_t>(sector));
      }
      const auto file = files.find(e);
      if (file == files.end()) {
        table.entryWords.push_back(plainEntryWord(0));  // a gap: length 0, no entry
        continue;
      }
      const Stored stored = storeEntry(readFile(file->second), method, file->second.string());
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
  std::string error;
  const std::optional<std::vector<uint8_t>> index =
      buildArchiveIndex(tables, kHighestCategory, error);
  if (!index) fail(error);
  archive.writeAt(kArchiveIndexOffset, index->data(), index->size());
  // The data area starts at sector 500 even when it is empty.
  if (sector == 0) archive.writeAt(kDataStart - 1, padding.data(), 1);
  archive.finish();
  return 0;
}
