// The three texts GetCPUSpeed reads on every call, against the scripted
// platform (so an update costs no 50 ms): the reading rule checked against a
// plain 64-bit model of it, and every call's answer checked for its form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/meter_instance.h"
#include "plugin/parameters.h"
#include "plugin/plugin_api.h"
#include "tests/scripted_platform.h"

namespace {

// The rule with wide arithmetic, reduced modulo 2^32 at the end.
std::int32_t ModelTextToInt32(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  std::uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = (value * 10 + static_cast<std::uint64_t>(*text - '0')) & 0xFFFFFFFFU;
  }
  if (negative) {
    value = (0x100000000ULL - value) & 0xFFFFFFFFU;
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

bool IsDecimal(const char* text) {
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > 11) {
    return false;
  }
  const char* digits = *text == '-' ? text + 1 : text;
  return *digits != '\0' && std::strspn(digits, "0123456789") == std::strlen(digits);
}

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Three texts, separated by NUL bytes; missing ones are empty.
  std::vector<std::string> texts(3);
  std::size_t field = 0;
  for (std::size_t index = 0; index < size && field < 3; ++index) {
    if (data[index] == 0) {
      ++field;
    } else {
      texts[field].push_back(static_cast<char>(data[index]));
    }
  }
  for (const std::string& text : texts) {
    Check(TextToInt32(text.c_str()) == ModelTextToInt32(text.c_str()));
  }

  ResetScript();
  MeterInstance* instance = dllstartup(0, 0);
  const char* previous = nullptr;
  for (int call = 0; call < 3; ++call) {
    const char* result =
        GetCPUSpeed(instance, texts[0].c_str(), texts[1].c_str(), texts[2].c_str());
    Check(result != nullptr);
    Check(*result == '\0' || IsDecimal(result));
    const std::int32_t interval = TextToInt32(texts[0].c_str());
    if (previous != nullptr && interval > 0) {
      Check(result == previous);  // the clock stands still: nothing is due
    }
    previous = result;
  }
  Check(dllshutdown(instance) == 0);
  return 0;
}
