// Writing the changes of i, e and n (w alone, or with u and r), and what
// ending a run with changes still pending says.
#pragma once

#include <optional>

#include "console/session.h"
#include "edit/tree_edit_plan.h"

namespace discshell {

/// The pending changes planned over `base` and `records` (u's or r's
/// changes, or none); no value after reporting the problems that refuse
/// the write.
[[nodiscard]] std::optional<TreeEditPlan> planPendingWrite(Session& session, ImageChanges base,
                                                           std::vector<RecordChange> records);

/// One line per pending change, in the order they were made.
void printPendingLines(Session& session);

/// Says that nothing was written, and whether an earlier output is as it was.
void reportNothingWritten(Session& session);

/// Whether a q, or "c .." at the root, may end the run. With changes
/// pending it says how many were not written: in batch mode as a failure
/// (the run then ends with status 2), at the prompt only once for the same
/// changes, refusing to end, so that a second q ends it.
[[nodiscard]] bool mayEndWithPending(Session& session);

/// At the end of input, or where a failed command stops a batch: how many
/// changes were not written, if any. In batch mode that makes the run fail.
void warnPendingAtEnd(Session& session);

}  // namespace discshell
