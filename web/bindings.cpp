// The library as the page's workers and Node see it (embind): an archive read through a reader
// the JavaScript side gives (a browser's File sliced and read with FileReaderSync, a file read
// with fs.readSync), its selected entries looked up, each read as extraction writes it, and the
// integrity test and the extraction run a few entries per call, so that the worker can take a
// cancel and report progress between calls. Everything runs on the caller's thread: this build
// has no threads.
#include <emscripten.h>
#include <emscripten/bind.h>
#include <emscripten/val.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/archive.h"
#include "api/error.h"
#include "api/extract.h"
#include "api/interpreter.h"
#include "api/read.h"

using emscripten::val;

// Reads up to `size` bytes at `offset` of reader `reader` into the module's memory at `target`:
// how many there were. The reader is Module.readSource(reader, offset, view); an offset up to
// 2^53 is exact as a JavaScript number.
EM_JS(double, jsReadSource, (int reader, double offset, uint8_t* target, double size),
      { return Module["readSource"](reader, offset, HEAPU8.subarray(target, target + size)); });

// What the page's pool of workers decoded (see worker.js): entry `key`'s problem (an EntryProblem;
// -1 when the pool has nothing for it), then its expanded size and its bytes.
EM_JS(int, jsLoadedProblem, (double kind, double offset, double length, double stored), {
  const found = Module["loadedOf"](kind, offset, length, stored);
  Module["current"] = found;
  return found ? found.problem : -1;
});
EM_JS(double, jsLoadedSize, (), { return Module["current"].size; });
EM_JS(double, jsLoadedCrc, (), { return Module["current"].crc; });
EM_JS(void, jsLoadedCopy, (uint8_t * target), { HEAPU8.set(Module["current"].bytes, target); });

namespace {

// The bytes in the module's memory, copied into a Uint8Array of their own.
val bytesOf(const uint8_t* data, size_t size) {
  return val(emscripten::typed_memory_view(size, data)).call<val>("slice");
}

// The zip's checksum (CRC-32, the reflected polynomial 0xEDB88320), eight bytes a step.
class Crc32 {
 public:
  Crc32() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xedb88320 ^ (c >> 1) : c >> 1;
      table_[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
      for (size_t t = 1; t < 8; ++t) {
        table_[t][n] = (table_[t - 1][n] >> 8) ^ table_[0][table_[t - 1][n] & 0xff];
      }
    }
  }
  uint32_t of(const uint8_t* p, size_t size) const {
    uint32_t c = 0xffffffff;
    for (; size >= 8; size -= 8, p += 8) {
      const uint32_t a = c ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
      c = table_[7][a & 0xff] ^ table_[6][(a >> 8) & 0xff] ^ table_[5][(a >> 16) & 0xff] ^
          table_[4][a >> 24] ^ table_[3][p[4]] ^ table_[2][p[5]] ^ table_[1][p[6]] ^
          table_[0][p[7]];
    }
    for (; size > 0; --size, ++p) c = table_[0][(c ^ *p) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffff;
  }

 private:
  uint32_t table_[8][256];
};
const Crc32 kCrc;

// The first bytes of an entry the pool hands over with it: a header is at most 16.
constexpr size_t kHeadBytes = 16;

// The entries the page's pool decoded, handed to the run in place of reading them here; the
// checksum of each buffer filled, for the sink.
class PoolLoader : public EntryLoader {
 public:
  std::optional<LoadedEntry> load(const EntryDescription& d, BufferPool& buffers) override {
    // Runs here are inline: the entry loaded before has been handed over, or never will be.
    handed_ = nullptr;
    const int problem = find(d);
    if (problem < 0) return std::nullopt;
    const auto size = static_cast<size_t>(jsLoadedSize());
    if (problem != static_cast<int>(EntryProblem::None)) {
      return LoadedEntry{static_cast<EntryProblem>(problem), {}, size};
    }
    PooledBuffer data = buffers.acquire(size);
    if (!data) return std::nullopt;
    jsLoadedCopy(data.get());
    handed_ = data.get();
    handedCrc_ = static_cast<uint32_t>(jsLoadedCrc());
    handedBytes_ = val::module_property("current")["bytes"];
    return LoadedEntry{EntryProblem::None, std::move(data), size};
  }
  std::optional<EntryProblem> test(const EntryDescription& d) override {
    const int problem = find(d);
    if (problem < 0) return std::nullopt;
    return static_cast<EntryProblem>(problem);
  }
  // The bytes at `data` for the JavaScript side, and their checksum: the pool's own when load()
  // filled them (a new buffer in a browser costs more than the copy: its pages are new),
  // otherwise copied and computed here.
  std::pair<val, uint32_t> handOver(const uint8_t* data, size_t size) {
    if (data != handed_) return {bytesOf(data, size), kCrc.of(data, size)};
    handed_ = nullptr;
    return {std::move(handedBytes_), handedCrc_};
  }

 private:
  static int find(const EntryDescription& d) {
    return jsLoadedProblem(static_cast<double>(d.kind), static_cast<double>(d.offset), d.length,
                           d.stored);
  }
  // The entry load() filled last: where, its checksum and the pool's bytes of it.
  const uint8_t* handed_ = nullptr;
  uint32_t handedCrc_ = 0;
  val handedBytes_ = val::undefined();
};

class JsSource : public ByteSource {
 public:
  JsSource(int reader, uint64_t size) : reader_(reader), size_(size) {}
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    if (offset >= size_ || size == 0) return 0;
    if (size > size_ - offset) size = static_cast<size_t>(size_ - offset);
    const double n =
        jsReadSource(reader_, static_cast<double>(offset), buffer, static_cast<double>(size));
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  uint64_t size() const override { return size_; }

 private:
  int reader_;
  uint64_t size_;
};

// The guest machine's memory, taken past the allocator's break: calloc would write its 32 MiB of
// zeros, and every page of it would stay resident in the worker from its first archive on. A
// module's memory starts zeroed, and no memory past the break has been used (emscripten's malloc
// never gives memory back to sbrk, and the stack lies below the heap), so the guest's pages
// become resident only as it touches them (the ready page took 34 MiB less). Where sbrk fails,
// the machine allocates its memory itself.
void provideGuestMemory() {
  static bool provided = false;
  if (provided) return;
  provided = true;
  constexpr size_t kAlign = 64;
  void* base = sbrk(static_cast<intptr_t>(r5900::kRamSize + r5900::kScratchpadSize + kAlign));
  if (base == reinterpret_cast<void*>(-1)) return;
  auto* ram = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(base) + kAlign - 1) &
                                         ~uintptr_t{kAlign - 1});
  r5900::adoptGuestMemory(ram, ram + r5900::kRamSize);
}

const char* kindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Host: return "host";
    case ErrorKind::MachineFault: return "fault";
    case ErrorKind::NotAnArchive: return "not-an-archive";
    case ErrorKind::Refused: return "refused";
    case ErrorKind::EntryProblem: return "entry";
  }
  return "host";
}

val errorObject(const Error& error) {
  val e = val::object();
  e.set("error", extractionMessage(error));
  e.set("kind", kindName(error.kind()));
  return e;
}

// Runs `f`, turning what the library throws into {error, kind} for the JavaScript side.
template <typename F>
val guarded(F f) {
  try {
    return f();
  } catch (const Error& e) {
    return errorObject(e);
  } catch (const std::bad_alloc&) {
    val e = val::object();
    e.set("error", std::string("out of memory"));
    e.set("kind", std::string("memory"));
    return e;
  }
}

val linesOf(const std::vector<std::string>& lines) {
  val array = val::array();
  for (const std::string& line : lines) array.call<void>("push", line);
  return array;
}

class CollectedVerdicts : public TestSink {
 public:
  bool tested(const EntryRecord& record) override {
    lines.push_back(entryJson(record));
    return true;
  }
  std::vector<std::string> lines;
};

// Each extracted entry's bytes go to the JavaScript side at once (copied there), each problem as
// the command line words it on stderr.
class JsExtraction : public ExtractEvents, public ExtractSink {
 public:
  JsExtraction(val write, PoolLoader& loader) : write_(std::move(write)), loader_(loader) {}
  void extracting(const std::string&) override {}
  void unsupported(const std::string& path) override {
    problems.push_back(path + ": unsupported compression method; not written");
  }
  void problem(const std::string& path, EntryProblem, const std::string& what) override {
    problems.push_back(path + ": " + what);
  }
  void failure(const Error& error) override { failures.push_back(extractionMessage(error)); }
  bool write(const std::string& path, const uint8_t* data, size_t size) override {
    const auto [bytes, crc] = loader_.handOver(data, size);
    return write_(path, bytes, crc).as<bool>();
  }
  std::vector<std::string> problems;
  std::vector<std::string> failures;

 private:
  val write_;
  PoolLoader& loader_;
};

const char* stopName(RunStop stop) {
  switch (stop) {
    case RunStop::None: return "none";
    case RunStop::OutputBound: return "output-bound";
    case RunStop::OutOfMemory: return "out-of-memory";
    case RunStop::Failure: return "failure";
    case RunStop::SinkStopped: return "sink-stopped";
    case RunStop::Cancelled: return "cancelled";
  }
  return "none";
}

}  // namespace

// One archive open in a worker, with the entries of its last selection looked up.
class WebArchive {
 public:
  // Opens the archive read through reader `reader` of `size` bytes, named `name` in messages:
  // {archive} or {error, kind}. `journal`, when not empty, names the journal a stopped update
  // left beside it: the archive is refused until it is recovered.
  static val open(int reader, double size, const std::string& name, const std::string& journal) {
    return guarded([&] {
      if (!journal.empty()) throw stoppedUpdateError(name, journal);
      auto source = std::make_unique<JsSource>(reader, static_cast<uint64_t>(size));
      provideGuestMemory();
      std::shared_ptr<Archive> archive = Archive::open(std::move(source), name);
      val result = val::object();
      result.set("archive", WebArchive(std::move(archive)));
      return result;
    });
  }

  // Looks up the entries `chosen` selects ({categories, entries, members, allCategories}, as the
  // command line's --category, --entries, members and --all-categories): {count, fault, note} or
  // {error}. The entries are kept for records(), read(), test and extraction.
  val select(val chosen) {
    return guarded([&] {
      auto selection = std::make_shared<Selection>();
      if (chosen["allCategories"].as<bool>()) selection->sweepAllCategories();
      if (chosen["categories"].isString()) {
        selection->restrictCategories(chosen["categories"].as<std::string>());
      }
      if (chosen["entries"].isString()) {
        selection->restrictEntries(chosen["entries"].as<std::string>());
      }
      const std::vector<std::string> members =
          emscripten::vecFromJSArray<std::string>(chosen["members"]);
      for (const std::string& m : members) selection->addMember(m);
      selection_ = std::move(selection);
      Sweep sweep = archive_->entries(*selection_);
      const std::atomic<bool> never{false};
      found_ = lookUpExisting(sweep, never);
      val result = val::object();
      result.set("count", static_cast<double>(found_.entries.size()));
      if (found_.fault) {
        result.set("fault", std::string(found_.fault->what()));
        result.set("note", lookupsStopped(archive_->path()));
      }
      return result;
    });
  }

  // The looked-up entries as far as the lookups know them, without reading a byte of the
  // archive: {paths (one a line), numbers}, where each entry has five numbers: category, entry,
  // sector, kind (0 no data, 1 plain, 2 compressed) and its bytes (stored; plain: also its size).
  // (One string and one array: an object for each would cost more than the lookups.)
  val lookedUp() {
    std::string paths;
    std::vector<double> numbers;
    numbers.reserve(5 * found_.entries.size());
    for (const SweptEntry& e : found_.entries) {
      const EntryDescription& d = e.description;
      paths += e.path();
      paths += '\n';
      const int kind = d.kind == EntryKind::Plain ? 1 : d.hasData() ? 2 : 0;
      numbers.insert(numbers.end(), {static_cast<double>(e.category), static_cast<double>(e.entry),
                                     static_cast<double>(d.sector), static_cast<double>(kind),
                                     d.hasData() ? static_cast<double>(d.storedBytes()) : 0});
    }
    val result = val::object();
    result.set("paths", paths);
    result.set(
        "numbers",
        val(emscripten::typed_memory_view(numbers.size(), numbers.data())).call<val>("slice"));
    return result;
  }

  // Looked-up entries `from` to `to` (not included) as --list --json prints them, one JSON line
  // each.
  val records(int from, int to) {
    return guarded([&] {
      std::vector<std::string> lines;
      const auto end = std::min(static_cast<size_t>(to), found_.entries.size());
      for (auto i = static_cast<size_t>(from); i < end; ++i) {
        lines.push_back(entryJson(entryRecord(*archive_, found_.entries[i])));
      }
      return linesOf(lines);
    });
  }

  // Where the looked-up entries' bytes lie: offset and stored length of each, in sweep order (0
  // and 0 for an entry without data), for the worker to read them ahead of the calls that need
  // them.
  val spans() {
    std::vector<double> spans;
    spans.reserve(2 * found_.entries.size());
    for (const SweptEntry& e : found_.entries) {
      const bool data = e.description.hasData();
      spans.push_back(data ? static_cast<double>(e.description.offset) : 0);
      spans.push_back(data ? static_cast<double>(e.description.storedBytes()) : 0);
    }
    return val(emscripten::typed_memory_view(spans.size(), spans.data())).call<val>("slice");
  }

  // The looked-up entries as the pool's workers need them to read and decode them: four numbers
  // each, its kind (an EntryKind), sector, length and stored length, in sweep order.
  val descriptions() {
    std::vector<double> numbers;
    numbers.reserve(4 * found_.entries.size());
    for (const SweptEntry& e : found_.entries) {
      const EntryDescription& d = e.description;
      numbers.insert(numbers.end(), {static_cast<double>(d.kind), static_cast<double>(d.sector),
                                     static_cast<double>(d.length), static_cast<double>(d.stored)});
    }
    return val(emscripten::typed_memory_view(numbers.size(), numbers.data())).call<val>("slice");
  }

  // What the members of the last selection that took nothing say, as the command line says it.
  val unmatched() {
    std::vector<std::string> lines;
    if (selection_) {
      for (const Member& m : selection_->members()) {
        if (!m.found) lines.push_back(unmatchedMember(m));
      }
    }
    return linesOf(lines);
  }

  // Entry `path` ("models - g/0001.raw") as extraction writes it: {bytes}, {error, kind} (an
  // entry problem in --test's words, the output bound), or {missing} when there is no such entry.
  val read(const std::string& path, bool sizeLimit) {
    return guarded([&] {
      val result = val::object();
      const size_t slash = path.find('/');
      std::optional<int32_t> category, entry;
      if (slash != std::string::npos) {
        category = categoryOfFolder(std::string_view(path).substr(0, slash));
        entry = entryOfFileName(std::string_view(path).substr(slash + 1));
      }
      std::optional<EntryBytes> bytes;
      if (category && entry) {
        bytes = openEntry(*archive_, *category, *entry,
                          {.outputBound = sizeLimit, .buffers = buffers_.get()});
      }
      if (!bytes) {
        result.set("missing", path + ": not found in archive");
        return result;
      }
      if (const uint8_t* data = bytes->data()) {
        result.set("bytes", bytesOf(data, bytes->size()));
      } else {
        std::vector<uint8_t> plain(bytes->size());
        bytes->readAt(0, plain.data(), plain.size());
        result.set("bytes", bytesOf(plain.data(), plain.size()));
      }
      return result;
    });
  }

  // The integrity test of the looked-up entries, testSome() handing `count` entries over at a
  // time: {lines} (--test --json's, in order); testFinish() then gives the summary.
  val testStart(bool sizeLimit) {
    return guarded([&] {
      verdicts_ = std::make_shared<CollectedVerdicts>();
      *cancel_ = false;
      tester_ = std::make_shared<Tester>(
          *archive_, *verdicts_,
          TestOptions{boundFor(sizeLimit), Executor::inlineOnCaller(), cancel_.get(), &loader_});
      next_ = 0;
      return val::object();
    });
  }
  val testSome(int count) {
    return guarded([&] {
      handOver(count, [&](const SweptEntry& e) { return tester_->test(e); });
      val result = val::object();
      result.set("lines", linesOf(verdicts_->lines));
      verdicts_->lines.clear();
      result.set("done", next_ >= found_.entries.size());
      return result;
    });
  }
  // {lines, tested, damaged, summary, stop, error, fault, note}; `cancelled` ends it early.
  val testFinish(bool cancelled) {
    return guarded([&] {
      if (cancelled) *cancel_ = true;
      TestSummary summary = tester_->conclude(found_);
      // A cancel comes between calls, when every entry handed over is done: what was not handed
      // over is what the cancel stopped.
      if (cancelled) {
        summary.stop = RunStop::Cancelled;
        summary.fault.reset();
      }
      val result = val::object();
      result.set("lines", linesOf(verdicts_->lines));
      result.set("tested", static_cast<double>(summary.tested));
      result.set("damaged", static_cast<double>(summary.damaged));
      result.set("summary", testedSummary(summary));
      result.set("stop", stopName(summary.stop));
      if (summary.error) result.set("error", extractionMessage(*summary.error));
      if (summary.fault) {
        result.set("fault", std::string(summary.fault->what()));
        result.set("note", lookupsStopped(archive_->path()));
      }
      tester_.reset();
      verdicts_.reset();
      return result;
    });
  }

  // The extraction of the looked-up entries into `write(path, bytes)` (false: stop), `count`
  // entries at a time: {problems, failures} per call; extractFinish() then gives the summary.
  val extractStart(val write, bool sizeLimit) {
    return guarded([&] {
      extraction_ = std::make_shared<JsExtraction>(std::move(write), loader_);
      *cancel_ = false;
      ExtractOptions options;
      options.cancel = cancel_.get();
      options.outputBound = boundFor(sizeLimit);
      options.executor = Executor::inlineOnCaller();
      options.sink = extraction_.get();
      options.loader = &loader_;
      extractor_ = std::make_shared<Extractor>(*archive_, Folder(), *extraction_, options);
      next_ = 0;
      return val::object();
    });
  }
  val extractSome(int count) {
    return guarded([&] {
      handOver(count, [&](const SweptEntry& e) {
        return extractor_->extract(e.category, e.entry, e.description);
      });
      val result = reported();
      result.set("done", next_ >= found_.entries.size());
      return result;
    });
  }
  val extractFinish(bool cancelled) {
    return guarded([&] {
      if (cancelled) *cancel_ = true;
      ExtractSummary summary = extractor_->conclude(found_);
      if (cancelled) {
        summary.stop = RunStop::Cancelled;
        summary.status = ExtractStatus::Stopped;
        summary.fault.reset();
      }
      val result = reported();
      result.set("written", static_cast<double>(summary.counts.written));
      result.set("notWritten", static_cast<double>(summary.counts.notWritten));
      result.set("clean", summary.status == ExtractStatus::Clean);
      result.set("summary", writtenSummary(summary.counts));
      result.set("stop", stopName(summary.stop));
      if (summary.fault) {
        result.set("fault", std::string(summary.fault->what()));
        result.set("note", lookupsStopped(archive_->path()));
      }
      extractor_.reset();
      extraction_.reset();
      return result;
    });
  }

 private:
  explicit WebArchive(std::shared_ptr<Archive> archive) : archive_(std::move(archive)) {}

  // Hands the next `count` looked-up entries to `take`, which says false once the run has
  // stopped: nothing more is handed over then.
  template <typename Take>
  void handOver(int count, Take take) {
    for (int i = 0; i < count && next_ < found_.entries.size(); ++i) {
      if (!take(found_.entries[next_++])) next_ = found_.entries.size();
    }
  }

  uint64_t boundFor(bool sizeLimit) const {
    return sizeLimit ? outputBoundOf(archive_->size()) : kNoOutputBound;
  }

  val reported() {
    val result = val::object();
    result.set("problems", linesOf(extraction_->problems));
    result.set("failures", linesOf(extraction_->failures));
    extraction_->problems.clear();
    extraction_->failures.clear();
    return result;
  }

  std::shared_ptr<Archive> archive_;
  std::shared_ptr<Selection> selection_;
  LookedUp found_;
  size_t next_ = 0;
  // Held apart: JavaScript holds a copy of the object.
  std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<BufferPool> buffers_ = std::make_shared<BufferPool>(kInFlightBudget);
  std::shared_ptr<CollectedVerdicts> verdicts_;
  std::shared_ptr<Tester> tester_;
  std::shared_ptr<JsExtraction> extraction_;
  std::shared_ptr<Extractor> extractor_;
  PoolLoader loader_;
};

// A worker of the page's pool: reads and decodes the entries the worker that looked them up
// describes. It has no machine (no guest memory, no lookups of its own).
class WebDecoder {
 public:
  WebDecoder(int reader, double size) : source_(reader, static_cast<uint64_t>(size)) {}

  // What the entries `descriptions` describes (four numbers each, as WebArchive::descriptions()
  // gives them) hold: [{kind, offset, length, stored, problem, size, head}] for each that has data,
  // with `bytes` and `crc` when `bytes` (an extraction) and the problem is none. `head` is the
  // entry's first stored bytes, for the worker that looks the entries up (their headers say what
  // they expand to). An entry out of memory here is left out: the run decodes it itself.
  val decodeSome(val descriptions, bool bytes) {
    return guarded([&] {
      const std::vector<double> numbers =
          emscripten::convertJSArrayToNumberVector<double>(descriptions);
      val found = val::array();
      for (size_t i = 0; i + 4 <= numbers.size(); i += 4) {
        EntryDescription d{
            static_cast<EntryKind>(numbers[i]), static_cast<uint32_t>(numbers[i + 1]), 0,
            static_cast<uint32_t>(numbers[i + 2]), static_cast<uint32_t>(numbers[i + 3])};
        d.offset = uint64_t{d.sector} * kSectorSize;
        if (!d.hasData()) continue;
        val r = val::object();
        uint8_t head[kHeadBytes];
        const size_t n = source_.readAt(
            d.offset, head, static_cast<size_t>(std::min<uint64_t>(d.storedBytes(), kHeadBytes)));
        r.set("head", bytesOf(head, n));
        EntryProblem problem = EntryProblem::None;
        if (!bytes) {
          problem = testEntry(source_, d, buffers_);
          r.set("size", 0);
        } else {
          const LoadedEntry loaded = loadEntry(source_, d, buffers_);
          problem = loaded.problem;
          r.set("size", static_cast<double>(loaded.size));
          if (problem == EntryProblem::None) {
            // Into a buffer the worker keeps for them (see worker.js's packBytes).
            r.set("bytes", val::module_property("packBytes")(
                               val(emscripten::typed_memory_view(loaded.size, loaded.data.get()))));
            r.set("crc", kCrc.of(loaded.data.get(), loaded.size));
          }
        }
        if (problem == EntryProblem::OutOfMemory) continue;
        r.set("problem", static_cast<int>(problem));
        r.set("kind", static_cast<int>(d.kind));
        r.set("offset", static_cast<double>(d.offset));
        r.set("length", d.length);
        r.set("stored", d.stored);
        found.call<void>("push", r);
      }
      return found;
    });
  }

 private:
  JsSource source_;
  BufferPool buffers_{kInFlightBudget};
};

// An archive to look up at load (see madeUpArchive()), so that the user's first runs at full
// speed: its bytes.
val warmUpArchive() {
  const std::vector<uint8_t> bytes = madeUpArchive(1500);
  return bytesOf(bytes.data(), bytes.size());
}

EMSCRIPTEN_BINDINGS(archive_extract) {
  emscripten::function("journalPath", &journalPath);
  // The summary line of a run whose caller counted again what it wrote (kept files, folders in
  // the way).
  emscripten::function(
      "writtenSummary", +[](double written, double notWritten) {
        return writtenSummary(
            {static_cast<uint64_t>(written), 0, static_cast<uint64_t>(notWritten)});
      });
  emscripten::class_<WebArchive>("WebArchive")
      .class_function("open", &WebArchive::open)
      .function("select", &WebArchive::select)
      .function("records", &WebArchive::records)
      .function("lookedUp", &WebArchive::lookedUp)
      .function("spans", &WebArchive::spans)
      .function("descriptions", &WebArchive::descriptions)
      .function("unmatched", &WebArchive::unmatched)
      .function("read", &WebArchive::read)
      .function("testStart", &WebArchive::testStart)
      .function("testSome", &WebArchive::testSome)
      .function("testFinish", &WebArchive::testFinish)
      .function("extractStart", &WebArchive::extractStart)
      .function("extractSome", &WebArchive::extractSome)
      .function("extractFinish", &WebArchive::extractFinish);
  emscripten::class_<WebDecoder>("WebDecoder")
      .constructor<int, double>()
      .function("decodeSome", &WebDecoder::decodeSome);
  emscripten::function("warmUpArchive", &warmUpArchive);
}
