// The extraction as a library: archives open at once, an extractor each, in one process.
#include "extract/extractor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "archive/categories.h"
#include "extract/tester.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/entry_record.h"
#include "reading/inspect.h"
#include "reading/selection.h"
#include "reading/warm_up.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

// Records what the writer reports, in order.
class RecordedEvents : public ExtractEvents {
 public:
  std::string log;
  void extracting(const std::string& path) override { log += path + "\n"; }
  void unsupported(const std::string& path) override { log += "unsupported " + path + "\n"; }
  void problem(const std::string& path, EntryProblem, const std::string& what) override {
    log += "problem " + path + ": " + what + "\n";
  }
  void failure(const Error& error) override {
    log += "failure " + std::string(error.what()) + "\n";
  }
};

// Two archives with different trees, open at once and swept side by side, an entry of one then an
// entry of the other, each extracted into a folder of its own: each gives its own tree (the one
// machine looks each entry up in its own archive's index).
TEST(Extractor, TwoOpenArchivesSweptSideBySideGiveTheirOwnTrees) {
  const ScratchFolder dir;
  std::mt19937_64 rng(7);
  struct Run {
    Tree want;
    std::unique_ptr<Archive> archive;
    Selection selection;
    std::optional<Sweep> sweep;
    RecordedEvents events;
    std::unique_ptr<Extractor> extractor;
  } runs[2];
  for (int round = 0; round < 2; ++round) {
    Run& run = runs[round];
    std::vector<Table> tables;
    for (int row = round; row < 11; row += 2) {
      Table table{row, {}};
      for (int e = 0; e < 3 + round; ++e) {
        const std::string data = content(rng, 100 + rng() % 5000);
        table.entries.push_back(e % 2 == 0 ? plain(data) : compressed(1 + round, data));
        run.want[path(row, e)] = data;
      }
      tables.push_back(table);
    }
    const fs::path archive = dir / ("archive" + std::to_string(round));
    const fs::path out = dir / ("out" + std::to_string(round));
    fs::create_directories(out);
    writeArchive(archive, tables);
    run.archive = Archive::open(archive.string());
    run.selection.restrictEntries("0-19");
    run.sweep.emplace(run.archive->entries(run.selection));
    std::optional<Folder> folder = openFolder(out.string());
    ASSERT_TRUE(folder);
    run.extractor = std::make_unique<Extractor>(*run.archive, std::move(*folder), run.events);
  }
  for (bool more = true; more;) {
    more = false;
    for (Run& run : runs) {
      if (const std::optional<SweptEntry> e = run.sweep->next()) {
        ASSERT_TRUE(run.extractor->extract(e->category, e->entry, e->description));
        more = true;
      }
    }
  }
  for (int round = 0; round < 2; ++round) {
    Run& run = runs[round];
    EXPECT_EQ(run.extractor->finish(), ExtractStatus::Clean);
    EXPECT_EQ(run.events.log, sweepLines(run.want));
    EXPECT_EQ(summary(readTree(dir / ("out" + std::to_string(round)))), summary(run.want));
  }
}

// The archive's bytes held in memory, read through the caller's reader.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    if (offset >= bytes_.size()) return 0;
    const size_t n = std::min<size_t>(size, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::string bytes_;
};

// What a caller's sink is given: each entry's path and bytes, in order.
class RecordedSink : public ExtractSink {
 public:
  Tree tree;
  std::string order;
  bool write(const std::string& path, const uint8_t* data, size_t size) override {
    tree[path].assign(reinterpret_cast<const char*>(data), size);
    order += path + "\n";
    return true;
  }
};

// Entries decoded elsewhere, as the page's pool of workers decodes them: every other one from an
// archive of its own, the rest left to the run.
class ElsewhereLoader : public EntryLoader {
 public:
  explicit ElsewhereLoader(const ByteSource& source) : source_(source) {}
  std::optional<LoadedEntry> load(const EntryDescription& d, BufferPool& buffers) override {
    if (++calls_ % 2 == 0) return std::nullopt;
    if (d.kind == EntryKind::Compressed) return loadCompressedEntry(source_, d, buffers);
    PooledBuffer data = buffers.acquire(d.length);
    source_.readAt(d.offset, data.get(), d.length);
    return LoadedEntry{EntryProblem::None, std::move(data), d.length};
  }
  std::optional<EntryProblem> test(const EntryDescription& d) override {
    if (++calls_ % 2 == 0) return std::nullopt;
    return testEntry(source_, d, buffers_);
  }

 private:
  const ByteSource& source_;
  std::atomic<int> calls_ = 0;
  BufferPool buffers_{kInFlightBudget};
};

class RecordedVerdicts : public TestSink {
 public:
  std::string lines;
  bool tested(const EntryRecord& record) override {
    lines += entryJson(record) + "\n";
    return true;
  }
};

// The same run, extracted into a caller's sink (and into a folder) and tested, gives the same
// entries, events, verdicts and summary whoever does the work: the caller's thread inline (no
// thread started) or a pool of one or four workers, from the archive's file or from a reader over
// its bytes, or with half the entries loaded elsewhere; and, at an output bound that stops it
// halfway, it stops at the same entry.
TEST(Extractor, InlineAndThreadedRunsIntoASinkAgree) {
  const ScratchFolder dir;
  std::mt19937_64 rng(11);
  Tree want;
  std::vector<Table> tables;
  for (int row = 0; row < 3; ++row) {
    Table table{row, {}};
    for (int e = 0; e < 12; ++e) {
      const std::string data = content(rng, 1000 + rng() % 200000);
      table.entries.push_back(e % 3 == 0 ? plain(data) : compressed(1 + e % 2, data));
      want[path(row, e)] = data;
    }
    tables.push_back(table);
  }
  // Damage the sink must never be given: an entry whose stream runs out.
  const std::string cut = encode(1, content(rng, 50000));
  tables[1].entries[4] = compressed(cut.substr(0, cut.size() / 3), 50000);
  want.erase(path(1, 4));
  const fs::path file = dir / "archive";
  writeArchive(file, tables);

  struct Outcome {
    Tree tree;
    std::string order, events, verdicts;
    ExtractSummary extracted;
    TestSummary tested;
  };
  for (const uint64_t bound : {kNoOutputBound, uint64_t{2} << 20}) {
    std::optional<Outcome> first;
    for (const int from : {0, 1, 2}) {  // the file, a reader, a reader and a loader
      const bool fromReader = from > 0;
      for (const Executor executor : {Executor::inlineOnCaller(), Executor{1}, Executor{4}}) {
        SCOPED_TRACE(testing::Message() << "bound " << bound << ", threads " << executor.threads
                                        << (fromReader ? ", from a reader" : "")
                                        << (from == 2 ? " and a loader" : ""));
        const std::unique_ptr<Archive> archive =
            fromReader ? Archive::open(std::make_unique<MemorySource>(readFile(file)), "memory")
                       : Archive::open(file.string());
        Selection selection;
        Sweep sweep = archive->entries(selection);
        const std::atomic<bool> cancel = false;
        const LookedUp found = lookUpExisting(sweep, cancel);
        Outcome got;
        RecordedSink sink;
        RecordedEvents events;
        const std::unique_ptr<Archive> elsewhere = Archive::open(file.string());
        ElsewhereLoader loader(*elsewhere);
        ExtractOptions options{false, nullptr, bound, executor};
        options.sink = &sink;
        if (from == 2) options.loader = &loader;
        got.extracted = Extractor(*archive, Folder(), events, options).run(found);
        got.tree = sink.tree;
        got.order = sink.order;
        got.events = events.log;
        RecordedVerdicts verdicts;
        got.tested =
            Tester(*archive, verdicts, {bound, executor, nullptr, from == 2 ? &loader : nullptr})
                .run(found);
        got.verdicts = verdicts.lines;
        if (bound == kNoOutputBound) {
          EXPECT_EQ(summary(got.tree), summary(want));
          // Into a folder, plain entries too are read through the reader rather than copied
          // from a file.
          const fs::path out =
              dir / ("out" + std::to_string(executor.threads) + "-" + std::to_string(from));
          fs::create_directories(out);
          std::optional<Folder> folder = openFolder(out.string());
          ASSERT_TRUE(folder);
          RecordedEvents folderEvents;
          Extractor(*archive, std::move(*folder), folderEvents, {false, nullptr, bound, executor})
              .run(found);
          EXPECT_EQ(folderEvents.log, events.log);
          EXPECT_EQ(summary(readTree(out)), summary(want));
          EXPECT_EQ(got.extracted.status, ExtractStatus::Problems);
          EXPECT_EQ(got.tested.damaged, 1u);
        } else {
          EXPECT_EQ(got.extracted.stop, RunStop::OutputBound);
          EXPECT_EQ(got.tested.stop, RunStop::OutputBound);
          ASSERT_TRUE(got.tested.error);
          EXPECT_EQ(got.tested.error->hint(), ErrorHint::LiftOutputBound);
        }
        if (!first) {
          first = got;
          continue;
        }
        EXPECT_EQ(got.tree, first->tree);
        EXPECT_EQ(got.order, first->order);
        EXPECT_EQ(got.events, first->events);
        EXPECT_EQ(got.verdicts, first->verdicts);
        EXPECT_EQ(got.extracted.counts.written, first->extracted.counts.written);
        EXPECT_EQ(got.extracted.counts.notWritten, first->extracted.counts.notWritten);
        EXPECT_EQ(got.tested.tested, first->tested.tested);
      }
    }
  }
}

// The archive a front end looks up to warm its engine: every entry of every model category is
// found where the index says, in sweep order, and the count is capped where the index is full.
TEST(MadeUpArchive, LooksUpAsBuilt) {
  for (const uint32_t per : {1u, 1500u, 5000u}) {
    const std::vector<uint8_t> bytes = madeUpArchive(per);
    const auto archive =
        Archive::open(std::make_unique<MemorySource>(std::string(bytes.begin(), bytes.end())), "m");
    Selection selection;
    Sweep sweep = archive->entries(selection);
    const std::atomic<bool> cancel = false;
    const LookedUp found = lookUpExisting(sweep, cancel);
    const uint32_t each = std::min(per, 3000u);
    ASSERT_FALSE(found.fault);
    ASSERT_EQ(found.entries.size(), 11 * each);
    for (size_t i = 0; i < found.entries.size(); ++i) {
      const SweptEntry& e = found.entries[i];
      EXPECT_EQ(e.category, kModelCategories[i / each].category);
      EXPECT_EQ(e.entry, static_cast<int32_t>(i % each));
      EXPECT_EQ(e.description.kind, EntryKind::Plain);
      // One sector each, the categories' groups one after another.
      const size_t groupsBefore = i / each * ((each + kEntriesPerGroup - 1) / kEntriesPerGroup);
      EXPECT_EQ(e.description.sector, kDataBaseSector + groupsBefore * kEntriesPerGroup + i % each)
          << e.path();
    }
  }
}

}  // namespace
