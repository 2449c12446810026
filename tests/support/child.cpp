#include "support/child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    std::abort();
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  ChildResult result{-1, {}, {}};
  std::thread errReader([&] { result.err = drain(err[0]); });
  result.out = drain(out[0]);
  errReader.join();
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}
