// Fuzz target: the listing and the integrity test (--list, --test) of a fuzzed archive, made and
// swept as fuzz_archive.h says. For each entry the listing's storage and the test's verdict must
// agree with the description and with each other:
//   - an entry without data is listed as such and is sound;
//   - a plain entry is listed with its length, and is sound exactly when the archive holds all of
//     its bytes (otherwise incomplete);
//   - a compressed entry whose header the archive does not hold is incomplete, and one of the
//     unsupported method is unsupported;
//   - a compressed stream that decodes from the bytes the archive holds alone is sound, and
//     extraction (which reads it into a zero-filled buffer of the larger of its lengths) decodes
//     it to the same bytes: the codecs' fast paths, which run only while input and output have
//     room to spare, must not change what comes out;
//   - a compressed entry the test calls sound decodes, as extraction reads it, to the size its
//     header gives.
// The entries asked about before a fault of the emulated machine are checked; anything that
// breaks the rules above aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/decode.h"
#include "fuzz_archive.h"
#include "guest/session.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/read.h"

namespace {

FuzzArchive archive;
std::vector<uint8_t> chunk;  // the test's scratch space, kept between calls as the tool keeps it

void require(bool rule) {
  if (!rule) std::abort();
}

// The integrity test's verdict on one entry.
EntryProblem verdict(const EntryDescription& d) { return testEntry(archive.archive(), d, chunk); }

// Extraction's decoding of compressed entry `d`: its bytes when it decodes soundly, otherwise
// nothing; `size` is its header's size either way.
DecodedBytes extractionBytes(const EntryDescription& d, size_t& size) {
  LoadedEntry loaded = loadCompressedEntry(archive.archive(), d);
  size = loaded.size;
  return std::move(loaded.data);
}

void checkCompressed(const EntryDescription& d, uint32_t headerSize, EntryProblem problem) {
  std::vector<uint8_t> held(d.stored);
  const size_t got = archive.archive().readAt(d.offset, held.data(), held.size());
  uint8_t* exact = nullptr;
  const DecodeResult result = decompressEntry(held.data(), static_cast<int32_t>(got), &exact);
  if (result.status != DecodeStatus::Ok && problem != EntryProblem::None) return;
  size_t size = 0;
  const DecodedBytes extracted = extractionBytes(d, size);
  require(extracted != nullptr && size == headerSize);
  if (result.status == DecodeStatus::Ok) {
    require(problem == EntryProblem::None && static_cast<uint32_t>(result.size) == headerSize);
    require(size == 0 || std::memcmp(exact, extracted.get(), size) == 0);
  }
  std::free(exact);
}

void check(const EntryDescription& d) {
  const EntryStorage storage = entryStorage(archive.archive(), d);
  const EntryProblem problem = verdict(d);
  require(storageMethodName(storage.method) != nullptr && entryProblemName(problem) != nullptr);
  switch (d.kind) {
    case EntryKind::Absent:
    case EntryKind::NoData:
      require(storage.method == StorageMethod::NoData && !storage.size &&
              problem == EntryProblem::None);
      return;
    case EntryKind::Plain:
      require(storage.method == StorageMethod::Plain && storage.size == d.length);
      require(problem == (d.offset + d.length <= archive.size() ? EntryProblem::None
                                                                : EntryProblem::Incomplete));
      return;
    case EntryKind::Compressed: break;
  }
  switch (storage.method) {
    case StorageMethod::Unknown: require(problem == EntryProblem::Incomplete); return;
    case StorageMethod::Unsupported: require(problem == EntryProblem::Unsupported); return;
    case StorageMethod::Stored:
    case StorageMethod::Lz:
    case StorageMethod::Rle: break;
    default: std::abort();
  }
  require(storage.size.has_value() && problem != EntryProblem::Unsupported);
  checkCompressed(d, *storage.size, problem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  archive.load(data, size);
  for (const SweptEntry& swept : archive.sweep()) {
    // An entry whose EntryWord lies outside the index keeps its size: up to a gigabyte to read.
    if (withinCutSizes(swept.description)) check(swept.description);
  }
  return 0;
}
