// archive-mount [OPTION]... ARCHIVE MOUNTPOINT [MEMBER]...: shows the entries of the archive as
// the read-only tree that archive-extract writes, through FUSE. The entries are looked up before
// the mount; a plain entry is then read where it lies in the archive, a compressed one decoded
// when first read, into a bounded cache.
//
// Exit status: 0 unmounted; 1 a fault of the emulated machine during the lookups (its line on
// stdout); 2 anything else (bad argument, unreadable archive, a mount point that is not an empty
// folder, members not found, a mount that failed).
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/archive.h"
#include "api/error.h"
#include "api/read.h"
#include "api/system.h"
#include "options.h"
#include "tree.h"

namespace {

// The kernel keeps names and attributes this long: nothing in the tree ever changes.
constexpr double kAttributeTimeout = 3600.0;
// Threads of the FUSE loop at most: as many entries decode at once.
constexpr unsigned kMaxThreads = 8;
static_assert(MountTree::kRoot == FUSE_ROOT_ID);

// The FUSE operations on the tree: each answers one request of the kernel.
class Mount {
 public:
  Mount(std::unique_ptr<Archive> archive, std::unique_ptr<MountTree> tree, FileHandle log,
        const MountOptions& o)
      : archive_(std::move(archive)),
        tree_(std::move(tree)),
        log_(std::move(log)),
        cache_(*archive_, o.cacheSize, [this](uint64_t ino) { logDecode(ino); }),
        ahead_(
            *archive_, cache_, o.cacheSize / 2, o.jobs > 0 ? o.jobs : coreCount(),
            [this](uint64_t ino) { return nextItem(ino); },
            [this](uint64_t ino, uint64_t offset, const uint8_t* data, size_t size) {
              return storeInKernel(ino, offset, data, size);
            }),
        foreground_(o.foreground),
        maxRead_(o.maxRead) {
    if (const char* log = std::getenv("ARCHIVE_MOUNT_DECODE_LOG"); log != nullptr && *log != 0) {
      decodeLog_ = openFile(log, OpenMode::Append);
    }
    if (const char* log = std::getenv("ARCHIVE_MOUNT_REQUEST_LOG"); log != nullptr && *log != 0) {
      requestLog_ = log;
    }
  }

  // The session the workers storing entries ahead give them to; they stop before it ends.
  void serve(fuse_session* session) { session_ = session; }
  void stop() {
    ahead_.stop();
    writeRequestCounts();
  }

  // The requests served, by operation (for tests and the benchmark).
  enum Operation : uint8_t { kLookup, kGetattr, kReaddir, kReaddirplus, kOpen, kRead, kStatfs };
  void count(Operation operation) { requests_[operation].fetch_add(1, std::memory_order_relaxed); }

  void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (!tree_->valid(parent) || !tree_->folder(parent)) return void(fuse_reply_err(req, ENOTDIR));
    const fuse_ino_t ino = tree_->lookup(parent, name);
    if (ino == 0) return void(fuse_reply_err(req, ENOENT));
    fuse_entry_param entry{};
    describe(ino, entry);
    fuse_reply_entry(req, &entry);
  }

  // `reading`: asked by the kernel before a read past the end it knows (it gives the file then),
  // as opposed to stat().
  void getattr(fuse_req_t req, fuse_ino_t ino, bool reading) {
    if (!tree_->valid(ino)) return void(fuse_reply_err(req, ENOENT));
    if (reading && tree_->unknownSize(ino)) {
      reportOnce(ino, EntryError(tree_->path(ino), EntryProblem::Incomplete).what());
      return void(fuse_reply_err(req, EIO));
    }
    struct stat st {};
    attributes(ino, st);
    fuse_reply_attr(req, &st, timeoutOf(ino));
  }

  // A folder's entries from `offset` on; with `plus`, each with its attributes, so that a reader
  // going through the folder (ls -l, cp -r, find -ls) needs no lookup per file.
  void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    if (!tree_->valid(ino) || !tree_->folder(ino)) return void(fuse_reply_err(req, ENOTDIR));
    std::vector<char> buffer(size);
    size_t used = 0;
    for (auto i = static_cast<uint64_t>(offset);
         const std::optional<FolderItem> item = tree_->item(ino, i); ++i) {
      fuse_entry_param entry{};
      if (item->dots) {
        entry.attr.st_ino = item->inode;
        entry.attr.st_mode = S_IFDIR;
      } else {
        describe(item->inode, entry);
      }
      const auto next = static_cast<off_t>(i + 1);
      char* at = buffer.data() + used;
      const size_t wanted =
          plus ? fuse_add_direntry_plus(req, at, size - used, item->name, &entry, next)
               : fuse_add_direntry(req, at, size - used, item->name, &entry.attr, next);
      if (wanted > size - used) break;
      used += wanted;
    }
    fuse_reply_buf(req, buffer.data(), used);
  }

  // Where the kernel allows it, files open without asking the mount (a request less per file:
  // a copy of the tree is mostly round trips to the mount). The kernel then keeps each file's
  // bytes between opens, and the mount being read-only refuses opens for writing itself.
  //
  // A listing always gives the attributes of its names (READDIRPLUS), not only for the first
  // part of each folder: a copy of the tree then looks up no file. A maximum read size given
  // with -o is the one the kernel is told.
  void init(fuse_conn_info* conn) {
    noOpen_ = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (maxRead_) conn->max_read = *maxRead_;
  }

  void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (!tree_->valid(ino)) return void(fuse_reply_err(req, ENOENT));
    if (tree_->folder(ino)) return void(fuse_reply_err(req, EISDIR));
    if (noOpen_) return void(fuse_reply_err(req, ENOSYS));
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
      return void(fuse_reply_err(req, EROFS));
    }
    fi->keep_cache = 1;  // the bytes never change: the kernel may keep them between opens
    fi->direct_io = tree_->unknownSize(ino) ? 1 : 0;  // so that its reads come here and fail
    fuse_reply_open(req, fi);
  }

  // A plain entry is read where it lies, a compressed one from the cache. A read from a file's
  // start sets the workers storing ahead to the files after it (files are mostly read in name
  // order: cp -r, tar, a loop over a folder).
  void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset) {
    if (!tree_->valid(ino) || tree_->folder(ino)) return void(fuse_reply_err(req, EISDIR));
    const auto position = static_cast<uint64_t>(offset);
    if (position == 0) ahead_.started(ino);
    try {
      const EntryBytes bytes =
          openEntry(*archive_, tree_->description(ino), tree_->path(ino),
                    {.outputBound = false, .cache = &cache_, .key = ino, .end = position + size});
      if (position >= bytes.size()) return void(fuse_reply_buf(req, nullptr, 0));
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size, bytes.size() - position));
      if (const uint8_t* data = bytes.data()) {
        return void(fuse_reply_buf(req, reinterpret_cast<const char*>(data + position), wanted));
      }
      thread_local std::vector<uint8_t> buffer;
      if (buffer.size() < wanted) buffer.resize(wanted);
      bytes.readAt(position, buffer.data(), wanted);
      fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), wanted);
    } catch (const EntryError& error) {
      if (error.problem() == EntryProblem::OutOfMemory) {
        report(error.what() + (" (" + std::to_string(error.size()) + " bytes)"));
      } else {
        reportOnce(ino, error.what());
      }
      fuse_reply_err(req, EIO);
    }
  }

  void statfs(fuse_req_t req) {
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_blocks = (archive_->size() + 4095) / 4096;
    st.f_files = tree_->nodeCount();
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
  }

 private:
  // An entry listed at 0 bytes because its header is not in the archive: its attributes are never
  // kept, so that the kernel asks for them again before it reads; the answer to that is the error.
  double timeoutOf(fuse_ino_t ino) { return tree_->unknownSize(ino) ? 0.0 : kAttributeTimeout; }
  void describe(fuse_ino_t ino, fuse_entry_param& entry) {
    entry.ino = ino;
    entry.attr_timeout = entry.entry_timeout = timeoutOf(ino);
    attributes(ino, entry.attr);
  }

  void attributes(fuse_ino_t ino, struct stat& st) {
    const NodeAttributes a = tree_->attributes(ino);
    st.st_ino = a.inode;
    st.st_uid = a.owner;
    st.st_gid = a.group;
    st.st_atim = st.st_mtim =
        st.st_ctim = {static_cast<time_t>(a.seconds), static_cast<long>(a.nanoseconds)};
    st.st_mode = (a.folder ? S_IFDIR : S_IFREG) | a.permissions;
    st.st_nlink = a.links;
    if (!a.folder) {
      st.st_size = static_cast<off_t>(a.size);
      st.st_blocks = static_cast<blkcnt_t>(a.blocks);
    }
  }

  // The file after `ino` in its folder as the workers storing ahead see it: one whose size is
  // not known is never stored (its reader must get the error).
  std::optional<StoreAhead::Item> nextItem(uint64_t ino) {
    const fuse_ino_t after = tree_->nextInFolder(ino);
    if (after == 0) return std::nullopt;
    StoreAhead::Item item{after, tree_->description(after), tree_->attributes(after).size};
    if (tree_->unknownSize(after)) item.d.kind = EntryKind::Absent;
    return item;
  }

  // Puts bytes of a file into the kernel's page cache, as if read (never from a request's
  // thread: the kernel may wait on a page a request holds). Nothing more of a file the kernel
  // has not met (ENOENT), nor of any once the mount has gone.
  bool storeInKernel(uint64_t ino, uint64_t offset, const uint8_t* data, size_t size) {
    if (session_ == nullptr) return false;
    fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
    buffer.buf[0].mem = const_cast<uint8_t*>(data);
    return fuse_lowlevel_notify_store(session_, ino, static_cast<off_t>(offset), &buffer,
                                      static_cast<fuse_buf_copy_flags>(0)) == 0;
  }

  // ARCHIVE_MOUNT_REQUEST_LOG: "LOOKUP N" and so on, a line each, written when the mount ends.
  void writeRequestCounts() {
    if (requestLog_.empty()) return;
    static constexpr std::array<const char*, 7> kNames = {
        "LOOKUP", "GETATTR", "READDIR", "READDIRPLUS", "OPEN", "READ", "STATFS"};
    std::string text;
    for (size_t i = 0; i < kNames.size(); ++i) {
      text += std::string(kNames[i]) + " " + std::to_string(requests_[i].load()) + "\n";
    }
    FileHandle file = openFile(requestLog_, OpenMode::Append);
    if (file.valid()) writeAll(file, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }

  // The test hook: one line per decode.
  void logDecode(fuse_ino_t ino) {
    if (!decodeLog_.valid()) return;
    const std::string line = tree_->path(ino) + "\n";
    writeAll(decodeLog_, reinterpret_cast<const uint8_t*>(line.data()), line.size());
  }

  void reportOnce(fuse_ino_t ino, const std::string& message) {
    if (tree_->firstReport(ino)) report(message);
  }
  void report(const std::string& message) {
    if (log_.valid()) {
      // One write a line, so that the lines of several threads never mix.
      const std::time_t now = std::time(nullptr);
      char stamp[32] = "";
      const std::lock_guard lock(logMutex_);
      std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
      const std::string line = std::string(stamp) + " archive-mount: " + message + "\n";
      writeAll(log_, reinterpret_cast<const uint8_t*>(line.data()), line.size());
    } else if (foreground_) {
      std::fprintf(stderr, "archive-mount: %s\n", message.c_str());
    } else {
      logError(message);
    }
  }

  std::unique_ptr<Archive> archive_;
  std::unique_ptr<MountTree> tree_;
  FileHandle log_;  // --log: the reasons of failed reads, a line each
  std::mutex logMutex_;
  FileHandle decodeLog_;  // the test hook: one line per decode (closed after the workers end)
  DecodeCache cache_;
  StoreAhead ahead_;
  bool foreground_;
  std::optional<uint32_t> maxRead_;
  bool noOpen_ = false;
  fuse_session* session_ = nullptr;
  std::string requestLog_;
  std::array<std::atomic<uint64_t>, 7> requests_{};
};

Mount& mountOf(fuse_req_t req) { return *static_cast<Mount*>(fuse_req_userdata(req)); }

const fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops ops{};
  ops.init = [](void* mount, fuse_conn_info* conn) { static_cast<Mount*>(mount)->init(conn); };
  ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
    mountOf(req).count(Mount::kLookup);
    mountOf(req).lookup(req, parent, name);
  };
  ops.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    mountOf(req).count(Mount::kGetattr);
    mountOf(req).getattr(req, ino, fi != nullptr);
  };
  ops.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).count(Mount::kReaddir);
    mountOf(req).readdir(req, ino, size, offset, false);
  };
  ops.readdirplus = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).count(Mount::kReaddirplus);
    mountOf(req).readdir(req, ino, size, offset, true);
  };
  ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    mountOf(req).count(Mount::kOpen);
    mountOf(req).open(req, ino, fi);
  };
  ops.read = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).count(Mount::kRead);
    mountOf(req).read(req, ino, size, offset);
  };
  ops.statfs = [](fuse_req_t req, fuse_ino_t) {
    mountOf(req).count(Mount::kStatfs);
    mountOf(req).statfs(req);
  };
  return ops;
}();

void say(const std::string& message) {
  std::fprintf(stderr, "archive-mount: %s\n", message.c_str());
}

// Refuses anything but an empty folder, before anything is mounted on it.
bool emptyFolder(const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(path);
  if (!info) {
    say(withReason("cannot mount on " + path, errno));
    return false;
  }
  if (!info->directory) {
    say("cannot mount on " + path + ": not a folder");
    return false;
  }
  FolderNames names = listFolder(Folder(), path);
  if (!names.valid()) {
    say(withReason("cannot mount on " + path, errno));
    return false;
  }
  bool empty = true;
  while (const char* name = names.next()) {
    if (std::string_view(name) != "." && std::string_view(name) != "..") empty = false;
  }
  if (!empty) {
    // A mount point shows what is mounted there: a folder on another device than its parent.
    const std::optional<FileInfo> parent = fileInfo(path + "/..");
    const bool mountPoint = parent && parent->device != info->device;
    say("cannot mount on " + path +
        (mountPoint ? ": already a mount point" : ": the folder is not empty"));
  }
  return empty;
}

// An option value of FUSE's -o list: commas and backslashes escaped.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

int run(MountOptions& o) {
  std::unique_ptr<Archive> archive;
  try {
    archive = Archive::open(o.archive);
  } catch (const Error& error) {
    std::string message = error.what();
    if (error.hint() == ErrorHint::RecoverFirst) {
      message += "; run 'archive-pack --recover " + error.path() + "' first";
    }
    say(message);
    return 2;
  }
  if (!emptyFolder(o.mountpoint)) return 2;
  FileHandle log;
  if (o.logFile) {
    // Opened here: a mount in the background works from the root folder.
    log = openFile(*o.logFile, OpenMode::Append);
    if (!log.valid()) {
      say(withReason("cannot open the log " + *o.logFile, errno));
      return 2;
    }
  }

  TreeLook look{.owner = o.uid.value_or(userId()),
                .group = o.gid.value_or(groupId()),
                .mask = creationMask()};
  if (const std::optional<FileInfo> info = fileInfo(archive->file())) {
    look.seconds = info->modifiedSeconds;
    look.nanoseconds = info->modifiedNanoseconds;
  }
  auto tree = std::make_unique<MountTree>(*archive, look);
  try {
    Sweep sweep = archive->entries(o.selection);
    while (std::optional<SweptEntry> e = sweep.next()) {
      if (e->description.exists()) tree->add(*e);
    }
  } catch (const Error& fault) {
    if (fault.kind() != ErrorKind::MachineFault) throw;
    if (*fault.what() != 0) std::printf("%s\n", fault.what());
    std::fflush(stdout);
    say(lookupsStopped(o.archive));
    return 1;
  }
  bool missing = false;
  for (const Member& m : o.selection.members()) {
    if (!m.found) {
      say(unmatchedMember(m));
      missing = true;
    }
  }
  if (missing) return 2;
  tree->sortFolders();
  Mount mount(std::move(archive), std::move(tree), std::move(log), o);

  std::string options =
      "ro,default_permissions,fsname=" + escaped(o.archive) + ",subtype=archive-mount";
  if (!o.fuseOptions.empty()) options += "," + o.fuseOptions;
  options += ",ro";  // last: an rw given with -o does not make it writable
  std::vector<std::string> words = {"archive-mount", "-o", options};
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& w : words) argv.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_session* session = fuse_session_new(&args, &kOperations, sizeof kOperations, &mount);
  fuse_opt_free_args(&args);
  if (session == nullptr) {
    say("cannot start the mount (see the options given with -o)");
    return 2;
  }
  int status = 2;
  if (fuse_set_signal_handlers(session) != 0) {
    say("cannot catch signals");
  } else {
    if (fuse_session_mount(session, o.mountpoint.c_str()) != 0) {
      say("cannot mount " + o.archive + " on " + o.mountpoint);
    } else {
      if (!o.foreground && !o.logFile) openSystemLog("archive-mount");
      // The parent returns once the mount is there and this process serves it.
      fuse_daemonize(o.foreground ? 1 : 0);
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, kMaxThreads);
      mount.serve(session);
      // Positive: the signal that ended it, which unmounts as cleanly as fusermount3 -u.
      status = fuse_session_loop_mt(session, config) < 0 ? 2 : 0;
      mount.stop();
      fuse_loop_cfg_destroy(config);
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  r5900::setGuestOutput(
      [](const char* bytes, size_t size) { std::fwrite(bytes, 1, size, stdout); });
  int status = 0;
  std::optional<MountOptions> options = parseMountOptions(argc, argv, status);
  if (!options) return status;
  return run(*options);
}
