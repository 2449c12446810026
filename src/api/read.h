// Reading entries one at a time, as extraction would write them: an entry opened for reading
// (its bytes where they lie, or decoded), its problems as an EntryError, and the cache of decoded
// entries for a front end that serves entries in pieces.
#pragma once

#include "reading/decode_cache.h"
#include "reading/entry_reader.h"
#include "reading/read.h"
#include "reading/store_ahead.h"
#include "reading/warm_up.h"
