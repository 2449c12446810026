// Fuzz target: the listing and the integrity test (--list, --test) of a fuzzed archive, made and
// swept as fuzz_archive.h says, up to a fault of the emulated machine. Each entry's listed storage
// and test verdict must agree with its description and with each other:
//   - without data: listed so, and sound;
//   - plain: listed with its length, sound exactly when the archive holds all its bytes;
//   - compressed: incomplete when its header is not held, unsupported for that method; a stream
//     that decodes from the bytes held alone is sound and decodes the same as extraction (from a
//     zero-filled buffer of the larger length), so the codecs' fast paths change nothing; one the
//     test calls sound decodes, as extraction reads it, to its header's size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/decode.h"
#include "fuzz_archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/read.h"

namespace {

FuzzArchive archive;
BufferPool buffers(kInFlightBudget);  // kept between calls as a run keeps it

void require(bool rule) {
  if (!rule) std::abort();
}

// The integrity test's verdict on one entry.
EntryProblem verdict(const EntryDescription& d) { return testEntry(archive.archive(), d, buffers); }

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
  require(extracted && size == headerSize);
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
