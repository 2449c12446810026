// An archive open for reading, and its entries: the selection of what to go through, the sweep
// that looks each up, what the lookup routines say about an entry, where extraction puts it, and
// how it is stored (the listing's view, without decoding).
#pragma once

#include "archive/categories.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/selection.h"
#include "reading/sweep.h"
