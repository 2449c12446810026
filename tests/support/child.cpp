#include "support/child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

std::string contents(FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(out), contents(err)};
}
