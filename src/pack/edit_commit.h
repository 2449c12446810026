// Writing a verified plan (pack/edit_plan.h): by default a new archive written beside the old one
// and renamed over it; with --in-place, the archive's own file, through a journal that makes a
// stop at any moment safe (pack/journal.h). The bytes outside the index, the sectors rewritten in
// place and the appended groups are the only ones written, and the file grows only by appended
// groups.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pack/edit_plan.h"
#include "reading/archive.h"

// The new archive needs room before a byte is written: a failure half-way would leave a
// temporary file to clean up and nothing gained. `given` is the free space beside `real` (the
// archive's real file) when the caller knows it; otherwise it is measured, and when it cannot be,
// the edit goes ahead. Throws Error (concerning `archivePath`) when there is too little.
void checkFreeSpace(const EditPlan& plan, const std::string& archivePath, const std::string& real,
                    bool inPlace, const std::optional<uint64_t>& given);

// The new archive written beside `archive` and renamed over it. Throws Error; the archive is
// then unchanged.
void commitCopy(Archive& archive, const EditPlan& plan, const std::string& archivePath);

// `archive` rewritten where it lies through the journal beside `real`. Throws Error; the archive
// is then unchanged, or complete once its journal is applied.
void commitInPlace(const Archive& archive, const EditPlan& plan, const std::string& archivePath,
                   const std::string& real);
