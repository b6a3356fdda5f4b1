#include "platform/terminal.h"

#include <unistd.h>

namespace tarvel {

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace tarvel
