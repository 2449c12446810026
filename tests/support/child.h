// Runs a piece of the test in a child process, so that a fault of the emulated machine (a line on
// stdout and exit status 1) can be observed without ending the test.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
  int exitStatus;  // -1 if the child did not exit normally
  std::string out;
  std::string err;
};

// Forks; the child runs `body` with stdout and stderr captured, then exits with status 0 if the
// body returned. The parent waits and returns what the child printed and its exit status.
ChildResult runInChild(const std::function<void()>& body);
