// Built when there is no line editor: terminal lines are read plainly.
#include "console/line_source.h"

namespace discshell {

std::unique_ptr<LineSource> openLineEditor(Session&) { return nullptr; }

}  // namespace discshell
