// The meter as the host sees it: instances, and the meter function that
// measures when an update is due and hands back cached text in between.
#include <atomic>
#include <charconv>
#include <new>

#include "measure/cpu_speed.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"
#include "plugin/meter_instance.h"
#include "plugin/parameters.h"
#include "plugin/plugin_api.h"

const char kFailureText[] = "An unexpected error was returned";

namespace {

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
};

// Keeps the instance's fields in memory, in order, before the next call that
// may fault.
void Publish() { std::atomic_signal_fence(std::memory_order_seq_cst); }

void WriteDecimal(char* buffer, std::int32_t value) {
  const std::to_chars_result written = std::to_chars(buffer, buffer + kResultBufferSize - 1, value);
  *written.ptr = '\0';
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
  Publish();
  char* buffer = new char[kResultBufferSize];
  instance.resultText = buffer;
  Publish();
  const std::int32_t megahertz =
      MeasureCPUSpeedRecorded(kPasses, kDelayMs, threadPriority, priorityClass, call.change);
  WriteDecimal(buffer, megahertz);
}

}  // namespace

void ReleaseResult(MeterInstance& instance) {
  const char* owned = instance.resultText == kFailureText ? nullptr : instance.resultText;
  instance.resultText = nullptr;
  Publish();
  delete[] owned;
}

extern "C" {

MeterInstance* METER_CALL dllstartup(std::uint32_t /*first*/, std::uint32_t /*second*/) {
  auto* instance = new (std::nothrow) MeterInstance{0, nullptr};
  if (instance != nullptr) {
    plat::RetainFaultInterception();
  }
  return instance;
}

std::int32_t METER_CALL dllshutdown(MeterInstance* instance) {
  if (instance != nullptr) {
    instance->lastUpdate = 0;
    ReleaseResult(*instance);
    delete instance;
    plat::ReleaseFaultInterception();
  }
  return 0;
}

const char* METER_CALL GetCPUSpeed(MeterInstance* instance, const char* intervalText,
                                   const char* priorityText, const char* classText) {
  if (instance == nullptr) {
    return kFailureText;
  }
  MeterCall call{instance, intervalText, priorityText, classText, {}};
  if (!plat::RunGuarded(&UpdateIfDue, &call)) {
    // Put the scheduling back first: a process left in a raised class or a
    // real-time thread would starve the machine.
    RestoreScheduling(call.change);
    ReleaseResult(*instance);
    instance->resultText = kFailureText;
  }
  return instance->resultText != nullptr ? instance->resultText : kNeverMeasured;
}

}  // extern "C"
