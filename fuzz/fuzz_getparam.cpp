// getparam reads a host text it cannot trust: any bytes, up to a terminator.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/plugin_api.h"

namespace {

bool IsMeterName(const std::string& name) {
  if (name.size() != 11) {
    return false;
  }
  for (std::size_t index = 0; index < name.size(); ++index) {
    char c = name[index];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != "getcpuspeed"[index]) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);  // may hold NULs
  const char* labels = getparam(name.c_str());
  const std::string visible = name.substr(0, name.find('\0'));  // what the module reads
  const bool meter = std::strcmp(labels, "|") != 0;
  if (meter != IsMeterName(visible) || labels != getparam(visible.c_str())) {
    __builtin_trap();
  }
  return 0;
}
