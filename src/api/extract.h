// Running over the swept entries: extracting them (into a folder, onto a stream, into a sink the
// caller implements) and testing them, on worker threads or inline on the caller's thread.
#pragma once

#include "api/archive.h"
#include "extract/extractor.h"
#include "extract/ordered_pool.h"
#include "extract/run.h"
#include "extract/tester.h"
