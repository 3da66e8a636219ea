#include "tools/sys/unprivileged.h"

namespace sys {

bool RunAsNobody(const std::function<std::vector<double>()>& /*work*/,
                 std::vector<double>& /*results*/, std::string& reason) {
  reason = "not available on Windows";
  return false;
}

}  // namespace sys
