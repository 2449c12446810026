#include "archive/format.h"

#include <iterator>

namespace {
constexpr const char* kMethodNames[] = {"stored",  "lz",     "rle",  "unsupported", "plain",
                                        "unknown", "nodata", "auto", "keep"};
static_assert(std::size(kMethodNames) == static_cast<size_t>(StorageMethod::Keep) + 1);
}  // namespace

const char* storageMethodName(StorageMethod method) {
  return kMethodNames[static_cast<size_t>(method)];
}

std::optional<StorageMethod> parseStorageMethod(std::string_view name) {
  for (size_t i = 0; i < std::size(kMethodNames); ++i) {
    if (name == kMethodNames[i]) return static_cast<StorageMethod>(i);
  }
  return std::nullopt;
}
