#include "pack/store.h"

#include <algorithm>

#include "codec/encode.h"

namespace {

std::optional<StoredEntry> plain(const std::vector<uint8_t>& data) {
  if (data.empty() || data.size() > kMaxPlainLength) return std::nullopt;
  return StoredEntry{data, plainEntryWord(static_cast<uint32_t>(data.size()))};
}

}  // namespace

std::optional<StoredEntry> storeCompressed(const std::vector<uint8_t>& data, StorageMethod codec,
                                           uint32_t headerSize) {
  const uint64_t units = (data.size() + kExpandedUnit - 1) / kExpandedUnit;
  if (units > kMaxExpandedUnits || data.size() > kExpandedSizeMask) return std::nullopt;
  std::vector<uint8_t> entry =
      buildCompressedEntry(codec, data.data(), data.size(),
                           headerSize == kShortHeaderSize ? HeaderTag::Short : HeaderTag::Long);
  const auto sectors = static_cast<uint32_t>(sectorsFor(entry.size()));
  if (sectors > kMaxStoredSectors) return std::nullopt;
  // An empty file is one 64-byte unit in the index: an expanded length of 0 would mean no entry.
  const auto indexUnits = static_cast<uint32_t>(std::max<uint64_t>(units, 1));
  return StoredEntry{std::move(entry), compressedEntryWord(sectors, indexUnits)};
}

std::optional<StoredEntry> storeEntry(const std::vector<uint8_t>& data, StorageMethod method) {
  const auto compressed = [&](StorageMethod codec) {
    return storeCompressed(data, codec, kShortHeaderSize);
  };
  if (data.empty()) return compressed(StorageMethod::Stored);
  switch (method) {
    case StorageMethod::Plain: return plain(data);
    case StorageMethod::Stored: return compressed(StorageMethod::Stored);
    case StorageMethod::Lz: return compressed(StorageMethod::Lz);
    case StorageMethod::Rle: return compressed(StorageMethod::Rle);
    // Auto; Keep means Auto for an entry with nothing to keep; the others are not packer methods.
    case StorageMethod::Auto:
    case StorageMethod::Keep:
    case StorageMethod::Unsupported:
    case StorageMethod::Unknown:
    case StorageMethod::NoData: break;
  }
  std::optional<StoredEntry> best;
  for (auto candidate :
       {plain(data), compressed(StorageMethod::Lz), compressed(StorageMethod::Rle)}) {
    if (candidate && (!best || candidate->bytes.size() < best->bytes.size())) {
      best = std::move(candidate);
    }
  }
  return best;
}

void PackSummary::add(uint64_t size, uint32_t word, const std::vector<uint8_t>& bytes,
                      uint64_t storedSize) {
  ++entries;
  expanded += size;
  stored += storedSize;
  const StorageMethod method = isPlainWord(word) ? StorageMethod::Plain
                               : bytes.size() >= kShortHeaderSize
                                   ? readCompressedHeader(bytes.data()).method
                                   : StorageMethod::Unknown;
  ++methods[method];
}

std::string PackSummary::text() const {
  // Appended in order: `+` of temporaries may insert one at the front of the next, which newer
  // GCCs take for a possible overflow (-Wstringop-overflow) that is not there.
  std::string line = std::to_string(entries);
  line.append(entries == 1 ? " entry, " : " entries, ").append(std::to_string(expanded));
  line.append(" bytes expanded, ").append(std::to_string(stored)).append(" bytes stored");
  const char* separator = " (";
  for (const auto& [method, count] : methods) {
    line.append(separator).append(storageMethodName(method)).append(" ");
    line.append(std::to_string(count));
    separator = ", ";
  }
  if (!methods.empty()) line.append(")");
  return line;
}
