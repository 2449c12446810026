// The one error type of the library above the interpreter, the same for every front end: what kind
// of failure it is, the system's error code where the operating system failed (0 otherwise), the
// file or entry it concerns, and the library's words, which name the file and the real reason and
// no option of any front end. Library functions throw it; each front end turns it into its own
// form (a message, a hint of its own and a status; an exception of its language; an errno).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

enum class ErrorKind : uint8_t {
  Host,          // the operating system failed (code() says why): a file, a folder, the disk
  MachineFault,  // the emulated machine stopped on the archive's index; what() is its line
  NotAnArchive,  // the file cannot be an archive of this kind (too short for its index)
  Refused,       // the request cannot be done as asked (a limit, a name that is not there, a
                 // journal left by a stopped update, an edit that would harm other entries)
  EntryProblem,  // one entry cannot be read: no data, corrupt, incomplete, unsupported
};

// What the caller can do about it, which each front end words in its own terms (an option of the
// command line, a keyword argument or a function of the module) after the library's message.
enum class ErrorHint : uint8_t {
  None,
  LiftOutputBound,  // the run would pass the output bound; the caller may lift the bound
  RecoverFirst,     // a stopped update left its journal; recover the archive first
  EditInPlace,      // an edit that would need room for a whole new copy can be made in place
  PlainMethod,      // the file does not fit its entry's storage; storing it plain would do
  EditByCopy,       // an edit in place cannot be made; one that writes a new copy can
  RecoverToFinish,  // the edit stopped after its journal was whole; recovering completes it
  UpdateOrReplace,  // the archive to build exists; update it, or ask for it to be replaced
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message, std::string path = {}, int code = 0,
        ErrorHint hint = ErrorHint::None)
      : std::runtime_error(message),
        kind_(kind),
        code_(code),
        path_(std::move(path)),
        hint_(hint) {}
  // A failure of the system when `code` is set, a refusal otherwise.
  explicit Error(const std::string& message, int code = 0, std::string path = {})
      : Error(code != 0 ? ErrorKind::Host : ErrorKind::Refused, message, std::move(path), code) {}

  ErrorKind kind() const { return kind_; }
  int code() const { return code_; }
  // The file, folder or entry ("models - g/0001.raw") it concerns; empty when none is.
  const std::string& path() const { return path_; }
  ErrorHint hint() const { return hint_; }

 private:
  ErrorKind kind_;
  int code_;
  std::string path_;
  ErrorHint hint_;
};

// "WHAT: REASON" for the system error `code`.
std::string withReason(const std::string& what, int code);
// Throws "WHAT: REASON" for the current errno (or `code`), concerning `path`.
[[noreturn]] void throwSystemError(const std::string& what);
[[noreturn]] void throwSystemError(const std::string& what, int code, const std::string& path = {});
