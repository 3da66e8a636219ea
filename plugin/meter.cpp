// The meter as the host sees it: instances, and the meter function that
// measures when an update is due and hands back cached text in between.
#include <charconv>
#include <cstdlib>

#include "measure/cpu_speed.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"
#include "plugin/meter_instance.h"
#include "plugin/parameters.h"
#include "plugin/plugin_api.h"

namespace {

const char kFailureText[] = "An unexpected error was returned";

// What the host receives before an instance's first update.
const char kNeverMeasured[] = "";

constexpr std::uint32_t kPasses = 1;
constexpr std::uint32_t kDelayMs = 50;

// Everything one call needs, kept in the caller's frame so that it survives
// a fault that abandons the guarded work.
struct MeterCall {
  MeterInstance* instance;
  const char* intervalText;
  const char* priorityText;
  const char* classText;
  SchedulingChange change;
  // Set by a failure that is not a fault: no memory for the result.
  bool failed;
};

void WriteDecimal(char* buffer, std::int32_t value) {
  const std::to_chars_result written = std::to_chars(buffer, buffer + kResultBufferSize - 1, value);
  *written.ptr = '\0';
}

// Releases the buffer the instance owns, if any, leaving resultText null.
void ReleaseResult(MeterInstance& instance) {
  const char* owned = instance.resultText == kFailureText ? nullptr : instance.resultText;
  instance.resultText = nullptr;
  plat::PublishForGuard();
  std::free(const_cast<char*>(owned));
}

void UpdateIfDue(void* context) {
  MeterCall& call = *static_cast<MeterCall*>(context);
  const std::int32_t interval = TextToInt32(call.intervalText);
  const std::int32_t threadPriority = ThreadPriorityFromLevel(TextToInt32(call.priorityText));
  const std::uint32_t priorityClass = PriorityClassFromLevel(TextToInt32(call.classText));

  MeterInstance& instance = *call.instance;
  const std::uint64_t now = plat::GetSystemTime();
  if (now < DueTime(instance.lastUpdate, interval)) {
    return;
  }

  instance.lastUpdate = 0;
  ReleaseResult(instance);
  instance.lastUpdate = now;
  plat::PublishForGuard();
  auto* buffer = static_cast<char*>(std::malloc(kResultBufferSize));
  if (buffer == nullptr) {
    call.failed = true;
    return;
  }
  // A text from the moment the instance holds it: a host that abandons the
  // call (a watchdog's jump, a thread cancelled) finds the empty text there,
  // not what the heap left in the block.
  buffer[0] = '\0';
  instance.resultText = buffer;
  plat::PublishForGuard();
  const std::int32_t megahertz =
      MeasureCPUSpeedRecorded(kPasses, kDelayMs, threadPriority, priorityClass, call.change);
  WriteDecimal(buffer, megahertz);
}

}  // namespace

extern "C" {

MeterInstance* METER_CALL dllstartup(std::uint32_t /*first*/, std::uint32_t /*second*/) {
  auto* instance = static_cast<MeterInstance*>(std::malloc(sizeof(MeterInstance)));
  if (instance != nullptr) {
    *instance = MeterInstance{0, nullptr};
    plat::RetainFaultInterception();
  }
  return instance;
}

std::int32_t METER_CALL dllshutdown(MeterInstance* instance) {
  if (instance != nullptr) {
    instance->lastUpdate = 0;
    ReleaseResult(*instance);
    std::free(instance);
    plat::ReleaseFaultInterception();
  }
  return 0;
}

const char* METER_CALL GetCPUSpeed(MeterInstance* instance, const char* intervalText,
                                   const char* priorityText, const char* classText) {
  if (instance == nullptr) {
    return kFailureText;
  }
  MeterCall call{instance, intervalText, priorityText, classText, {}, false};
  if (!plat::RunGuarded(&UpdateIfDue, &call) || call.failed) {
    // Put the scheduling back first: a process left in a raised class or a
    // real-time thread would starve the machine.
    RestoreScheduling(call.change);
    ReleaseResult(*instance);
    instance->resultText = kFailureText;
  }
  return instance->resultText != nullptr ? instance->resultText : kNeverMeasured;
}

}  // extern "C"
