// What a command will go through, worked out before it starts so that its
// progress line can show a total: one walk of the directories, no data read.
#pragma once

#include <cstdint>

#include "console/commands.h"
#include "console/progress_display.h"

namespace discshell {

struct ImageChanges;

/// x, m, and u and r while they compare: the files below what `target`
/// names (or it alone) and the bytes of them that the image holds.
[[nodiscard]] ProgressTotal treeWork(const Session& session, const PathArgument& target);
/// a: every entry of the directory at `directory`, each copied as a file.
[[nodiscard]] ProgressTotal directoryWork(const Session& session, std::int32_t directory);
/// v: the bytes of every copy 0 that it compares with further copies.
[[nodiscard]] ProgressTotal checkWork(const Session& session);
/// u and r while they write: the whole image, then each changed file into
/// each of its places.
[[nodiscard]] ProgressTotal imageWriteWork(const Session& session, const ImageChanges& changes);

}  // namespace discshell
