// Writes the archives the page and the WebAssembly module are tested on into FOLDER, each the
// kind of archive the command line's end-to-end tests meet: every storage method and damage, one
// cut short, one whose lookups fault, entries sharing their bytes past the output bound, and an
// entry past 4 GiB (a sparse file). The tests compare what the page makes of each with what
// archive-extract makes of it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/archive_builder.h"

namespace fs = std::filesystem;

namespace {

// Entries of every model category, of every method, some damaged.
std::vector<Table> mixed(std::mt19937_64& rng, int perCategory) {
  std::vector<Table> tables;
  for (int row = 0; row < 11; ++row) {
    Table t{row, {}};
    for (int e = 0; e < perCategory; ++e) {
      const std::string data = content(rng, 100 + rng() % 60000);
      switch (rng() % 4) {
        case 0: t.entries.push_back(plain(data)); break;
        case 1: t.entries.push_back(compressed(1, data)); break;
        case 2: t.entries.push_back(compressed(2, data)); break;
        default: {
          std::string damaged = encode(1, data);
          if (rng() % 3 == 0) damaged[12] = 1;
          t.entries.push_back(compressed(damaged, data.size()));
        }
      }
    }
    tables.push_back(std::move(t));
  }
  return tables;
}

void rewrite(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: web-fixtures FOLDER\n");
    return 2;
  }
  const fs::path dir = argv[1];
  fs::create_directories(dir);
  std::mt19937_64 rng(38);

  writeSampleArchive(dir / "sample.bin");
  writeArchive(dir / "mixed.bin", mixed(rng, 20));

  // Cut short inside its entries.
  writeArchive(dir / "cut.bin", mixed(rng, 10));
  fs::resize_file(dir / "cut.bin", fs::file_size(dir / "cut.bin") * 3 / 4);

  // The lookups stop on the index with a fault of the emulated machine.
  writeArchive(dir / "faulting.bin", mixed(rng, 4));
  rewrite(dir / "faulting.bin", withFaultingLookups(readFile(dir / "faulting.bin")));

  // One run-length stream of 32 MiB that every category points at: eight copies reach the output
  // bound of a small archive.
  const std::string stream = encode(2, std::string(kExpandedSizeMask, '\0'));
  writeArchive(dir / "shared.bin",
               {{0, {{compressedEntryWord(kMaxStoredSectors, kMaxExpandedUnits), stream}}}},
               kDataStart + stream.size());
  {
    std::string bytes = readFile(dir / "shared.bin");
    const auto at = [](int32_t category) {
      return kArchiveIndexOffset + kCategoryRecordsOffset + kCategoryRecordSize * category;
    };
    for (int row = 1; row < 11; ++row) {
      bytes.replace(at(kCategories[row]), kCategoryRecordSize,
                    bytes.substr(at(kCategories[0]), kCategoryRecordSize));
    }
    rewrite(dir / "shared.bin", bytes);
  }

  // A compressed entry and a plain one whose bytes lie past 4 GiB, in a sparse file.
  writeArchive(dir / "far.bin",
               {{0, {plain(content(rng, 5000))}},
                {1, {compressed(1, content(rng, 70000)), plain(content(rng, 3000))}, 1u << 21}});
  std::printf("%s\n", dir.string().c_str());
  return 0;
}
