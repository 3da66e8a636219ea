#include <io.h>

#include "host/sys/unprivileged.h"

namespace sys {

bool RunAsNobody(const std::function<std::vector<double>()>& /*work*/,
                 std::vector<double>& /*results*/, std::string& reason) {
  reason = "not available on Windows";
  return false;
}

bool IsTerminal(int descriptor) { return _isatty(descriptor) != 0; }

}  // namespace sys
