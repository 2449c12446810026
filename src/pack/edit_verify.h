// Before anything is written, the new archive is read as it will be: through the guest routines
// over the new index, every changed entry decodes to its source file (a deleted one has no data),
// and every entry the edit does not name, in every category, comes out as before
// (pack/edit_check.h).
#pragma once

#include "pack/edit_check.h"
#include "pack/edit_plan.h"
#include "reading/archive.h"

// Throws Error naming the first entry the new archive `plan` makes of `archive` would not give
// as it should; `check` is the old archive's.
void verifyEdit(Archive& archive, const EditPlan& plan, const EditCheck& check);
