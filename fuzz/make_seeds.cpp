// Writes the seed inputs of the extract and inspect targets, laid out as fuzz_archive.h says: the
// index part (records and tables, written by the format library) and the data from sector 500.
// Each seed is a small archive that reaches one part of the extraction: plain entries, each
// codec, the long header, the unsupported method, corrupt streams, entries the archive does not
// hold in full, a second group, a machine fault, and for extraction alone a second run, with and
// without --overwrite, a cancelled run and a write that fails. The output is the same on every
// run:
//
//   make-fuzz-seeds fuzz/corpus
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/index.h"
#include "codec/encode.h"
#include "fuzz_archive.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kG = 13, kC = 14, kHc = 15, kW = 16, kN = 19, kM = 34;
constexpr uint32_t kNoData = plainEntryWord(kNoDataLength);

// Bytes like a model's: random stretches, runs of one byte and repeats of earlier bytes, so that
// both codecs have something to do. Only the generator's raw output is used, which the standard
// fixes for every library.
Bytes modelLike(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const uint32_t pick = rng() % 3;
    const size_t n = 4 + rng() % 60;
    for (size_t i = 0; i < n; ++i) {
      if (pick == 0) out.push_back(static_cast<uint8_t>(rng()));
      if (pick == 1) out.push_back(out.empty() ? 0x55 : out.back());
      if (pick == 2) out.push_back(out.size() < 40 ? 0xAA : out[out.size() - 37]);
    }
  }
  out.resize(size);
  return out;
}

Bytes entry(uint32_t method, size_t size, uint32_t seed, HeaderTag tag = HeaderTag::Short) {
  const Bytes data = modelLike(size, seed);
  return buildCompressedEntry(static_cast<StorageMethod>(method), data.data(), data.size(), tag);
}

// The EntryWord of compressed entry `bytes` whose index counts `size` expanded bytes.
uint32_t compressedWord(const Bytes& bytes, size_t size) {
  // At least one unit: a length of 0 would mean there is no entry.
  const size_t units = std::max<size_t>((size + kExpandedUnit - 1) / kExpandedUnit, 1);
  return compressedEntryWord(static_cast<uint32_t>(sectorsFor(bytes.size())),
                             static_cast<uint32_t>(units));
}

class Seed {
 public:
  // Puts `bytes` at the next whole sector and returns it, counted from sector 500.
  uint32_t put(const Bytes& bytes) {
    const auto sector = static_cast<uint32_t>(sectorsFor(data_.size()));
    data_.resize(size_t{sector} * kSectorSize);
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return sector;
  }
  // Category `category`: its groups start at `starts`, its entries have `words`.
  void category(int32_t category, std::vector<uint32_t> starts, std::vector<uint32_t> words) {
    tables_.push_back({category, std::move(words), std::move(starts)});
  }
  // Sets the 32-bit field at `offset` of the index part after it is built.
  void patch(uint32_t offset, uint32_t value) { patches_.push_back({offset, value}); }

  Bytes input() const {
    std::string error;
    const auto index = buildArchiveIndex(tables_, kM, error);
    if (!index) throw std::runtime_error(error);
    for (size_t i = kIndexPart; i < index->size(); ++i) {
      if ((*index)[i] != 0) throw std::runtime_error("the tables do not fit the index part");
    }
    Bytes out(index->begin(), index->begin() + kIndexPart);
    for (const auto& [offset, value] : patches_) {
      for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    // The archive ends at a sector boundary, so that it holds every sector the entries claim.
    out.insert(out.end(), data_.begin(), data_.end());
    out.resize(kIndexPart + sectorsFor(data_.size()) * kSectorSize);
    return out;
  }

 private:
  std::vector<CategoryTable> tables_;
  Bytes data_;
  std::vector<std::pair<uint32_t, uint32_t>> patches_;
};

// The field of category c's record that holds the offset of its entry table.
constexpr uint32_t entryTableField(int32_t c) {
  return kCategoryRecordsOffset + kCategoryRecordSize * static_cast<uint32_t>(c) + 4;
}

void write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-fuzz-seeds CORPUS_DIR\n");
    return 2;
  }
  std::vector<std::pair<std::string, Bytes>> seeds;

  {  // Plain entries, one without data and one of length 0 (no entry).
    Seed s;
    const Bytes a = modelLike(1500, 1), b = modelLike(700, 2);
    const uint32_t at = s.put(a);
    s.put(b);
    s.category(kG, {at}, {plainEntryWord(1500), plainEntryWord(700), kNoData, plainEntryWord(0)});
    s.category(kC, {at + 1}, {kNoData, plainEntryWord(700)});
    seeds.push_back({"plain", s.input()});
  }
  // One entry of each codec, also read as plain bytes by a second category, and with an index that
  // counts fewer expanded bytes than the header.
  for (const auto& [name, method] : {std::pair{"lz", 1U}, {"rle", 2U}}) {
    Seed s;
    const Bytes e = entry(method, 6000, 3);
    const uint32_t at = s.put(e);
    s.category(kG, {at}, {compressedWord(e, 6000)});
    s.category(kC, {at}, {plainEntryWord(static_cast<uint32_t>(e.size()))});
    s.category(kHc, {at}, {compressedWord(e, 100)});
    seeds.push_back({name, s.input()});
  }
  {  // The stored method behind a 16-byte header, and an empty entry.
    Seed s;
    const Bytes e = entry(0, 900, 4, HeaderTag::Long);
    const Bytes empty = buildCompressedEntry(StorageMethod::Stored, nullptr, 0);
    const uint32_t at = s.put(e);
    s.put(empty);
    s.category(kW, {at}, {compressedWord(e, 900), compressedWord(empty, 0)});
    seeds.push_back({"stored-long", s.input()});
  }
  {  // The unsupported method (3 in the method word) between two sound entries.
    Seed s;
    Bytes odd = entry(0, 300, 5);
    odd[4] = 3;
    const Bytes e = entry(2, 500, 6);
    const uint32_t at = s.put(e);
    s.put(odd);
    s.put(e);
    s.category(kN, {at},
               {compressedWord(e, 500), compressedWord(odd, 300), compressedWord(e, 500)});
    seeds.push_back({"unsupported", s.input()});
  }
  {  // Corrupt streams: a back-reference before the start, and a stream that ends too soon.
    Seed s;
    Bytes before = entry(1, 400, 7);
    before[12] = 0x21;  // a back-reference of distance 17 as the first token
    Bytes cut = entry(1, 3000, 8);
    cut.resize(cut.size() / 2);
    const uint32_t at = s.put(before);
    s.put(cut);
    s.category(kG, {at}, {compressedWord(before, 400), compressedWord(cut, 3000)});
    seeds.push_back({"corrupt", s.input()});
  }
  {  // Entries the archive does not hold in full: a compressed entry that claims three sectors of
     // which the archive holds one, a plain entry after it, and two entries far past the end.
    Seed s;
    const Bytes e = entry(1, 5000, 9);
    const uint32_t at = s.put(Bytes(e.begin(), e.begin() + kSectorSize));
    const uint32_t word = compressedEntryWord(3, 5000 / kExpandedUnit + 1);
    s.category(kG, {at}, {word, plainEntryWord(3000)});
    s.category(kC, {0x3FFFF0}, {plainEntryWord(100), word});
    seeds.push_back({"incomplete", s.input()});
  }
  {  // A second group: entries 16 and 17 start from its own start sector, and entry 17 after a
     // walk over entry 16; the first group holds entries without data and one with.
    Seed s;
    const Bytes a = modelLike(200, 10);
    const Bytes e = entry(2, 2500, 11);
    const uint32_t at = s.put(a);
    s.put(e);
    std::vector<uint32_t> words(15, kNoData);
    words.push_back(plainEntryWord(200));
    words.push_back(plainEntryWord(200));
    words.push_back(compressedWord(e, 2500));
    s.category(kM, {at, at}, words);
    seeds.push_back({"second-group", s.input()});
  }
  {  // The lookup faults: category n's entry table lies past the end of guest memory (the index
     // is at 0x019C0000, RAM ends at 0x02000000), so that its first EntryWord load stops the
     // machine after category g was extracted.
    Seed s;
    const Bytes a = modelLike(300, 12);
    const uint32_t at = s.put(a);
    s.category(kG, {at}, {plainEntryWord(300)});
    s.category(kN, {at}, {plainEntryWord(300)});
    s.patch(entryTableField(kN), 0x04000000 - 0x019C0000);
    seeds.push_back({"fault", s.input()});
  }
  for (const auto& [name, bytes] : seeds) {
    write(fs::path(argv[1]) / "extract", name, bytes);
    write(fs::path(argv[1]) / "inspect", name, bytes);
  }
  {  // Extraction only: a second run over files of entries 0 and 1 of "models - g" (byte 1 of the
     // index's first word), kept; with --overwrite (bit 0 of byte 0), replaced; and a run
     // cancelled when the sweep has reached its third entry (byte 2).
    for (const auto& [name, options] :
         {std::pair{"rerun", 0x000300U}, {"overwrite", 0x000301U}, {"cancelled", 0x030000U}}) {
      Seed s;
      const Bytes a = modelLike(1000, 15), e = entry(1, 3000, 16);
      const uint32_t at = s.put(a);
      s.put(e);
      s.category(kG, {at}, {plainEntryWord(1000), compressedWord(e, 3000)});
      s.category(kC, {at, at}, {plainEntryWord(1000), compressedWord(e, 3000)});
      s.patch(0, options);
      write(fs::path(argv[1]) / "extract", name, s.input());
    }
  }
  {  // Extraction only: a file stands where the folder "models - c" belongs (bit 1 of byte 0), so
     // that writing its first entry fails and the run stops: "models - g" is written before it,
     // "models - hc" never is.
    Seed s;
    const uint32_t at = s.put(modelLike(300, 13));
    s.category(kG, {at}, {plainEntryWord(300)});
    s.category(kC, {at}, {plainEntryWord(300)});
    s.category(kHc, {at}, {plainEntryWord(300)});
    s.patch(0, 0x02);
    write(fs::path(argv[1]) / "extract", "write-fails", s.input());
  }
  return 0;
}
