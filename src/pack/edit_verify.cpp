#include "pack/edit_verify.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "cpu/fault.h"
#include "guest/session.h"
#include "platform/error.h"
#include "reading/entry.h"
#include "reading/read.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// The old archive with the pieces laid over it: what the new archive will read as, up to its
// new end.
class Overlay : public ByteSource {
 public:
  Overlay(const Archive& archive, const std::vector<Piece>& pieces, uint64_t size)
      : archive_(archive), pieces_(pieces), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    const size_t n =
        offset >= size_ ? 0 : static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    read(offset, buffer, n);
    return n;
  }

 private:
  // Fills `n` bytes at `offset`; holes in the new file read as zeros.
  void read(uint64_t offset, uint8_t* out, size_t n) const {
    archive_.readZeroFilled(offset, out, n);
    for (const Piece& p : pieces_) {
      const uint64_t start = std::max(offset, p.offset);
      const uint64_t end = std::min(offset + n, p.offset + p.size);
      if (start >= end) continue;
      uint8_t* dst = out + (start - offset);
      const uint64_t at = start - p.offset;
      const size_t length = static_cast<size_t>(end - start);
      if (p.data) {
        std::memset(dst, 0, length);
        if (at < p.data->size()) {
          std::memcpy(dst, p.data->data() + at,
                      static_cast<size_t>(std::min<uint64_t>(length, p.data->size() - at)));
        }
      } else {
        archive_.readZeroFilled(p.from + at, dst, length);
      }
    }
  }

  const Archive& archive_;
  const std::vector<Piece>& pieces_;
  const uint64_t size_;
};

}  // namespace

void verifyEdit(Archive& archive, const EditPlan& plan, const EditCheck& check) {
  const uint64_t newSize = std::max(plan.oldSize, plan.newEnd);
  const Overlay overlay(archive, plan.pieces, newSize);
  const std::unique_ptr<GuestSession> session = GuestSession::open(plan.newIndex.bytes().data());
  if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
  for (const Change& c : plan.changes) {
    bool gives = false;
    try {
      const EntryDescription d = lookUpEntry(*session, c.category, static_cast<int32_t>(c.entry));
      gives = c.deleted ? !d.hasData() : extractsTo(overlay, d, *c.data);
    } catch (const r5900::MachineFault&) {
    }
    if (!gives) {
      fail(c.path +
           ": the new archive would not give this file back (an internal error); "
           "nothing was written");
    }
  }
  std::vector<WrittenRange> written;
  for (const Piece& p : plan.pieces) written.push_back({p.offset, p.offset + p.size});
  if (newSize > plan.oldSize) written.push_back({plan.oldSize, newSize});
  check.verify(*session, plan.newIndex, overlay, written,
               [&plan](int32_t category, uint32_t entry) { return plan.isNamed(category, entry); });
}
