#include "reading/output_bound.h"

#include "reading/inspect.h"

uint64_t outputSizeOf(const ByteSource& source, const EntryDescription& d) {
  if (d.kind == EntryKind::Plain) return d.length;
  if (d.kind != EntryKind::Compressed) return 0;
  const EntryStorage storage = entryStorage(source, d);
  switch (storage.method) {
    case StorageMethod::Stored:
    case StorageMethod::Lz:
    case StorageMethod::Rle: return storage.size.value_or(0);
    case StorageMethod::Unsupported:  // nothing is written for it
    case StorageMethod::Plain:
    case StorageMethod::Unknown:  // its header is not in the archive
    case StorageMethod::NoData:
    case StorageMethod::Auto:
    case StorageMethod::Keep: return 0;
  }
  return 0;
}

Error OutputBound::refusal(const std::string& path, uint64_t archiveSize) const {
  return Error(ErrorKind::Refused,
               "stopped before " + path + ": the entries would expand to more than " +
                   std::to_string(bound_) + " bytes, the bound for an archive of " +
                   std::to_string(archiveSize) + " bytes (" + std::to_string(kOutputFactor) +
                   " times its size, at least " + std::to_string(kOutputFloor >> 20) + " MiB)",
               path, 0, ErrorHint::LiftOutputBound);
}
