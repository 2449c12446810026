// runTool on Windows: CreateProcessW, stdout through a pipe or into a file, stderr into a file.
// What a test asks for that has no Windows meaning (another user, a file size limit, a terminal)
// is refused by failing the test: those tests skip on Windows before they get here.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <psapi.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/windows/internal.h"
#include "support/archive_builder.h"
#include "support/run_tool.h"

namespace {

// One argument as the C runtime's command-line parser reads it back: quoted when it holds a blank
// or a quote or is empty; backslashes doubled only before a quote.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

// The environment block of this process with `settings` added (replacing a variable of the same
// name, compared without regard to case as Windows does).
std::wstring environmentWith(const std::vector<std::string>& settings) {
  std::vector<std::wstring> vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) vars.emplace_back(p);
  FreeEnvironmentStringsW(block);
  const auto nameOf = [](std::wstring s) {
    s = s.substr(0, s.find(L'=', 1));
    std::transform(s.begin(), s.end(), s.begin(), towupper);
    return s;
  };
  for (const std::string& setting : settings) {
    const std::wstring var = wide(setting);
    std::erase_if(vars, [&](const std::wstring& v) { return nameOf(v) == nameOf(var); });
    vars.push_back(var);
  }
  std::wstring out;
  for (const std::wstring& v : vars) out += v + L'\0';
  return out + L'\0';
}

HANDLE createForWriting(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                     &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Outcome runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::filesystem::path& scratch, const RunOptions& options) {
  EXPECT_FALSE(options.asNobody || options.stderrTerminal ||
               options.fileSizeLimit != kNoFileSizeLimit)
      << "no Windows meaning: the test should have skipped";
  std::wstring commandLine;
  for (const std::string& arg : args) {
    commandLine += (commandLine.empty() ? L"" : L" ") + quoted(wide(arg));
  }
  const std::filesystem::path errFile = scratch / "stderr";
  // A child inherits every inheritable handle of the test process: those made for one child are
  // made, handed over and closed while no other thread starts one.
  static std::mutex starting;
  std::unique_lock lock(starting);
  HANDLE err = createForWriting(errFile);
  HANDLE readEnd = nullptr, out = nullptr;
  if (!options.stdoutFile.empty()) {
    out = createForWriting(options.stdoutFile);
  } else {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    EXPECT_TRUE(CreatePipe(&readEnd, &out, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    if (options.closedStdout) CloseHandle(std::exchange(readEnd, nullptr));
  }
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  SetHandleInformation(in, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring environment = environmentWith(options.env);
  PROCESS_INFORMATION process{};
  // Console control events reach the processes attached to the console of the one that sends
  // them: the test gets a console (kept for the rest of its run) for the tool to share.
  if (options.signal == SIGINT) AllocConsole();
  // A process group of its own, so that a Ctrl-Break event reaches the tool alone. Under a loaded
  // Wine a new process now and then dies while its loader starts, before any code of the tool
  // runs, and CreateProcessW answers ERROR_INTERNAL_ERROR: it is started again then.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) {
      if (GetLastError() != ERROR_INTERNAL_ERROR) break;
      Sleep(200);
    }
    started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP,
                             environment.data(), cwd.wstring().c_str(), &startup, &process);
  }
  EXPECT_TRUE(started) << "cannot start " << args[0] << ": error " << GetLastError();
  CloseHandle(out);
  CloseHandle(err);
  CloseHandle(in);
  lock.unlock();
  Outcome run{-1, "", ""};
  if (!started) {
    if (readEnd != nullptr) CloseHandle(readEnd);
    return run;
  }
  bool sent = false;
  const auto stop = [&] {
    if (sent) return;
    sent = true;
    if (options.signal == SIGINT) {
      GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId);
    } else {
      TerminateProcess(process.hProcess, 128 + SIGKILL);
    }
  };
  char buffer[4096];
  DWORD n = 0;
  while (readEnd != nullptr && ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    run.out.append(buffer, n);
    if (options.signalAfterLines > 0 &&
        std::count(run.out.begin(), run.out.end(), '\n') >= options.signalAfterLines) {
      stop();
    }
  }
  if (readEnd != nullptr) CloseHandle(readEnd);
  if (options.signalWhen) {
    while (WaitForSingleObject(process.hProcess, sent ? INFINITE : 1) == WAIT_TIMEOUT) {
      if (options.signalWhen()) stop();
    }
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  run.status = static_cast<int>(status);
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory)) {
    run.peakKiB = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.err = readFile(errFile);
  if (!options.stdoutFile.empty()) run.out = readFile(options.stdoutFile);
  return run;
}
