// The one error type of the library above the interpreter: what failed, in words that name the
// file and the real reason, and the system's error code (0 when the failure is the archive's or
// the request's, not the operating system's). Library functions throw it; each front end turns it
// into its own form (a message and status 2, an exception of its language, an errno).
#pragma once

#include <stdexcept>
#include <string>

class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& message, int code = 0)
      : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// "WHAT: REASON" for the system error `code`.
std::string withReason(const std::string& what, int code);
// Throws "WHAT: REASON" for the current errno.
[[noreturn]] void throwSystemError(const std::string& what);
[[noreturn]] void throwSystemError(const std::string& what, int code);
