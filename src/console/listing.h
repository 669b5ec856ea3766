#pragma once

#include <cstdint>

#include "console/session.h"

namespace discshell {

/// Prints the table of the directory whose first block lies at `directoryOffset`.
void listDirectory(Session& session, std::int32_t directoryOffset);

}  // namespace discshell
