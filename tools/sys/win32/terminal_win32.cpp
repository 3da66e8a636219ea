#include <io.h>

#include "tools/sys/terminal.h"

namespace sys {

bool IsTerminal(int descriptor) { return _isatty(descriptor) != 0; }

}  // namespace sys
