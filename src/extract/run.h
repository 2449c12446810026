// Why a run over the swept entries (an extraction, an integrity test) ended before its last entry:
// a result the front ends word in their own terms, never an exception.
#pragma once

#include <cstdint>

enum class RunStop : uint8_t {
  None,         // it went to its end
  OutputBound,  // before an entry that would take the output past the bound (the error says which)
  OutOfMemory,  // no memory to decode an entry (the error names it)
  Failure,      // extraction: a failure that concerns the whole output (a failed write)
  SinkStopped,  // the caller's sink asked it to stop (a failed standard output)
  Cancelled,    // the cancel flag was set
};
