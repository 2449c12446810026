#include "driver/extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "codec/decode.h"
#include "driver/categories.h"
#include "guest/bridge.h"

bool extractionHadProblems = false;

namespace {

constexpr size_t kPathSize = 260;
constexpr size_t kCopyChunk = 1 << 20;

[[noreturn]] void stopRun(const char* what, const char* path) {
  std::fprintf(stderr, "archive-extract: %s %s: %s\n", what, path, std::strerror(errno));
  std::exit(2);
}

// Not cleared: every caller fills or zeroes what it uses.
void* allocate(size_t size) {
  void* p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) {
    std::fprintf(stderr, "archive-extract: out of memory (%zu bytes)\n", size);
    std::exit(2);
  }
  return p;
}

void warn(const char* path, const char* what) {
  std::fprintf(stderr, "archive-extract: %s: %s\n", path, what);
  extractionHadProblems = true;
}

// Reads up to `size` bytes at `offset` and returns how many were there: what lies past the end
// of the archive is not read.
size_t readAt(std::FILE* archive, uint64_t offset, uint8_t* buffer, size_t size) {
  if (fseeko(archive, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
  return std::fread(buffer, 1, size, archive);
}

// An output file is written under a temporary name in its folder and renamed onto its own name
// only once complete, so that a run killed at any moment never leaves a partial .raw behind (a
// later run would take it for done). A rerun reuses the same temporary name.
class OutputFile {
 public:
  OutputFile(const char* folder, int32_t entry, const char* path) : path_(path) {
    std::snprintf(temp_, sizeof temp_, "%s/.%04d.raw.partial", folder, static_cast<int>(entry));
    file_ = std::fopen(temp_, "wb");
    if (file_ == nullptr) stopRun("cannot create", temp_);
  }
  void write(const uint8_t* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) fail("cannot write", temp_);
  }
  void commit() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) fail("cannot write", temp_);
    if (std::rename(temp_, path_) != 0) fail("cannot rename the finished file onto", path_);
  }

 private:
  // A failed write stops the run; the temporary file goes, and no .raw file is left.
  [[noreturn]] void fail(const char* what, const char* name) {
    const int saved = errno;
    if (file_ != nullptr) std::fclose(file_);
    std::remove(temp_);
    errno = saved;
    stopRun(what, name);
  }
  const char* path_;
  char temp_[kPathSize + 16];
  std::FILE* file_ = nullptr;
};

// A plain entry is copied as its expanded length from the archive, in chunks; a tail past the
// end of the archive is written as zero bytes.
void extractPlain(std::FILE* archive, uint64_t offset, int32_t length, OutputFile& out,
                  const char* path) {
  const size_t chunkSize = std::min<size_t>(kCopyChunk, static_cast<size_t>(length));
  auto* chunk = static_cast<uint8_t*>(allocate(chunkSize));
  bool complete = true;
  for (size_t done = 0; done < static_cast<size_t>(length);) {
    const size_t n = std::min(chunkSize, static_cast<size_t>(length) - done);
    const size_t got = complete ? readAt(archive, offset + done, chunk, n) : 0;
    if (got < n) {
      std::memset(chunk + got, 0, n - got);
      complete = false;
    }
    out.write(chunk, n);
    done += n;
  }
  std::free(chunk);
  if (!complete) {
    warn(path, "runs past the end of the archive; the missing bytes are written as zeros");
  }
}

}  // namespace

void dumpEntry(std::FILE* archive, const char* folder, int32_t category, int32_t entry) {
  // The four questions, always all four and in this order.
  const int32_t sector = queryEntrySector(category, entry);
  const int32_t plain = queryEntryIsPlain(category, entry);
  const int32_t length = queryEntryLength(category, entry);
  const int32_t stored = queryEntryStoredLength(category, entry);
  if (length == 0 || stored == 0) return;  // no such entry

  char path[kPathSize];
  std::snprintf(path, sizeof path, "%s", folder);
  mkdir(path, 0777);  // usually it exists already
  std::snprintf(path, sizeof path, "%s/%04d.raw", folder, static_cast<int>(entry));
  if (std::FILE* existing = std::fopen(path, "rb")) {
    std::fclose(existing);  // extracted by an earlier run: never touched again
    return;
  }
  if (length == -1 || stored == -1) return;  // the index marks the entry as having no data
  std::printf("%s\n", path);

  // The sector is an unsigned 32-bit number; the offset needs 64 bits.
  const uint64_t offset = uint64_t{static_cast<uint32_t>(sector)} * kSectorSize;
  if (plain != 0) {
    OutputFile out(folder, entry, path);
    extractPlain(archive, offset, length, out, path);
    out.commit();
    return;
  }

  // Compressed: the stored bytes in a zero-filled buffer of the larger of the two lengths.
  const int32_t inputLength = std::max(length, stored);
  auto* input = static_cast<uint8_t*>(allocate(static_cast<size_t>(inputLength)));
  const size_t got = readAt(archive, offset, input, static_cast<size_t>(stored));
  std::memset(input + got, 0, static_cast<size_t>(inputLength) - got);  // only what was not read
  if (got < static_cast<size_t>(stored)) {
    warn(path, "runs past the end of the archive; decoding it from what is there");
  }
  uint8_t* output = nullptr;
  const DecodeResult result = decompressEntry(input, inputLength, &output);
  std::free(input);
  switch (result.status) {
    case DecodeStatus::Unsupported:
      std::printf("Unsupported compression !\n");
      extractionHadProblems = true;
      return;
    case DecodeStatus::Corrupt: warn(path, "corrupt compressed data; not written"); return;
    case DecodeStatus::Ok: break;
  }
  OutputFile out(folder, entry, path);
  out.write(output, static_cast<size_t>(result.size));
  std::free(output);
  out.commit();
}

void dumpCategory(std::FILE* archive, const char* folder, int32_t category) {
  for (int32_t entry = 0; entry < kEntriesPerCategory; ++entry) {
    dumpEntry(archive, folder, category, entry);
  }
}
