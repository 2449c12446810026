#include "tree.h"

#include <algorithm>

MountTree::MountTree(const Archive& archive, const TreeLook& look)
    : archive_(archive), look_(look) {
  nodes_.emplace_back("", kRoot, true);
}

void MountTree::add(const SweptEntry& e) {
  const std::string folder = categoryFolder(e.category);
  uint64_t parent = lookup(kRoot, folder);
  if (parent == 0) parent = addChild(kRoot, folder, true);
  if (!e.description.hasData()) return;
  const uint64_t ino = addChild(parent, e.path().substr(folder.size() + 1), false);
  node(ino).d = e.description;
  node(ino).path = e.path();
}

void MountTree::sortFolders() {
  for (Node& n : nodes_) std::sort(n.children.begin(), n.children.end());
  // Numbered again breadth first, each folder's names in order: numbers then ascend in the order
  // of every listing (GNU cp goes through a folder in the order of its inode numbers), and the
  // files of a folder stay consecutive.
  std::vector<uint64_t> order = {kRoot};
  for (size_t i = 0; i < order.size(); ++i) {
    for (const auto& child : node(order[i]).children) order.push_back(child.second);
  }
  std::vector<uint64_t> renumbered(nodes_.size() + 1);
  for (size_t i = 0; i < order.size(); ++i) renumbered[order[i]] = i + 1;
  std::deque<Node> nodes;
  for (const uint64_t old : order) {
    const Node& n = node(old);
    Node& moved = nodes.emplace_back(n.name, renumbered[n.parent], n.folder);
    moved.d = n.d;
    moved.path = n.path;
    for (const auto& [name, child] : n.children) {
      moved.children.emplace_back(name, renumbered[child]);
      moved.byName.emplace(name, renumbered[child]);
    }
  }
  nodes_.swap(nodes);
}

uint64_t MountTree::lookup(uint64_t parent, const std::string& name) const {
  const auto found = node(parent).byName.find(name);
  return found == node(parent).byName.end() ? 0 : found->second;
}

std::optional<FolderItem> MountTree::item(uint64_t ino, uint64_t offset) const {
  const Node& n = node(ino);
  if (offset < 2) return FolderItem{offset == 0 ? "." : "..", offset == 0 ? ino : n.parent, true};
  if (offset - 2 >= n.children.size()) return std::nullopt;
  const auto& [name, child] = n.children[offset - 2];
  return FolderItem{name.c_str(), child, false};
}

NodeAttributes MountTree::attributes(uint64_t ino) {
  Node& n = node(ino);
  NodeAttributes a;
  a.inode = ino;
  a.folder = n.folder;
  a.owner = look_.owner;
  a.group = look_.group;
  a.seconds = look_.seconds;
  a.nanoseconds = look_.nanoseconds;
  if (n.folder) {
    a.permissions = 0555 & ~look_.mask;
    a.links = 2;
    for (const auto& c : n.children) a.links += node(c.second).folder ? 1 : 0;
  } else {
    a.permissions = 0444 & ~look_.mask;
    a.links = 1;
    a.size = sizeOf(n);
    a.blocks = (a.size + 511) / 512;
  }
  return a;
}

// An entry listed at 0 bytes because its header is not in the archive must fail when read, as any
// damaged entry does, although a file of 0 bytes reads as empty: the mount asks this before it
// lets the kernel keep the size.
bool MountTree::unknownSize(uint64_t ino) {
  Node& n = node(ino);
  if (n.folder) return false;
  sizeOf(n);
  return n.unknownSize;
}

uint64_t MountTree::nextInFolder(uint64_t ino) const {
  const uint64_t after = ino + 1;
  return valid(after) && node(after).parent == node(ino).parent ? after : 0;
}

uint64_t MountTree::addChild(uint64_t parent, const std::string& name, bool folder) {
  nodes_.emplace_back(name, parent, folder);
  const uint64_t ino = nodes_.size();
  node(parent).children.emplace_back(name, ino);
  node(parent).byName.emplace(name, ino);
  return ino;
}

// A plain entry's length; a compressed entry's size from its header, 0 when the archive ends
// before the header does: what --list gives, without decoding anything.
uint64_t MountTree::sizeOf(Node& n) {
  std::call_once(n.sized, [&] {
    if (n.d.kind == EntryKind::Plain) {
      n.size = n.d.length;
    } else {
      const std::optional<uint64_t> size = entryStorage(archive_, n.d).size;
      n.size = size.value_or(0);
      n.unknownSize = !size;
    }
  });
  return n.size;
}
