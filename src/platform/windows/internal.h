// Shared by the Win32 implementation: text between the program's UTF-8 and the system's UTF-16,
// paths in the system's long form, the handle behind a descriptor, and Win32 errors carried as
// errno values (for the logic above) with the system's own words kept for the message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/internal.h"

std::wstring wide(const std::string& text);
std::string narrow(const std::wstring& text);

// `path` as the system takes it: backslashes, absolute, and prefixed with \\?\ so that paths
// longer than MAX_PATH work without the user's registry switch.
std::wstring systemPath(const std::string& path);

// The handle a descriptor stands for; INVALID_HANDLE_VALUE for none.
HANDLE osHandle(const FileHandle& file);
// A descriptor that owns `handle` (closed with it); invalid, with errno set, when `handle` is.
FileHandle adoptHandle(HANDLE handle);
// Clears the hidden attribute a temporary file is made with, before it takes its final name (the
// attributes go with the file through a rename). False with the Win32 error set.
bool showFile(const FileHandle& file);

// Sets errno to the nearest value for Win32 error `error` (GetLastError()'s) and remembers the
// error, so that withReason() gives the system's own text for it; returns the errno value.
int setErrnoFrom(DWORD error);
inline int setErrnoFromLast() { return setErrnoFrom(GetLastError()); }
