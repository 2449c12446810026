// Extraction of one entry, and of a whole category, from the open archive. Files are written by
// a second thread in sweep order; finishExtraction waits for it.
#pragma once

#include <cstdint>

// `archive` is a file descriptor open for reading.
void dumpEntry(int archive, const char* folder, int32_t category, int32_t entry);
void dumpCategory(int archive, const char* folder, int32_t category);

// Waits until every entry handed over has been written. Returns true when every entry was
// extracted as it should; false when some could not be (unsupported or corrupt compressed data,
// an entry running past the end of the archive), each named on stderr. A failed write has
// already stopped the run with status 2.
bool finishExtraction();

// Thrown when the run must stop with status 2 (a failed write, no memory left).
struct ExtractionStopped {};
