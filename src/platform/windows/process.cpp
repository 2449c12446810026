// The process on Windows: cores from the affinity mask, consoles, the command line, and what
// Linux alone has (unnamed files: see no_unnamed_files.cpp) reported as absent.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>
#include <tlhelp32.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/process.h"
#include "platform/unnamed_file.h"
#include "platform/windows/internal.h"

unsigned coresAllowed() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 0;
  return static_cast<unsigned>(std::popcount(static_cast<uint64_t>(process)));
}

unsigned coreCount() {
  const unsigned allowed = coresAllowed();
  const unsigned online = std::thread::hardware_concurrency();
  if (allowed > 0) return online > 0 ? std::min(allowed, online) : allowed;
  return online > 0 ? online : 1;
}

void* mapPages(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapPages(void* pages, size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

uint32_t userId() { return 0; }
uint32_t groupId() { return 0; }

bool isTerminal(StandardStream stream) {
  DWORD mode = 0;
  const HANDLE handle =
      GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  return GetConsoleMode(handle, &mode) != 0;
}

bool enableTerminalEscapes(StandardStream stream) {
  DWORD mode = 0;
  const HANDLE handle =
      GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (!GetConsoleMode(handle, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    return false;  // a console before Windows 10
  }
  // A console may take the mode and still show an escape as text (Wine's console window does):
  // an erase to the end of the line must leave the cursor where it was. Text is rubbed out.
  CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
  if (!GetConsoleScreenBufferInfo(handle, &before)) return true;
  DWORD n = 0;
  WriteConsoleW(handle, L"\x1b[K", 3, &n, nullptr);
  if (!GetConsoleScreenBufferInfo(handle, &after)) return true;
  if (after.dwCursorPosition.X == before.dwCursorPosition.X &&
      after.dwCursorPosition.Y == before.dwCursorPosition.Y) {
    return true;
  }
  FillConsoleOutputCharacterW(handle, L' ', n, before.dwCursorPosition, &n);
  SetConsoleCursorPosition(handle, before.dwCursorPosition);
  return false;
}

bool writeError(const std::string& text) {
  DWORD n = 0;
  return WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &n,
                   nullptr) &&
         n == text.size();
}

// The C runtime turns ERROR_NO_DATA into EINVAL: the system's own code tells a closed pipe (Wine
// answers a Unix pipe's EPIPE with ERROR_PIPE_NOT_CONNECTED).
// _doserrno keeps it when a call made since has reset the last error. Other threads may be
// writing files: the process ends at once, as a signal ends it, and the next run removes the
// temporaries.
void endIfStdoutClosed() {
  const DWORD last = GetLastError();
  const auto closed = [](unsigned long e) {
    return e == ERROR_NO_DATA || e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED;
  };
  if (closed(last) || closed(_doserrno)) TerminateProcess(GetCurrentProcess(), 2);
}

namespace {

bool underWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether the process that started this one is a Windows process still running.
bool hasWindowsParent() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  bool found = false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) found = true;
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

bool ownsConsoleAlone() {
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1) return false;
  for (const DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(stream), &mode)) return false;
  }
  // Wine gives a program started from a Unix terminal a console of its own too (the terminal),
  // and no Windows parent: only a program that a Windows process started (Wine's Explorer, or a
  // program asking for a new console) is taken to have a window of its own there.
  return !underWine() || hasWindowsParent();
}

void waitForKey() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  // A key pressed while the work went on does not close the window before it is read.
  FlushConsoleInputBuffer(in);
  INPUT_RECORD record{};
  DWORD n = 0;
  while (ReadConsoleInputW(in, &record, 1, &n) && n == 1) {
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}

bool unnamedUnsupported(int error) { return error == EOPNOTSUPP; }

ProgramArguments::ProgramArguments(int& argc, char**& argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return;
  for (int i = 0; i < count; ++i) strings_.push_back(narrow(words[i]));
  LocalFree(words);
  for (std::string& s : strings_) pointers_.push_back(s.data());
  pointers_.push_back(nullptr);
  argc = count;
  argv = pointers_.data();
}
