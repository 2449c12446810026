// Extraction of one entry, and of a whole category, from the open archive.
#pragma once

#include <cstdint>
#include <cstdio>

// Set when an entry could not be extracted as it should (unsupported or corrupt compressed data,
// an entry running past the end of the archive): the run goes on and ends with status 2.
extern bool extractionHadProblems;

void dumpEntry(std::FILE* archive, const char* folder, int32_t category, int32_t entry);
void dumpCategory(std::FILE* archive, const char* folder, int32_t category);
