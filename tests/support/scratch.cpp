#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

ScratchFolder::ScratchFolder() {
  std::string name = std::filesystem::temp_directory_path() / "test-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a scratch folder: " << std::strerror(errno);
  }
  path_ = name;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
