#include "support/run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>

#include "support/archive_builder.h"

namespace {

// A terminal in raw mode: [0] the side the test reads, [1] the tool's.
void openTerminal(int fds[2]) {
  fds[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_TRUE(grantpt(fds[0]) == 0 && unlockpt(fds[0]) == 0);
  fds[1] = open(ptsname(fds[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode;
  tcgetattr(fds[1], &mode);
  cfmakeraw(&mode);
  tcsetattr(fds[1], TCSANOW, &mode);
}

// The peak resident memory of process `pid` since it started the tool, in KiB (0 where /proc does
// not say); what wait4() gives also counts the test's pages, which the child shares until then.
long peakSinceExec(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("VmHWM:", 0) != 0) continue;
  return status ? std::stol(line.substr(6)) : 0;
}

}  // namespace

Outcome runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::filesystem::path& scratch, const RunOptions& options) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  const std::string errFile = scratch / "stderr";
  int err = open(errFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (options.stderrTerminal) {  // the terminal is read as stdout would be
    close(err);
    openTerminal(fds);
    err = fds[1];
    fds[1] = open("/dev/null", O_WRONLY | O_CLOEXEC);
  } else if (!options.stdoutFile.empty()) {
    fds[1] = open(options.stdoutFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  } else if (options.signalAfterLines > 0) {
    openTerminal(fds);
  } else {
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    if (options.closedStdout) close(std::exchange(fds[0], -1));
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const rlim_t size =
        options.fileSizeLimit == kNoFileSizeLimit ? RLIM_INFINITY : options.fileSizeLimit;
    const rlimit limit{size, size};
    signal(SIGXFSZ, SIG_IGN);
    for (const std::string& setting : options.env) putenv(const_cast<char*>(setting.c_str()));
    if (chdir(cwd.c_str()) == 0 && dup2(fds[1], 1) == 1 && dup2(err, 2) == 2 &&
        (size == RLIM_INFINITY || setrlimit(RLIMIT_FSIZE, &limit) == 0) &&
        (!options.asNobody ||
         (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0))) {
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  close(fds[1]);
  close(err);
  Outcome run{-1, "", ""};
  char buffer[4096];
  for (ssize_t n; fds[0] >= 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    run.out.append(buffer, static_cast<size_t>(n));  // a terminal ends in EIO
    if (options.signalAfterLines > 0 &&
        std::count(run.out.begin(), run.out.end(), '\n') >= options.signalAfterLines) {
      kill(pid, options.signal);
    }
  }
  if (fds[0] >= 0) close(fds[0]);
  int status = 0;
  rusage usage{};
  if (options.signalWhen) {
    for (bool sent = false;;) {
      const pid_t done = wait4(pid, &status, sent ? 0 : WNOHANG, &usage);
      if (done != 0) break;
      if (options.signalWhen()) {
        run.peakKiB = peakSinceExec(pid);
        kill(pid, options.signal);
        sent = true;
      } else {
        usleep(500);
      }
    }
  } else {
    EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
  }
  if (run.peakKiB == 0) run.peakKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.err = options.stderrTerminal ? std::exchange(run.out, "") : readFile(errFile);
  if (!options.stdoutFile.empty() && options.stdoutFile != "/dev/full") {
    run.out = readFile(options.stdoutFile);
  }
  return run;
}
