// What a packer command tells its caller while it runs, as it happens: the caller shows it (a
// program's stderr), keeps it (a module attaches it to the exception a failure raises), or
// ignores it. A command's results (the entries it changed, what it stored) are its return value.
#pragma once

#include <string>

class PackEvents {
 public:
  virtual ~PackEvents() = default;
  // Something the user should know that is no failure: a journal a stopped update left, completed
  // or discarded; a copy a stopped run left, removed.
  virtual void note(const std::string& text) { (void)text; }
  // A file of the source folder that is no entry's ("PATH: why"), left out.
  virtual void skipped(const std::string& what) { note("skipping " + what); }
  // Said before the command waits for the programs reading the archive to end: "ARCHIVE is in use
  // by PROGRAM (process PID); waiting up to 10 s". The wait may last seconds: show it at once.
  virtual void waiting(const std::string& line) { (void)line; }
};
