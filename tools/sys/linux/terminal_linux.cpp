#include <unistd.h>

#include "tools/sys/terminal.h"

namespace sys {

bool IsTerminal(int descriptor) { return isatty(descriptor) != 0; }

}  // namespace sys
