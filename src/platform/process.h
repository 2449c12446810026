// The process and its machine: the cores it may use, memory with pages of its own,
// whether a standard stream is a terminal, its user and group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The cores this process may run on: those the scheduler allows that are online (at least 1).
unsigned coreCount();

// Memory with pages of its own, outside the heap: its pages go back to the system when it is
// unmapped, whatever the allocator would keep. Zero-filled; nullptr when there is none.
void* mapPages(size_t size);
// Unmaps what mapPages(size) gave.
void unmapPages(void* pages, size_t size);

// The real user and group of the process (0 on Windows, which numbers neither).
uint32_t userId();
uint32_t groupId();

enum class StandardStream : uint8_t { Output, Error };
bool isTerminal(StandardStream stream);
// Whether the terminal on `stream` takes escape sequences (ESC [ K erases to the end of the line),
// turning them on where the console has them off (Windows consoles: virtual-terminal processing).
bool enableTerminalEscapes(StandardStream stream);
// `text` on stderr in one write, so that a console never gets an escape sequence in two pieces
// (stdio may split it). False if it was not written whole.
bool writeError(const std::string& text);

// Called just after a write to stdout failed. Where a reader that closed the pipe sends no SIGPIPE
// (Windows: the write fails with ERROR_NO_DATA or ERROR_BROKEN_PIPE) the process ends there,
// quietly and with status 2, as SIGPIPE would end it on Linux; any other failure returns.
void endIfStdoutClosed();

// Whether the process has a console of its own, which closes when it ends: started from Explorer
// (double-clicked, or files dropped on it), with stdin, stdout and stderr all that console. A
// process started from a console shares it, and one whose streams are pipes or files (a program
// with no console of its own starting it) is not taken for it. Always false on POSIX.
bool ownsConsoleAlone();
// Waits for a key pressed in that console (nothing on POSIX).
void waitForKey();

// Made first in main: the command line as UTF-8 and the standard streams as bytes. On Windows the
// arguments are taken from the wide command line (argc and argv then point at them, for as long
// as this lives), stdin, stdout and stderr are set to binary (no byte of a model changed, \n line
// ends) and a console shows UTF-8; elsewhere nothing changes.
class ProgramArguments {
 public:
  ProgramArguments(int& argc, char**& argv);

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};
