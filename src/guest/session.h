// A guest session: the emulated machine set up with the guest code image and one archive's index,
// answering the four questions about an entry. The machine is one per process, so only one
// session may be alive at a time; a new session places its own index, so archives opened one
// after another are each looked up in their own index.
#pragma once

#include <cstdint>
#include <memory>

// The four answers about an entry, each the low word of v0 after its routine.
struct EntryAnswers {
  int32_t sector;  // archive sector where the entry starts, counted from the start of the file
  int32_t plain;   // nonzero: stored as is; zero: compressed
  int32_t length;  // bytes once expanded (0: no entry; -1: no data)
  int32_t stored;  // bytes it occupies in the archive (0: no entry; -1: no data)
};

class GuestSession {
 public:
  // Places the image and the kArchiveIndexSize bytes of `index` in guest memory. nullptr when
  // there is no memory for the guest, or (a programming error, asserted in debug builds) when
  // another session is alive.
  static std::unique_ptr<GuestSession> open(const uint8_t* index);
  ~GuestSession();
  GuestSession(const GuestSession&) = delete;
  GuestSession& operator=(const GuestSession&) = delete;

  // Asks queryEntrySector, queryEntryIsPlain, queryEntryLength and queryEntryStoredLength, always
  // all four and in this order. Throws r5900::MachineFault when the machine stops.
  EntryAnswers ask(int32_t category, int32_t entry);

 private:
  GuestSession() = default;
};
