// Opening an archive (from a path or a reader the caller gives), choosing and sweeping its entries,
// and what a front end shows of them: the entry record and its JSON, the progress of a run, the
// output bound; and where the text that the archive's guest routines print goes (setGuestOutput).
#pragma once

#include "api/error.h"
#include "archive/categories.h"
#include "cpu/fault.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/entry_record.h"
#include "reading/inspect.h"
#include "reading/output_bound.h"
#include "reading/progress.h"
#include "reading/selection.h"
#include "reading/source.h"
#include "reading/sweep.h"
