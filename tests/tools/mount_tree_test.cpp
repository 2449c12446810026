// archive-mount's tree without FUSE, built from a small archive as the tool builds it (its command
// line parsed, the selection swept): the names and sizes of what it shows, damaged and cut-off
// entries among them, lookups, inode numbers, attributes and the listing of a folder in pieces.
#include <getopt.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "options.h"
#include "support/archive_builder.h"
#include "support/scratch.h"
#include "tree.h"

namespace {

constexpr TreeLook kLook{.owner = 7, .group = 8, .mask = 027, .seconds = 100, .nanoseconds = 5};

struct Mounted {
  std::unique_ptr<Archive> archive;
  std::unique_ptr<MountTree> tree;
  std::map<std::string, uint64_t> inodes;  // every file and folder by path
  std::string text;  // a line each: "folder/", "file size", with "?" when the size is unknown
};

// Every file and folder below folder `ino`, by its listing, each found by its name. Numbers
// ascend in the order of each listing (a copy goes through a folder in the order of its numbers).
void walk(uint64_t ino, const std::string& prefix, Mounted& m) {
  uint64_t last = 0;
  for (uint64_t i = 2; const std::optional<FolderItem> item = m.tree->item(ino, i); ++i) {
    const std::string path = prefix + item->name;
    EXPECT_GT(item->inode, last) << path;
    last = item->inode;
    const NodeAttributes a = m.tree->attributes(item->inode);
    m.inodes[path] = item->inode;
    EXPECT_EQ(m.tree->lookup(ino, item->name), item->inode) << path;
    EXPECT_FALSE(item->dots) << path;
    m.text += path + (a.folder ? "/" : " " + std::to_string(a.size)) +
              (m.tree->unknownSize(item->inode) ? "?\n" : "\n");
    if (a.folder) walk(item->inode, path + "/", m);
  }
}

// The tree archive-mount shows of `file` given the command line words `args`.
Mounted mount(const std::string& file, const std::vector<std::string>& args = {}) {
  std::vector<std::string> words = args;
  words.insert(words.begin(), {"archive-mount", file, "mnt"});
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  int status = 0;
  optind = 0;
  std::optional<MountOptions> o =
      parseMountOptions(static_cast<int>(argv.size()), argv.data(), status);
  EXPECT_TRUE(o);
  Mounted m{Archive::open(file), nullptr, {}, {}};
  m.tree = std::make_unique<MountTree>(*m.archive, kLook);
  Sweep sweep = m.archive->entries(o->selection);
  while (std::optional<SweptEntry> e = sweep.next()) {
    if (e->description.exists()) m.tree->add(*e);
  }
  m.tree->sortFolders();
  walk(MountTree::kRoot, "", m);
  return m;
}

class MountTreeTest : public ::testing::Test {
 protected:
  // g: plain, compressed, corrupt, an unsupported method, no data; hc: no data alone; w, far on:
  // plain and compressed, which the cut-short archive ends in.
  MountTreeTest() {
    std::mt19937_64 rng(1);
    const std::string data = content(rng, 5000);
    std::string corrupt = encode(1, data), unsupported = encode(2, data);
    corrupt[12] = 1;  // a back-reference before the first byte
    unsupported[4] = 3;
    const Entry noData{plainEntryWord(kNoDataLength), ""};
    tables = {{0,
               {plain("abc"), compressed(1, data), compressed(corrupt, data.size()),
                compressed(unsupported, data.size()), noData}},
              {2, {noData}},
              {3, {plain(std::string(4000, 'x')), compressed(2, data.substr(0, 3000))}, 10}};
    writeArchive(archive, tables);
  }
  ScratchFolder dir;
  std::string archive = (dir / "archive.bin").string();
  std::vector<Table> tables;
};

// Each entry with data is a file at --list's size (0 when its header is cut off), those that
// extraction leaves out too; a folder for each category with an entry, one without data too.
// Members, --category and --entries choose what is shown, as they choose what is extracted.
TEST_F(MountTreeTest, ShowsEachEntryWithDataAtItsListedSize) {
  const std::string g =
      "models - g/\nmodels - g/0000.raw 3\nmodels - g/0001.raw 5000\n"
      "models - g/0002.raw 5000\nmodels - g/0003.raw 5000\n";
  const std::string hcW = "models - hc/\nmodels - w/\nmodels - w/0000.raw 4000\n";
  const struct {
    std::vector<std::string> args;
    uint64_t size;  // of the archive; 0: whole
    std::string text;
  } cases[] = {{{}, 0, g + hcW + "models - w/0001.raw 3000\n"},
               {{}, kDataStart + 11 * 2048, g + hcW + "models - w/0001.raw 0?\n"},
               {{"--category", "hc,w"}, 0, hcW + "models - w/0001.raw 3000\n"},
               {{"--entries", "1"},
                0,
                "models - g/\nmodels - g/0001.raw 5000\nmodels - w/\nmodels - w/0001.raw 3000\n"},
               {{"models - g/0002.raw", "models - hc"},
                0,
                "models - g/\nmodels - g/0002.raw 5000\nmodels - hc/\n"}};
  for (const auto& c : cases) {
    writeArchive(archive, tables, c.size);
    EXPECT_EQ(mount(archive, c.args).text, c.text) << c.size << (c.args.empty() ? "" : c.args[0]);
  }
}

// Lookups find what the listing shows, under the same numbers in every tree of the archive, each
// number its own; the attributes follow the look given; a listing goes on from any offset.
TEST_F(MountTreeTest, LooksUpAndListsUnderStableNumbers) {
  Mounted m = mount(archive);
  EXPECT_EQ(m.inodes, mount(archive).inodes);
  std::set<uint64_t> distinct = {MountTree::kRoot};
  for (const auto& [path, ino] : m.inodes) distinct.insert(ino);
  EXPECT_EQ(distinct.size(), m.inodes.size() + 1);
  EXPECT_EQ(m.tree->nodeCount(), distinct.size());

  const auto at = [&](const std::string& path) {
    return path.empty() ? MountTree::kRoot : m.inodes.at(path);
  };
  // Not there: an entry without data, part of a name, a file at the wrong level, a category
  // without entries.
  for (const std::string path : {"models - g/0004.raw", "models - g/0001", "models - hc/0000.raw",
                                 "0000.raw", "models - c"}) {
    const size_t slash = path.rfind('/');
    const uint64_t folder =
        slash == std::string::npos ? MountTree::kRoot : at(path.substr(0, slash));
    EXPECT_EQ(m.tree->lookup(folder, path.substr(slash + 1)), 0u) << path;
  }

  // Path, folder, permissions (the mask 027 taken), links, size, blocks of 512 bytes.
  const std::tuple<const char*, bool, uint32_t, uint64_t, uint64_t, uint64_t> attributes[] = {
      {"", true, 0550, 5, 0, 0},
      {"models - hc", true, 0550, 2, 0, 0},
      {"models - g/0000.raw", false, 0440, 1, 3, 1},
      {"models - g/0002.raw", false, 0440, 1, 5000, 10}};
  for (const auto& [path, folder, permissions, links, size, blocks] : attributes) {
    const NodeAttributes a = m.tree->attributes(at(path));
    EXPECT_EQ(std::tie(a.inode, a.folder, a.permissions, a.links, a.size, a.blocks),
              std::make_tuple(at(path), folder, permissions, links, size, blocks))
        << path;
    EXPECT_EQ(std::tie(a.owner, a.group, a.seconds, a.nanoseconds),
              std::tie(kLook.owner, kLook.group, kLook.seconds, kLook.nanoseconds));
  }

  // A listing goes on from any offset as it went from the first, which "." and ".." begin.
  const auto list = [&](uint64_t folder, uint64_t start) {
    std::vector<std::tuple<std::string, uint64_t, bool>> items;
    for (uint64_t i = start; const std::optional<FolderItem> item = m.tree->item(folder, i); ++i) {
      items.emplace_back(item->name, item->inode, item->dots);
    }
    return items;
  };
  for (const uint64_t folder : {MountTree::kRoot, at("models - g")}) {
    const auto all = list(folder, 0);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0], std::make_tuple(".", folder, true));
    EXPECT_EQ(all[1], std::make_tuple("..", MountTree::kRoot, true));
    for (size_t start = 1; start <= all.size(); ++start) {
      EXPECT_EQ(list(folder, start),
                decltype(all)(all.begin() + static_cast<ptrdiff_t>(start), all.end()));
    }
  }
  // Reads go on to the next file of the folder, not past it.
  EXPECT_EQ(m.tree->nextInFolder(at("models - g/0001.raw")), at("models - g/0002.raw"));
  EXPECT_EQ(m.tree->nextInFolder(at("models - g/0003.raw")), 0u);
}

}  // namespace
