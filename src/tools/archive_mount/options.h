// The command line of archive-mount.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "api/archive.h"

struct MountOptions {
  bool foreground = false;      // -f: serve the mount from this process until unmounted
  std::string fuseOptions;      // -o, without what the tool itself takes (uid, gid)
  std::optional<uint32_t> uid;  // -o uid=N: the owner shown
  std::optional<uint32_t> gid;  // -o gid=N: the group shown
  uint64_t cacheSize = uint64_t{256} << 20;  // --cache-size: decoded entries kept, in bytes
  std::optional<std::string> logFile;        // --log: where the reasons of failed reads go
  unsigned jobs = 0;                // --jobs: workers storing entries ahead (0: one per core)
  std::optional<uint32_t> maxRead;  // -o max_read=N, which FUSE is given as well
  std::string archive;
  std::string mountpoint;
  Selection selection;
};

// "256M", "1G", "4096": bytes with an optional K, M or G (powers of 1024).
std::optional<uint64_t> parseByteSize(const std::string& text);

// Parses the command line. On a usage error or after --help or --version it prints what it must
// and sets `status` (2 or 0); the caller then exits with it.
std::optional<MountOptions> parseMountOptions(int argc, char** argv, int& status);
