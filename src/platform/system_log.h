// The system's log, where a daemon says what went wrong once it has no terminal. POSIX systems
// only: the one daemon, archive-mount, is built nowhere else.
#pragma once

#include <string>

// Lines from here on are tagged `name` (which must outlive the log: a literal) and the process id.
void openSystemLog(const char* name);
// One line at the priority of an error.
void logError(const std::string& message);
