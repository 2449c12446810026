// Archives dropped on archive-extract in Explorer (or the tool double-clicked): the process has a
// console of its own, which closes with it, and no command line typed by anyone.
#pragma once

#include <functional>
#include <string>

// The folder a dropped archive is extracted into, beside it: its path without the last extension
// ("D:/game/DATA.BIN" gives "D:/game/DATA"); the archive's path and ".extracted" where that is
// the archive's own name (it has no extension) or `isFile` says a file has it. Names are
// separated by either slash: Explorer gives Windows paths.
std::string droppedFolder(const std::string& archive,
                          const std::function<bool(const std::string&)>& isFile);
