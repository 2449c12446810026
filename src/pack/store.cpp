#include "pack/store.h"

#include <algorithm>

#include "codec/encode.h"

namespace {

std::optional<StoredEntry> plain(const std::vector<uint8_t>& data) {
  if (data.empty() || data.size() > kMaxPlainLength) return std::nullopt;
  return StoredEntry{data, plainEntryWord(static_cast<uint32_t>(data.size()))};
}

}  // namespace

std::optional<StoreMethod> parseStoreMethod(std::string_view text) {
  static constexpr std::pair<std::string_view, StoreMethod> kNames[] = {
      {"keep", StoreMethod::Keep},     {"auto", StoreMethod::Auto}, {"plain", StoreMethod::Plain},
      {"stored", StoreMethod::Stored}, {"lz", StoreMethod::Lz},     {"rle", StoreMethod::Rle}};
  for (const auto& [name, method] : kNames) {
    if (text == name) return method;
  }
  return std::nullopt;
}

std::optional<StoredEntry> storeCompressed(const std::vector<uint8_t>& data,
                                           CompressionMethod codec, uint32_t headerSize) {
  const uint64_t units = (data.size() + kExpandedUnit - 1) / kExpandedUnit;
  if (units > kMaxExpandedUnits || data.size() > kExpandedSizeMask) return std::nullopt;
  std::vector<uint8_t> entry =
      buildCompressedEntry(static_cast<uint32_t>(codec), data.data(), data.size(),
                           headerSize == kShortHeaderSize ? HeaderTag::Short : HeaderTag::Long);
  const auto sectors = static_cast<uint32_t>(sectorsFor(entry.size()));
  if (sectors > kMaxStoredSectors) return std::nullopt;
  // An empty file is one 64-byte unit in the index: an expanded length of 0 would mean no entry.
  const auto indexUnits = static_cast<uint32_t>(std::max<uint64_t>(units, 1));
  return StoredEntry{std::move(entry), compressedEntryWord(sectors, indexUnits)};
}

std::optional<StoredEntry> storeEntry(const std::vector<uint8_t>& data, StoreMethod method) {
  const auto compressed = [&](CompressionMethod codec) {
    return storeCompressed(data, codec, kShortHeaderSize);
  };
  if (data.empty()) return compressed(CompressionMethod::Stored);
  switch (method) {
    case StoreMethod::Plain: return plain(data);
    case StoreMethod::Stored: return compressed(CompressionMethod::Stored);
    case StoreMethod::Lz: return compressed(CompressionMethod::Lz);
    case StoreMethod::Rle: return compressed(CompressionMethod::Rle);
    case StoreMethod::Keep:
    case StoreMethod::Auto: break;
  }
  std::optional<StoredEntry> best;
  for (auto candidate :
       {plain(data), compressed(CompressionMethod::Lz), compressed(CompressionMethod::Rle)}) {
    if (candidate && (!best || candidate->bytes.size() < best->bytes.size())) {
      best = std::move(candidate);
    }
  }
  return best;
}
