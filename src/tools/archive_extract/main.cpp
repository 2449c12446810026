// archive-extract [OPTION]... ARCHIVE [MEMBER]...: writes the model entries of the archive to
// "models - X/NNNN.raw" and prints each path; or lists them, or tests them.
//
// Exit status: 0 success; 1 a fault of the emulated machine (its message is on stdout); 2 anything
// else (bad argument, unreadable archive, write failure, entries that could not be extracted or
// that are damaged, members not found); 128 + N after signal N.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "archive/categories.h"
#include "console.h"
#include "cpu/fault.h"
#include "extract/extractor.h"
#include "options.h"
#include "platform/folder.h"
#include "platform/host_error.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/limit.h"

namespace {

// Paths and the unsupported-method line on stdout, problems on stderr, in sweep order.
class ConsoleEvents : public ExtractEvents {
 public:
  explicit ConsoleEvents(Console& console) : console_(console) {}
  void extracting(const std::string& path) override { console_.out(path); }
  void unsupported(const std::string& path) override {
    console_.out("Unsupported compression !");
    console_.err(path + ": unsupported compression method; not written");
  }
  void problem(const std::string& path, const std::string& what) override {
    console_.err(path + ": " + what);
  }
  void failure(const std::string& message) override { console_.err(message); }

 private:
  Console& console_;
};

std::string jsonNumber(const std::optional<uint32_t>& value) {
  return value ? std::to_string(*value) : "null";
}

// One entry of --list or --test, as text or as a JSON object.
// In --test, `shared` says that its stored bytes overlap an earlier entry's.
std::string entryLine(const Options& o, const SweptEntry& e, const EntryStorage& storage,
                      const char* problem, bool shared) {
  const int32_t category = e.category, entry = e.entry;
  const EntryDescription& d = e.description;
  const std::string path = e.path();
  const std::optional<uint32_t> stored =
      d.kind == EntryKind::NoData ? std::nullopt : std::optional<uint32_t>(d.stored);
  if (o.json) {
    std::string json =
        "{\"path\":" + jsonString(path) + ",\"category\":" + std::to_string(category) +
        ",\"entry\":" + std::to_string(entry) + ",\"sector\":" + std::to_string(d.sector) +
        ",\"method\":\"" + storageMethodName(storage.method) +
        "\",\"stored\":" + jsonNumber(stored) + ",\"size\":" + jsonNumber(storage.size);
    if (o.mode == Mode::Test) {
      json += problem == nullptr ? ",\"ok\":true"
                                 : std::string(",\"ok\":false,\"problem\":\"") + problem + "\"";
      json += shared ? ",\"shared\":true" : ",\"shared\":false";
    }
    return json + "}";
  }
  if (o.mode == Mode::Test) {
    return path + ": " + (problem == nullptr ? "ok" : problem) +
           (shared ? " (shares stored bytes with an earlier entry)" : "");
  }
  char line[128];
  std::snprintf(line, sizeof line, "%3d %04d %10u %-11s %10s %10s  ", static_cast<int>(category),
                static_cast<int>(entry), d.sector, storageMethodName(storage.method),
                stored ? std::to_string(*stored).c_str() : "-",
                storage.size ? std::to_string(*storage.size).c_str() : "-");
  return line + path;
}

class Run {
 public:
  Run(Options& options, Console& console) : o_(options), console_(console) {}

  int execute() {
    std::unique_ptr<Archive> archive;
    try {
      archive = Archive::open(o_.archive);
    } catch (const HostError& error) {
      console_.err(error.what());
      return 2;
    }
    int status = o_.mode == Mode::Extract ? extract(*archive) : inspect(*archive);
    archive.reset();
    console_.clearProgress();
    if (status == 1) return 1;
    if (const int signal = stopSignal(); signal != 0) return 128 + signal;
    for (const Member& m : o_.selection.members()) {
      if (!m.found) {
        console_.err(m.text + ": not found in archive");
        status = 2;
      }
    }
    if (!console_.finishStdout()) status = 2;
    return status;
  }

 private:
  // A fault of the emulated machine: its line, exactly, where the machine prints (stdout, or
  // stderr with --quiet), then which archive made the lookups stop.
  int machineFault(const r5900::MachineFault& fault) {
    console_.clearProgress();
    if (!fault.line.empty() && o_.quiet) {
      std::fflush(stdout);
      std::fputs(fault.line.c_str(), stderr);
    } else if (!fault.line.empty()) {
      console_.out(fault.line.substr(0, fault.line.size() - 1));  // without its newline
    }
    console_.err(o_.archive +
                 ": the lookup routines stopped on its index (is it an archive of "
                 "this kind?)");
    console_.finishStdout();
    return 1;
  }

  // Calls `visit` for each selected entry in sweep order until it returns false or a signal
  // comes (SIGINT or SIGTERM: the sweep stops taking entries and no further file is named); the
  // progress line follows.
  template <typename Visit>
  void sweep(Archive& archive, Visit visit) {
    Sweep sweep = archive.entries(o_.selection);
    while (!interrupted_.load()) {
      const std::optional<SweptEntry> e = sweep.next();
      if (!e || !visit(*e)) return;
      if (e->description.hasData()) {
        ++entries_;
        bytes_ += e->description.length;
      }
      console_.progress(entries_, bytes_,
                        static_cast<double>(sweep.done()) / static_cast<double>(sweep.total()));
    }
  }

  int extract(Archive& archive) {
    Folder output;
    if (o_.directory) {
      std::optional<Folder> opened = openFolder(*o_.directory);
      if (!opened) {
        const int error = errno;
        console_.err(withReason("cannot use " + *o_.directory + " as the output folder", error));
        return 2;
      }
      output = std::move(*opened);
    }
    ConsoleEvents events(console_);
    int status = 0;
    {
      Extractor extractor(
          archive, std::move(output), events,
          {o_.overwrite, &interrupted_, bound(archive), o_.jobs > 0 ? o_.jobs : coreCount()});
      try {
        sweep(archive, [&](const SweptEntry& e) {
          return extractor.extract(e.category, e.entry, e.description);
        });
        status = extractor.finish() == ExtractStatus::Clean ? 0 : 2;
      } catch (const r5900::MachineFault& fault) {
        // The entries read before the fault are finished first, as a single thread would have;
        // if one of their writes fails, the run stops there, before the fault.
        status = extractor.finish() == ExtractStatus::Stopped ? 2 : machineFault(fault);
      }
    }
    // Extraction goes on when stdout fails (the files are its product) and ends with status 2.
    if (!console_.finishStdout() && status == 0) status = 2;
    return status;
  }

  uint64_t bound(const Archive& archive) const {
    return o_.sizeLimit ? outputBound(archive.size()) : kNoOutputBound;
  }

  // --list and --test: one line per entry; a failed stdout stops them at once. The test decodes
  // what extraction would, under the same bound, and stops where extraction would.
  int inspect(Archive& archive) {
    uint64_t tested = 0, damaged = 0;
    EntryTester tester(archive, bound(archive));
    bool ok = true;
    try {
      sweep(archive, [&](const SweptEntry& e) {
        const EntryDescription& d = e.description;
        if (!d.exists() || (o_.mode == Mode::Test && !d.hasData())) return true;
        const EntryStorage storage = entryStorage(archive, d);
        const char* problem = nullptr;
        bool shared = false;
        if (o_.mode == Mode::Test) {
          const TestVerdict verdict = tester.test(e);
          ++tested;
          shared = verdict.shared;
          if (verdict.problem != EntryProblem::None) {
            problem = entryProblemName(verdict.problem);
            ++damaged;
          }
        }
        return ok = console_.out(entryLine(o_, e, storage, problem, shared));
      });
    } catch (const r5900::MachineFault& fault) {
      return machineFault(fault);
    } catch (const HostError& error) {
      console_.err(error.what());
      return 2;
    }
    if (!ok) return 2;
    if (o_.mode == Mode::Test && stopSignal() == 0) {
      console_.clearProgress();
      console_.err("tested " + std::to_string(tested) + " entries: " +
                   (damaged == 0 ? "all sound" : std::to_string(damaged) + " damaged"));
    }
    return damaged == 0 ? 0 : 2;
  }

  Options& o_;
  Console& console_;
  const std::atomic<bool>& interrupted_ = stopRequested();
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  std::optional<Options> options = parseOptions(argc, argv, status);
  if (!options) return status;
  catchStopSignals();
  // Entry buffers come and go by the thousand, allocated by the main thread and freed by the
  // writer: keep the freed memory in the heap rather than handing it back to the kernel after
  // each one and faulting fresh zeroed pages in for the next.
  keepFreedMemory(64 << 20, 32 << 20);
  Console console(options->quiet, !options->quiet && isTerminal(StandardStream::Error));
  return Run(*options, console).execute();
}
