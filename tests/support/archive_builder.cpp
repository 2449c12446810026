#include "support/archive_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "archive/index.h"
#include "codec/encode.h"

namespace fs = std::filesystem;

std::string path(int row, int entry) {
  char name[32];
  std::snprintf(name, sizeof name, "%s/%04d.raw", kFolders[row], entry);
  return name;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Tree readTree(const fs::path& root) {
  Tree tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) tree[fs::relative(item, root).generic_string()] = readFile(item);
  }
  return tree;
}

void writeTree(const fs::path& root, const Tree& tree) {
  for (const auto& [name, data] : tree) {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name, std::ios::binary) << data;
  }
}

std::map<std::string, std::pair<size_t, size_t>> summary(const Tree& tree) {
  std::map<std::string, std::pair<size_t, size_t>> result;
  for (const auto& [name, data] : tree)
    result[name] = {data.size(), std::hash<std::string>()(data)};
  return result;
}

std::string sweepLines(const Tree& tree) {
  std::string lines;
  for (const std::string folder : kFolders) {
    for (const auto& item : tree) {
      if (item.first.rfind(folder + "/", 0) == 0) lines += item.first + "\n";
    }
  }
  return lines;
}

std::string content(std::mt19937_64& rng, size_t size) {
  std::string data;
  data.reserve(size);
  while (data.size() < size) {
    const size_t n = std::min<size_t>(size - data.size(), 1 + rng() % 200);
    const size_t kind = data.empty() ? 0 : rng() % 3;
    if (kind == 1) data.append(n, static_cast<char>(rng()));
    const size_t from =
        kind == 2 ? data.size() - 1 - rng() % std::min<size_t>(data.size(), 2048) : 0;
    for (size_t i = 0; kind != 1 && i < n; ++i) {
      data += kind == 0 ? static_cast<char>(rng()) : data[from + i];
    }
  }
  return data;
}

Entry plain(const std::string& data) { return {plainEntryWord(data.size()), data}; }
Entry compressed(const std::string& stored, size_t size) {
  const auto units = static_cast<uint32_t>(std::max<size_t>((size + 63) / 64, 1));
  return {compressedEntryWord((stored.size() + 2047) / 2048, units), stored};
}
std::string encode(uint32_t method, const std::string& data) {
  const auto bytes =
      buildCompressedEntry(static_cast<StorageMethod>(method),
                           reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return {bytes.begin(), bytes.end()};
}
Entry compressed(uint32_t method, const std::string& data) {
  return compressed(encode(method, data), data.size());
}

void writeArchive(const fs::path& file, const std::vector<Table>& tables, uint64_t size) {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  const auto put = [&stream](const void* data, size_t n, uint64_t offset) {
    stream.seekp(static_cast<std::streamoff>(offset));
    stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    ASSERT_TRUE(stream.good());
  };
  std::vector<CategoryTable> index;
  uint64_t sector = 0;
  int32_t highest = 34;
  for (const Table& table : tables) {
    sector = std::max<uint64_t>(sector, table.firstSector);
    const int32_t category = table.category >= 0 ? table.category : kCategories[table.row];
    highest = std::max(highest, category);
    index.push_back({category, {}, {}});
    for (size_t e = 0; e < table.entries.size(); ++e) {
      if (e % 16 == 0) index.back().groupStarts.push_back(static_cast<uint32_t>(sector));
      put(table.entries[e].bytes.data(), table.entries[e].bytes.size(), kDataStart + sector * 2048);
      sector += entrySectors(table.entries[e].word);
      index.back().entryWords.push_back(table.entries[e].word);
    }
  }
  std::string error;
  const auto bytes = buildArchiveIndex(index, highest, error);
  ASSERT_TRUE(bytes) << error;
  put(bytes->data(), bytes->size(), kMinimumArchiveSize - bytes->size());
  size = size > 0 ? size : std::max(kMinimumArchiveSize, kDataStart + sector * 2048);
  stream.close();
  std::error_code resized;
  std::filesystem::resize_file(file, size, resized);
  ASSERT_FALSE(resized) << resized.message();
}

std::string withFaultingLookups(std::string archive) {
  archive.replace(kArchiveIndexOffset + kCategoryRecordsOffset + kCategoryRecordSize * 20 + 4, 4,
                  std::string("\0\0\x70\0", 4));
  return archive;
}

void writeSampleArchive(const std::filesystem::path& file, uint64_t size) {
  std::string unsupported = encode(0, "x"), corrupt = encode(1, kSampleLz),
              longStored = encode(0, kSampleRle);
  unsupported[4] = 3;
  corrupt[12] = 1;  // a back-reference before the first byte
  longStored[3] = 0;
  longStored.insert(12, 4, '\0');  // the 16-byte form: the data starts at byte 16
  writeArchive(file,
               {{0,
                 {plain(kSamplePlain),
                  compressed(1, kSampleLz),
                  compressed(2, kSampleRle),
                  compressed(longStored, kSampleRle.size()),
                  {plainEntryWord(kNoDataLength), ""},
                  compressed(unsupported, 1),
                  compressed(corrupt, kSampleLz.size())}},
                {1, {plain("c")}},
                {0, {plain("forty")}, 0, 40}},
               size);
}
