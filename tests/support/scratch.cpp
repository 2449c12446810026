#include "support/scratch.h"

#include <gtest/gtest.h>

#include <random>
#include <system_error>

ScratchFolder::ScratchFolder() {
  std::random_device seed;
  std::mt19937_64 rng(seed());
  std::error_code error;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  for (int attempt = 0; attempt < 100 && !error; ++attempt) {
    std::filesystem::path name = temp / ("test-" + std::to_string(rng() % 1000000000));
    if (std::filesystem::create_directory(name, error)) {
      path_ = std::move(name);
      return;
    }
  }
  ADD_FAILURE() << "cannot make a scratch folder: " << error.message();
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}
