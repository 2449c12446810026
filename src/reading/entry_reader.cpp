#include "reading/entry_reader.h"

#include <algorithm>
#include <utility>

#include "archive/categories.h"
#include "reading/buffer_pool.h"
#include "reading/output_bound.h"

namespace {

std::string entryErrorMessage(const std::string& path, EntryProblem problem) {
  return path + ": " +
         (problem == EntryProblem::OutOfMemory ? "out of memory to decode it"
                                               : entryProblemName(problem));
}

}  // namespace

EntryError::EntryError(const std::string& path, EntryProblem problem, uint64_t size)
    : Error(ErrorKind::EntryProblem, entryErrorMessage(path, problem), path),
      problem_(problem),
      size_(size) {}

size_t EntryBytes::readAt(uint64_t position, uint8_t* buffer, size_t n) const {
  if (position >= size_) return 0;
  n = static_cast<size_t>(std::min<uint64_t>(n, size_ - position));
  if (decoded_) {
    std::copy_n(decoded_->data.get() + position, n, buffer);
    return n;
  }
  if (source_->readAt(offset_ + position, buffer, n) != n) {
    throw EntryError(path_, EntryProblem::Incomplete);
  }
  return n;
}

EntryBytes openEntry(const ByteSource& source, const EntryDescription& d, const std::string& path,
                     const ReadOptions& options) {
  if (d.kind == EntryKind::NoData) throw EntryError(path, EntryProblem::NoData);
  if (d.kind == EntryKind::Plain && !d.liesWithin(source.size())) {
    throw EntryError(path, EntryProblem::Incomplete);
  }
  if (options.outputBound) {
    OutputBound bound(outputBoundOf(source.size()));
    if (!bound.take(outputSizeOf(source, d))) {
      throw bound.refusal(path, source.size());
    }
  }
  EntryBytes bytes;
  bytes.path_ = path;
  if (d.kind == EntryKind::Plain) {
    bytes.source_ = &source;
    bytes.offset_ = d.offset;
    bytes.size_ = d.length;
    return bytes;
  }
  std::shared_ptr<const LoadedEntry> decoded =
      options.cache != nullptr ? options.cache->get({options.key, d}, options.end)
      : options.buffers != nullptr
          ? std::make_shared<const LoadedEntry>(loadCompressedEntry(source, d, *options.buffers))
          : std::make_shared<const LoadedEntry>(loadCompressedEntry(source, d));
  if (decoded->problem != EntryProblem::None) {
    throw EntryError(path, decoded->problem, decoded->size);
  }
  bytes.size_ = decoded->size;
  bytes.decoded_ = std::move(decoded);
  return bytes;
}

std::optional<EntryBytes> openEntry(Archive& archive, int32_t category, int32_t entry,
                                    const ReadOptions& options) {
  const EntryDescription d = archive.describe(category, entry);
  if (!d.exists()) return std::nullopt;
  return openEntry(archive, d, entryPath(category, entry), options);
}
