// A guest session: the lookup routines over one archive's index, answering the four questions
// about an entry. The emulated machine is one per process and serves every session: each lookup
// holds a process-wide lock, and a session whose index is not the one in guest memory places it
// (with the image and the control words) first. So several archives can be open at once, on any
// threads, and each is looked up in its own index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// The four answers about an entry, each the low word of v0 after its routine.
struct EntryAnswers {
  int32_t sector;  // archive sector where the entry starts, counted from the start of the file
  int32_t plain;   // nonzero: stored as is; zero: compressed
  int32_t length;  // bytes once expanded (0: no entry; -1: no data)
  int32_t stored;  // bytes it occupies in the archive (0: no entry; -1: no data)
};

class GuestSession {
 public:
  // Keeps a copy of the kArchiveIndexSize bytes of `index`. nullptr when there is no memory for
  // the guest.
  static std::unique_ptr<GuestSession> open(const uint8_t* index);
  ~GuestSession();
  GuestSession(const GuestSession&) = delete;
  GuestSession& operator=(const GuestSession&) = delete;

  // Asks queryEntrySector, queryEntryIsPlain, queryEntryLength and queryEntryStoredLength, always
  // all four and in this order. Throws r5900::MachineFault when the machine stops.
  EntryAnswers ask(int32_t category, int32_t entry);
  // The same, marking in `indexReads` (one bit per byte of the index, kArchiveIndexSize bits) every
  // byte of the index that the four routines load, up to a fault.
  EntryAnswers ask(int32_t category, int32_t entry, uint64_t* indexReads);

 private:
  explicit GuestSession(const uint8_t* index);
  std::vector<uint8_t> index_;
};
