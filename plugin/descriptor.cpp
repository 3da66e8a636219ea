// What the module tells a host about itself. Every answer is a constant, so
// each pointer handed out stays the same for the life of the module.
#include "plugin/plugin_api.h"

namespace {

const char kMeterFunctions[] = "GetCPUSpeed";
const char kMeterParameters[] =
    "Update Interval (Seconds)|Thread Priority (0 - 30)|Priority Class (1 - 5)|";
const char kNoParameters[] = "|";

const char kName[] = "CPU Speed Orbitane Plugin";
const char kCredits[] = "Kestrane, CPU Speed Calculation - Vollmark";
const char kVersion[] = "1.1";
const char kReleaseDate[] = "10.03.2005";
const char kEmpty[] = "";
const char kContact[] = "cpuspeed-meter@users.invalid";

char FoldAsciiCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole-text comparison, ASCII letters compared without regard to case.
bool EqualsIgnoringAsciiCase(const char* text, const char* expected) {
  for (; *expected != '\0'; ++text, ++expected) {
    if (FoldAsciiCase(*text) != FoldAsciiCase(*expected)) {
      return false;
    }
  }
  return *text == '\0';
}

}  // namespace

extern "C" {

const char* METER_CALL init() { return kMeterFunctions; }

const char* METER_CALL getparam(const char* functionName) {
  if (functionName != nullptr && EqualsIgnoringAsciiCase(functionName, kMeterFunctions)) {
    return kMeterParameters;
  }
  return kNoParameters;
}

const char* METER_CALL getinfo(std::uint32_t index) {
  switch (index) {
    case 0:
      return kName;
    case 1:
      return kCredits;
    case 2:
      return kVersion;
    case 3:
    case 4:
      return kReleaseDate;
    case 6:
      return kContact;
    default:
      return kEmpty;
  }
}

std::int32_t METER_CALL dlltype() { return 1; }

}  // extern "C"
