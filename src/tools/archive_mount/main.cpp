// archive-mount [OPTION]... ARCHIVE MOUNTPOINT [MEMBER]...: shows the entries of the archive as
// the read-only tree that archive-extract writes, through FUSE. The entries are looked up before
// the mount; a plain entry is then read where it lies in the archive, a compressed one decoded
// when first read, into a bounded cache.
//
// Exit status: 0 unmounted; 1 a fault of the emulated machine during the lookups (its line on
// stdout); 2 anything else (bad argument, unreadable archive, a mount point that is not an empty
// folder, members not found, a mount that failed).
#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/archive.h"
#include "api/error.h"
#include "api/read.h"
#include "options.h"

namespace {

// The kernel keeps names and attributes this long: nothing in the tree ever changes.
constexpr double kAttributeTimeout = 3600.0;
// Threads of the FUSE loop at most: as many entries decode at once.
constexpr unsigned kMaxThreads = 8;

struct Node {
  Node(std::string name, fuse_ino_t parent, bool folder)
      : name(std::move(name)), parent(parent), folder(folder) {}
  std::string name;
  fuse_ino_t parent;
  bool folder;
  // A folder's: its children in name order, and by name.
  std::vector<std::pair<std::string, fuse_ino_t>> children;
  std::unordered_map<std::string, fuse_ino_t> byName;
  // A file's: the entry and its path as extraction names it.
  EntryDescription d{};
  std::string path;
  // Its size, read from the header of a compressed entry the first time it is asked for.
  std::once_flag sized;
  uint64_t size = 0;
  bool unknownSize = false;
  std::atomic<bool> reported{false};  // its problem was said once
};

class Mount {
 public:
  Mount(std::unique_ptr<Archive> archive, const MountOptions& o)
      : archive_(std::move(archive)),
        cache_(*archive_, o.cacheSize, [this](uint64_t ino) { logDecode(ino); }),
        foreground_(o.foreground) {
    struct stat st {};
    if (fstat(archive_->file().get(), &st) == 0) time_ = st.st_mtim;
    const mode_t mask = umask(0);
    umask(mask);
    fileMode_ = S_IFREG | (0444 & ~mask);
    folderMode_ = S_IFDIR | (0555 & ~mask);
    uid_ = o.uid ? *o.uid : getuid();
    gid_ = o.gid ? *o.gid : getgid();
    if (const char* log = std::getenv("ARCHIVE_MOUNT_DECODE_LOG"); log != nullptr && *log != 0) {
      decodeLog_ = FileHandle(::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    }
    nodes_.emplace_back("", FUSE_ROOT_ID, true);
  }

  // Adds the folder of every entry that exists (extraction makes it even for an entry without
  // data) and a file for every entry with data.
  void add(const SweptEntry& e) {
    const std::string folder = categoryFolder(e.category);
    fuse_ino_t parent = child(FUSE_ROOT_ID, folder);
    if (parent == 0) parent = addChild(FUSE_ROOT_ID, folder, true);
    if (!e.description.hasData()) return;
    const fuse_ino_t ino = addChild(parent, e.path().substr(folder.size() + 1), false);
    node(ino).d = e.description;
    node(ino).path = e.path();
  }
  void sortFolders() {
    for (Node& n : nodes_) std::sort(n.children.begin(), n.children.end());
  }

  void setForeground(bool foreground) { foreground_ = foreground; }

  void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (!valid(parent) || !node(parent).folder) return void(fuse_reply_err(req, ENOTDIR));
    const fuse_ino_t ino = child(parent, name);
    if (ino == 0) return void(fuse_reply_err(req, ENOENT));
    fuse_entry_param entry{};
    describe(ino, entry);
    fuse_reply_entry(req, &entry);
  }

  // `reading`: asked by the kernel before a read past the end it knows (it gives the file then),
  // as opposed to stat().
  void getattr(fuse_req_t req, fuse_ino_t ino, bool reading) {
    if (!valid(ino)) return void(fuse_reply_err(req, ENOENT));
    if (reading && unknownSize(node(ino))) {
      reportOnce(node(ino), EntryError(node(ino).path, EntryProblem::Incomplete).what());
      return void(fuse_reply_err(req, EIO));
    }
    struct stat st {};
    attributes(ino, st);
    fuse_reply_attr(req, &st, timeoutOf(ino));
  }

  // A folder's entries from `offset` on; with `plus`, each with its attributes, so that a reader
  // going through the folder (ls -l, cp -r, find -ls) needs no lookup per file.
  void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    if (!valid(ino) || !node(ino).folder) return void(fuse_reply_err(req, ENOTDIR));
    const Node& n = node(ino);
    std::vector<char> buffer(size);
    size_t used = 0;
    // Offsets: 1 after ".", 2 after "..", 3 + i after child i.
    for (size_t i = static_cast<size_t>(offset); i < n.children.size() + 2; ++i) {
      fuse_entry_param entry{};
      const char* name;
      if (i < 2) {
        name = i == 0 ? "." : "..";
        entry.attr.st_ino = i == 0 ? ino : n.parent;
        entry.attr.st_mode = S_IFDIR;
      } else {
        name = n.children[i - 2].first.c_str();
        describe(n.children[i - 2].second, entry);
      }
      const auto next = static_cast<off_t>(i + 1);
      char* at = buffer.data() + used;
      const size_t wanted = plus ? fuse_add_direntry_plus(req, at, size - used, name, &entry, next)
                                 : fuse_add_direntry(req, at, size - used, name, &entry.attr, next);
      if (wanted > size - used) break;
      used += wanted;
    }
    fuse_reply_buf(req, buffer.data(), used);
  }

  // Where the kernel allows it, files open without asking the mount (a request less per file:
  // a copy of the tree is mostly round trips to the mount). The kernel then keeps each file's
  // bytes between opens, and the mount being read-only refuses opens for writing itself.
  void init(fuse_conn_info* conn) { noOpen_ = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0; }

  void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (!valid(ino)) return void(fuse_reply_err(req, ENOENT));
    if (node(ino).folder) return void(fuse_reply_err(req, EISDIR));
    if (noOpen_) return void(fuse_reply_err(req, ENOSYS));
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
      return void(fuse_reply_err(req, EROFS));
    }
    fi->keep_cache = 1;  // the bytes never change: the kernel may keep them between opens
    fi->direct_io = unknownSize(node(ino)) ? 1 : 0;  // so that its reads come here and fail
    fuse_reply_open(req, fi);
  }

  // A plain entry is read where it lies, a compressed one from the cache. Files are mostly read in
  // name order (cp -r, tar, a loop over a folder): the next entry of the folder follows each in
  // the cache's order, so that it decodes ahead while this one is read.
  void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset) {
    if (!valid(ino) || node(ino).folder) return void(fuse_reply_err(req, EISDIR));
    Node& n = node(ino);
    const auto position = static_cast<uint64_t>(offset);
    const fuse_ino_t after = ino + 1;
    std::optional<DecodeCache::Entry> next;
    if (valid(after) && node(after).parent == n.parent) next = {{after, node(after).d}};
    try {
      const EntryBytes bytes = openEntry(*archive_, n.d, n.path,
                                         {.outputBound = false,
                                          .cache = &cache_,
                                          .key = ino,
                                          .start = position,
                                          .end = position + size,
                                          .next = next ? &*next : nullptr});
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
        reportOnce(n, error.what());
      }
      fuse_reply_err(req, EIO);
    }
  }

  void statfs(fuse_req_t req) {
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_blocks = (archive_->size() + 4095) / 4096;
    st.f_files = nodes_.size();
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
  }

 private:
  bool valid(fuse_ino_t ino) const { return ino >= FUSE_ROOT_ID && ino - 1 < nodes_.size(); }
  Node& node(fuse_ino_t ino) { return nodes_[ino - 1]; }

  fuse_ino_t child(fuse_ino_t parent, const std::string& name) {
    const auto found = node(parent).byName.find(name);
    return found == node(parent).byName.end() ? 0 : found->second;
  }
  fuse_ino_t addChild(fuse_ino_t parent, const std::string& name, bool folder) {
    nodes_.emplace_back(name, parent, folder);
    const fuse_ino_t ino = nodes_.size();
    node(parent).children.emplace_back(name, ino);
    node(parent).byName.emplace(name, ino);
    return ino;
  }

  // A plain entry's length; a compressed entry's size from its header, 0 when the archive ends
  // before the header does: what --list gives, without decoding anything.
  uint64_t sizeOf(Node& n) {
    std::call_once(n.sized, [&] {
      if (n.d.kind == EntryKind::Plain) {
        n.size = n.d.length;
      } else {
        const std::optional<uint64_t> size = entryStorage(*archive_, n.d).size;
        n.size = size.value_or(0);
        n.unknownSize = !size;
      }
    });
    return n.size;
  }
  // An entry listed at 0 bytes because its header is not in the archive: reading it must fail as
  // reading any damaged entry does, but the kernel reads a file of 0 bytes as empty without
  // asking. So its attributes are never kept, and the kernel asks for them again before it reads;
  // the answer to that is the error.
  bool unknownSize(Node& n) {
    sizeOf(n);
    return n.unknownSize;
  }
  double timeoutOf(fuse_ino_t ino) {
    return !node(ino).folder && unknownSize(node(ino)) ? 0.0 : kAttributeTimeout;
  }
  void describe(fuse_ino_t ino, fuse_entry_param& entry) {
    entry.ino = ino;
    entry.attr_timeout = entry.entry_timeout = timeoutOf(ino);
    attributes(ino, entry.attr);
  }

  void attributes(fuse_ino_t ino, struct stat& st) {
    Node& n = node(ino);
    st.st_ino = ino;
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_atim = st.st_mtim = st.st_ctim = time_;
    if (n.folder) {
      st.st_mode = folderMode_;
      st.st_nlink = 2;
      for (const auto& c : n.children) st.st_nlink += node(c.second).folder ? 1 : 0;
    } else {
      st.st_mode = fileMode_;
      st.st_nlink = 1;
      st.st_size = static_cast<off_t>(sizeOf(n));
      st.st_blocks = (st.st_size + 511) / 512;
    }
  }

  // The test hook: one line per decode.
  void logDecode(fuse_ino_t ino) {
    if (!decodeLog_.valid()) return;
    const std::string line = node(ino).path + "\n";
    [[maybe_unused]] const ssize_t written = ::write(decodeLog_.get(), line.data(), line.size());
  }

  void reportOnce(Node& n, const std::string& message) {
    if (!n.reported.exchange(true)) report(message);
  }
  void report(const std::string& message) {
    if (foreground_) {
      std::fprintf(stderr, "archive-mount: %s\n", message.c_str());
    } else {
      syslog(LOG_ERR, "%s", message.c_str());
    }
  }

  std::unique_ptr<Archive> archive_;
  std::deque<Node> nodes_;  // inode N is nodes_[N - 1]; the root first
  FileHandle decodeLog_;    // the test hook: one line per decode (closed after the cache's thread)
  DecodeCache cache_;
  bool foreground_;
  timespec time_{};
  mode_t fileMode_ = 0, folderMode_ = 0;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool noOpen_ = false;
};

Mount& mountOf(fuse_req_t req) { return *static_cast<Mount*>(fuse_req_userdata(req)); }

const fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops ops{};
  ops.init = [](void* mount, fuse_conn_info* conn) { static_cast<Mount*>(mount)->init(conn); };
  ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
    mountOf(req).lookup(req, parent, name);
  };
  ops.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    mountOf(req).getattr(req, ino, fi != nullptr);
  };
  ops.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).readdir(req, ino, size, offset, false);
  };
  ops.readdirplus = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).readdir(req, ino, size, offset, true);
  };
  ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    mountOf(req).open(req, ino, fi);
  };
  ops.read = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    mountOf(req).read(req, ino, size, offset);
  };
  ops.statfs = [](fuse_req_t req, fuse_ino_t) { mountOf(req).statfs(req); };
  return ops;
}();

void say(const std::string& message) {
  std::fprintf(stderr, "archive-mount: %s\n", message.c_str());
}

// Refuses anything but an empty folder, before anything is mounted on it.
bool emptyFolder(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    say(withReason("cannot mount on " + path, errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    say("cannot mount on " + path + ": not a folder");
    return false;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    say(withReason("cannot mount on " + path, errno));
    return false;
  }
  bool empty = true;
  while (const dirent* d = readdir(dir)) {
    if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  if (!empty) say("cannot mount on " + path + ": the folder is not empty");
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

  std::vector<SweptEntry> entries;
  try {
    Sweep sweep = archive->entries(o.selection);
    while (std::optional<SweptEntry> e = sweep.next()) {
      if (e->description.exists()) entries.push_back(*e);
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
      say(m.text + ": not found in archive");
      missing = true;
    }
  }
  if (missing) return 2;

  Mount tree(std::move(archive), o);
  for (const SweptEntry& e : entries) tree.add(e);
  tree.sortFolders();
  entries = {};

  std::string options =
      "ro,default_permissions,fsname=" + escaped(o.archive) + ",subtype=archive-mount";
  if (!o.fuseOptions.empty()) options += "," + o.fuseOptions;
  options += ",ro";  // last: an rw given with -o does not make it writable
  std::vector<std::string> words = {"archive-mount", "-o", options};
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& w : words) argv.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_session* session = fuse_session_new(&args, &kOperations, sizeof kOperations, &tree);
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
      if (!o.foreground) openlog("archive-mount", LOG_PID, LOG_USER);
      // The parent returns once the mount is there and this process serves it.
      fuse_daemonize(o.foreground ? 1 : 0);
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, kMaxThreads);
      // Positive: the signal that ended it, which unmounts as cleanly as fusermount3 -u.
      status = fuse_session_loop_mt(session, config) < 0 ? 2 : 0;
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
