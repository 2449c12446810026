// The mounted tree: a folder per category that has entries, a file per entry with data, named as
// archive-extract names them, each with a number of its own (the inode the kernel is given) and
// its attributes. Built once before the mount and never changed after, so that its numbers and
// names hold for as long as the mount does; only sizes are read later, the first time each is
// asked for.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/archive.h"

// What every file and folder shows alike.
struct TreeLook {
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mask = 0;    // permission bits taken away (the umask)
  int64_t seconds = 0;  // the time of every file and folder: the archive's last change
  uint32_t nanoseconds = 0;
};

// What stat() shows of a file or folder.
struct NodeAttributes {
  uint64_t inode = 0;
  bool folder = false;
  uint32_t permissions = 0;  // 0444 for a file, 0555 for a folder, less the mask
  uint64_t links = 0;        // a folder's: 2 and one per folder in it
  uint64_t size = 0;
  uint64_t blocks = 0;  // of 512 bytes
  uint32_t owner = 0;
  uint32_t group = 0;
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
};

// One name of a folder's listing.
struct FolderItem {
  const char* name;
  uint64_t inode;
  bool dots;  // "." or "..": a folder shown by its number alone
};

class MountTree {
 public:
  static constexpr uint64_t kRoot = 1;

  // The tree of `archive`, which outlives it: the root alone until entries are added.
  MountTree(const Archive& archive, const TreeLook& look);

  // Adds the folder of an entry that exists (extraction makes it even for an entry without data)
  // and a file for an entry with data.
  void add(const SweptEntry& e);
  // Puts every folder's names in order, once all entries are added.
  void sortFolders();

  uint64_t nodeCount() const { return nodes_.size(); }
  bool valid(uint64_t ino) const { return ino >= kRoot && ino - 1 < nodes_.size(); }
  bool folder(uint64_t ino) const { return node(ino).folder; }
  // The file or folder `name` in folder `parent`; 0 when there is none.
  uint64_t lookup(uint64_t parent, const std::string& name) const;
  // Item `offset` of folder `ino`'s listing: ".", "..", then its names in order. A listing that
  // stops after item k goes on from offset k + 1. Nothing past the last.
  std::optional<FolderItem> item(uint64_t ino, uint64_t offset) const;
  NodeAttributes attributes(uint64_t ino);
  // A compressed entry listed at 0 bytes because the archive ends before its header does.
  bool unknownSize(uint64_t ino);

  // A file's entry and its path as extraction names it.
  const EntryDescription& description(uint64_t ino) const { return node(ino).d; }
  const std::string& path(uint64_t ino) const { return node(ino).path; }
  // The file after `ino` in its folder; 0 for the last.
  uint64_t nextInFolder(uint64_t ino) const;
  // True the first time only: a file's problem is said once.
  bool firstReport(uint64_t ino) { return !node(ino).reported.exchange(true); }

 private:
  struct Node {
    Node(std::string name, uint64_t parent, bool folder)
        : name(std::move(name)), parent(parent), folder(folder) {}
    std::string name;
    uint64_t parent;
    bool folder;
    // A folder's: its children in name order, and by name.
    std::vector<std::pair<std::string, uint64_t>> children;
    std::unordered_map<std::string, uint64_t> byName;
    // A file's: the entry and its path.
    EntryDescription d{};
    std::string path;
    // Its size, read from the header of a compressed entry the first time it is asked for.
    std::once_flag sized;
    uint64_t size = 0;
    bool unknownSize = false;
    std::atomic<bool> reported{false};
  };

  Node& node(uint64_t ino) { return nodes_[ino - 1]; }
  const Node& node(uint64_t ino) const { return nodes_[ino - 1]; }
  uint64_t addChild(uint64_t parent, const std::string& name, bool folder);
  uint64_t sizeOf(Node& n);

  const Archive& archive_;
  TreeLook look_;
  std::deque<Node> nodes_;  // inode N is nodes_[N - 1]; the root first
};
