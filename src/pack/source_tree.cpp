#include "pack/source_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/categories.h"
#include "platform/error.h"
#include "platform/folder.h"

namespace fs = std::filesystem;

namespace {

// Calls `each` with the path and the kind of every item of `folder`; throws Error when it cannot
// be read.
template <typename Each>
void list(const fs::path& folder, Each each) {
  FolderNames names = listFolder(Folder(), textOfPath(folder));
  const char* name = names.valid() ? names.next() : nullptr;
  for (; name != nullptr; name = names.next()) {
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
      each(folder / pathOfText(name), name, names.kind());
    }
  }
  if (const int code = errno; code != 0) {
    throw Error(withReason("cannot read the folder " + textOfPath(folder), code), code);
  }
}

// Why the item `name` is no category folder: a "category N" folder whose number is written
// otherwise than its folder's name is told the name that would be taken.
std::string notACategoryFolder(const std::string& name) {
  constexpr std::string_view kPrefix = "category ";
  const std::string digits = name.substr(std::min(name.size(), kPrefix.size()));
  const bool numbered =
      name.compare(0, kPrefix.size(), kPrefix) == 0 && !digits.empty() && digits.size() <= 4 &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!numbered) return ": not a category folder";
  const int number = std::stoi(digits);
  if (number > kHighestPossibleCategory) return ": not a category folder (categories end at 255)";
  const std::string folder = categoryFolder(number);
  if (folder.compare(0, kPrefix.size(), kPrefix) != 0) {
    return ": not a category folder; category " + std::to_string(number) + " is named " + folder;
  }
  return ": not a category folder; category folders are named with three digits: " + folder;
}

}  // namespace

SourceTree readSourceTree(const fs::path& source) {
  const std::string name = textOfPath(source);
  errno = 0;
  const std::optional<FileInfo> info = fileInfo(name);
  if (!info) throwSystemError("cannot read the folder " + name, errno != 0 ? errno : ENOENT, name);
  if (!info->directory) throw Error(name + " is not a folder", ENOTDIR, name);
  SourceTree tree;
  list(source, [&](const fs::path& folder, const std::string& name, NameKind kind) {
    const std::optional<int32_t> category = categoryOfFolder(name);
    if (!category || kind != NameKind::Folder) {
      const bool isFolder = kind == NameKind::Folder;
      tree.skipped.push_back(
          {textOfPath(folder) + (isFolder ? notACategoryFolder(name) : ": not a category folder"),
           isFolder, folder});
      return;
    }
    auto& files = tree.files[*category];
    list(folder, [&](const fs::path& file, const std::string& fileName, NameKind fileKind) {
      const std::optional<int32_t> entry = entryOfFileName(fileName);
      if (!entry || fileKind != NameKind::Regular) {
        tree.skipped.push_back({textOfPath(file) + ": not an NNNN.raw file", false, file});
      } else {
        files[*entry] = SourceEntry(file);
      }
    });
  });
  // In the order of their names, not the file system's: the same folder says the same.
  std::sort(tree.skipped.begin(), tree.skipped.end(),
            [](const auto& a, const auto& b) { return a.what < b.what; });
  return tree;
}

SourceFile openSourceFile(const fs::path& path) {
  FileHandle file = openFile(textOfPath(path), OpenMode::ReadNonBlocking);
  if (!file.valid()) throwSystemError("cannot read " + textOfPath(path), errno, textOfPath(path));
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) throwSystemError("cannot read " + textOfPath(path), errno, textOfPath(path));
  if (!info->regular) throw Error(textOfPath(path) + ": not a regular file");
  if (!setBlocking(file))
    throwSystemError("cannot read " + textOfPath(path), errno, textOfPath(path));
  return {std::move(file), info->size};
}

uint64_t largestSourceFile(StorageMethod method) {
  const bool plain = method == StorageMethod::Plain || method == StorageMethod::Auto ||
                     method == StorageMethod::Keep;
  return plain ? kMaxPlainLength : kExpandedSizeMask;
}

void checkSourceSize(const SourceFile& source, const fs::path& path, uint64_t limit) {
  if (source.size > limit) {
    throw Error(textOfPath(path) + ": " + std::to_string(source.size) +
                " bytes do not fit the chosen storage");
  }
}

SourceTree memorySourceTree(
    const std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>>& files) {
  SourceTree tree;
  for (const auto& [name, bytes] : files) {
    const size_t slash = name.find('/');
    const std::optional<int32_t> category =
        slash == std::string::npos ? std::nullopt : categoryOfFolder(name.substr(0, slash));
    const std::optional<int32_t> entry =
        category ? entryOfFileName(name.substr(slash + 1)) : std::nullopt;
    if (!entry) {
      throw Error(
          ErrorKind::Refused,
          name + ": not an entry path (\"models - X/NNNN.raw\" or \"category NNN/NNNN.raw\")",
          name);
    }
    tree.files[*category][*entry] = SourceEntry(name, bytes);
  }
  return tree;
}

std::shared_ptr<const std::vector<uint8_t>> readSourceEntry(const SourceEntry& entry,
                                                            uint64_t limit) {
  if (!entry.bytes)
    return std::make_shared<const std::vector<uint8_t>>(readSourceFile(entry.file, limit));
  if (entry.bytes->size() > limit) {
    throw Error(ErrorKind::Refused,
                entry.name + ": " + std::to_string(entry.bytes->size()) +
                    " bytes do not fit the chosen storage",
                entry.name);
  }
  return entry.bytes;
}

std::vector<uint8_t> readSourceFile(const fs::path& path, uint64_t limit) {
  const SourceFile source = openSourceFile(path);
  checkSourceSize(source, path, limit);
  std::vector<uint8_t> data(static_cast<size_t>(source.size));
  errno = 0;
  if (readAt(source.file, 0, data.data(), data.size()) != data.size()) {
    if (errno != 0) throwSystemError("cannot read " + textOfPath(path), errno, textOfPath(path));
    throw Error("cannot read " + textOfPath(path) + ": it shrank while it was read");
  }
  return data;
}
