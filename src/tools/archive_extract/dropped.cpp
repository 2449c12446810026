#include "dropped.h"

std::string droppedFolder(const std::string& archive,
                          const std::function<bool(const std::string&)>& isFile) {
  const size_t slash = archive.find_last_of("/\\");
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = archive.rfind('.');
  // A name that starts with its only dot (".bin") has no extension: it would leave no name.
  const bool extension = dot != std::string::npos && dot > nameStart;
  const std::string stem = extension ? archive.substr(0, dot) : archive;
  if (!extension || isFile(stem)) return archive + ".extracted";
  return stem;
}
