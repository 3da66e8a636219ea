// The meter as the host sees it: instances, and the meter function that
// measures when an update is due and hands back cached text in between.
#include <cerrno>
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
  // What the call hands back, once the work has decided.
  const char* result;
};

void WriteDecimal(char* buffer, std::int32_t value) {
  const std::to_chars_result written = std::to_chars(buffer, buffer + kResultBufferSize - 1, value);
  *written.ptr = '\0';
}

// The buffer the instance owns, if any: the failure text is the module's.
char* OwnedBuffer(const MeterInstance& instance) {
  return instance.resultText == kFailureText ? nullptr : const_cast<char*>(instance.resultText);
}

// Releases the buffer the instance owns, if any, leaving resultText null.
void ReleaseResult(MeterInstance& instance) {
  char* owned = OwnedBuffer(instance);
  instance.resultText = nullptr;
  plat::PublishForGuard();
  std::free(owned);
}

// The failure text in place of the instance's result, until its next update.
void RecordFailure(void* context) {
  MeterInstance& instance = *static_cast<MeterCall*>(context)->instance;
  ReleaseResult(instance);
  instance.resultText = kFailureText;
}

// Measures into a new buffer that the instance owns from the start; false
// when the counter may not be read or failed, or there is no memory for the
// text.
bool Update(MeterCall& call, std::uint64_t now, std::int32_t threadPriority,
            std::uint32_t priorityClass) {
  MeterInstance& instance = *call.instance;
  instance.lastUpdate = 0;
  ReleaseResult(instance);
  instance.lastUpdate = now;
  plat::PublishForGuard();
  // Asked before anything changes: a refused counter read would fault.
  if (!plat::CounterReadable()) {
    return false;
  }
  auto* buffer = static_cast<char*>(std::malloc(kResultBufferSize));
  if (buffer == nullptr) {
    return false;
  }
  // A text from the moment the instance holds it.
  buffer[0] = '\0';
  instance.resultText = buffer;
  plat::PublishForGuard();
  std::int32_t megahertz = 0;
  if (!MeasureCPUSpeed(kPasses, kDelayMs, threadPriority, priorityClass, call.change, megahertz)) {
    return false;
  }
  WriteDecimal(buffer, megahertz);
  return true;
}

// An update that leaves errno as the host had it: the system calls behind a
// measurement and the C heap may set it. (Nothing else in a call does.)
bool UpdateLeavingErrno(MeterCall& call, std::uint64_t now, std::int32_t threadPriority,
                        std::uint32_t priorityClass) {
  const int hostErrno = errno;
  const bool updated = Update(call, now, threadPriority, priorityClass);
  errno = hostErrno;
  return updated;
}

// The whole call: every read and write of the host's memory happens here,
// under the guard.
void ServeCall(void* context) {
  MeterCall& call = *static_cast<MeterCall*>(context);
  if (call.intervalText == nullptr || call.priorityText == nullptr || call.classText == nullptr) {
    RecordFailure(&call);
    return;
  }
  MeterInstance& instance = *call.instance;
  // The instance is read before any host text: a bad instance then faults
  // first, on itself, and the failure path leaves it alone (one fault per bad
  // call, whatever order a compiler would give the two reads).
  const std::uint64_t lastUpdate = static_cast<volatile const MeterInstance&>(instance).lastUpdate;
  const std::uint64_t now = plat::GetSystemTime();
  // The levels matter only to an update: a call that is not due reads the
  // interval alone.
  if (now >= DueTime(lastUpdate, TextToInt32(call.intervalText)) &&
      !UpdateLeavingErrno(call, now, ThreadPriorityFromLevel(TextToInt32(call.priorityText)),
                          PriorityClassFromLevel(TextToInt32(call.classText)))) {
    RecordFailure(&call);
    return;
  }
  call.result = instance.resultText != nullptr ? instance.resultText : kNeverMeasured;
}

// Ends an instance: its buffer, then the instance itself.
void EndInstance(void* context) {
  auto* instance = static_cast<MeterInstance*>(context);
  std::free(OwnedBuffer(*instance));
  std::free(instance);
}

// Whether address lies within the instance's own bytes.
bool Holds(const MeterInstance& instance, const void* address) {
  const auto begin = reinterpret_cast<std::uintptr_t>(&instance);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  return at >= begin && at - begin < sizeof(MeterInstance);
}

}  // namespace

// The entry points leave errno as the host had it.
extern "C" {

MeterInstance* METER_CALL dllstartup(std::uint32_t /*first*/, std::uint32_t /*second*/) {
  const int hostErrno = errno;
  auto* instance = static_cast<MeterInstance*>(std::malloc(sizeof(MeterInstance)));
  if (instance != nullptr) {
    *instance = MeterInstance{0, nullptr};
  }
  errno = hostErrno;
  return instance;
}

// An instance the module cannot read is left alone: nothing is freed twice.
std::int32_t METER_CALL dllshutdown(MeterInstance* instance) {
  const int hostErrno = errno;
  if (instance != nullptr) {
    plat::RunGuarded(&EndInstance, instance);
  }
  errno = hostErrno;
  return 0;
}

const char* METER_CALL GetCPUSpeed(MeterInstance* instance, const char* intervalText,
                                   const char* priorityText, const char* classText) {
  if (instance == nullptr) {
    return kFailureText;
  }
  MeterCall call{instance, intervalText, priorityText, classText, {}, kFailureText};
  const void* faultAddress = nullptr;
  if (plat::RunGuarded(&ServeCall, &call, &faultAddress)) {
    return call.result;
  }
  // A fault. Put the scheduling back first: a process left in a raised class
  // or a real-time thread would starve the machine. Where the instance itself
  // faulted, it is left alone: a host that counts first-chance faults sees
  // one per bad call. Elsewhere the failure is recorded under a guard of its
  // own, and the call gives the failure text whether or not it could be.
  RestoreScheduling(call.change);
  if (!Holds(*call.instance, faultAddress)) {
    plat::RunGuarded(&RecordFailure, &call);
  }
  return kFailureText;
}

}  // extern "C"
