// What the module tells a host about itself. Every answer is a constant, so
// each pointer handed out stays the same for the life of the module.
#include "platform/fault_guard.h"
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

// One getparam question: the name the host passed, and the answer.
struct ParameterQuery {
  const char* functionName;
  const char* answer;
};

void AnswerParameterQuery(void* context) {
  ParameterQuery& query = *static_cast<ParameterQuery*>(context);
  if (EqualsIgnoringAsciiCase(query.functionName, kMeterFunctions)) {
    query.answer = kMeterParameters;
  }
}

}  // namespace

extern "C" {

const char* METER_CALL init() { return kMeterFunctions; }

// The name is read under a guard of its own: a text the module cannot read
// names no meter function.
const char* METER_CALL getparam(const char* functionName) {
  ParameterQuery query{functionName, kNoParameters};
  if (functionName != nullptr) {
    plat::RunGuarded(&AnswerParameterQuery, &query);
  }
  return query.answer;
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
