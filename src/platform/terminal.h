// Whether the program talks to a person: progress lines are drawn only on a terminal.
#pragma once

namespace tarvel {

// True when standard error is a terminal.
bool StandardErrorIsTerminal();

}  // namespace tarvel
