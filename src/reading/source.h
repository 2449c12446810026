// Where an entry's bytes come from: the archive's file, or (for an update's verification) the
// old archive with the new pieces laid over it. Reading and decoding an entry go through this, so
// that every reader applies the same rules to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes at `offset` and returns how many there were: the source ends where
  // a read comes up short. Safe to call from several threads at once.
  virtual size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const = 0;
  // The source's length in bytes.
  virtual uint64_t size() const = 0;

  // `size` bytes at `offset`, zeros for what lies past the end.
  void readZeroFilled(uint64_t offset, uint8_t* buffer, size_t size) const;
};
