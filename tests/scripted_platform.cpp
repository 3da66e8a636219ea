#include "tests/scripted_platform.h"

#include <x86intrin.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

ScriptedPlatform gScript;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

bool AllowedInClass(std::int32_t priority, std::uint32_t priorityClass) {
  const bool everywhere = priority == plat::kThreadPriorityIdle ||
                          priority == plat::kThreadPriorityTimeCritical ||
                          (priority >= -2 && priority <= 2);
  const bool realtimeOnly = (priority >= -7 && priority <= -3) || (priority >= 3 && priority <= 6);
  return everywhere || (realtimeOnly && priorityClass == plat::kRealtimePriorityClass);
}

// The base priority of each class, from which its threads' priorities count.
int ClassBase(std::uint32_t priorityClass) {
  switch (priorityClass) {
    case plat::kIdlePriorityClass:
      return 4;
    case plat::kBelowNormalPriorityClass:
      return 6;
    case plat::kAboveNormalPriorityClass:
      return 10;
    case plat::kHighPriorityClass:
      return 13;
    case plat::kRealtimePriorityClass:
      return 24;
    default:
      return 8;
  }
}

// The thread priority after a class change: idle and time critical stay at
// the ends of the new range; any other base moves with the class and is
// clipped to the new range.
std::int32_t ThreadPriorityUnderClass(std::int32_t priority, std::uint32_t priorityClass) {
  if (priority == plat::kThreadPriorityIdle || priority == plat::kThreadPriorityTimeCritical) {
    return priority;
  }
  const bool realtime = priorityClass == plat::kRealtimePriorityClass;
  const int base = ClassBase(priorityClass);
  const int lowest = realtime ? 16 : 1;
  const int highest = realtime ? 31 : 15;
  const int moved = base + priority;
  return (moved < lowest ? lowest : moved > highest ? highest : moved) - base;
}

}  // namespace

void SchedulingLog::Add(SchedulingOp op, std::int64_t value) {
  if (count < kCapacity) {
    entries[count++] = {op, value};
  } else {
    overflowed = true;
  }
}

std::vector<std::string> SchedulingLog::Texts() const {
  std::vector<std::string> texts;
  for (int index = 0; index < count; ++index) {
    const Entry& entry = entries[index];
    switch (entry.op) {
      case SchedulingOp::kGetClass:
        texts.emplace_back("get class");
        break;
      case SchedulingOp::kSetClass:
        texts.push_back("set class " + Hex(static_cast<std::uint32_t>(entry.value)));
        break;
      case SchedulingOp::kRestoreClass:
        texts.push_back("restore class " + Hex(static_cast<std::uint32_t>(entry.value)));
        break;
      case SchedulingOp::kGetThread:
        texts.emplace_back("get thread");
        break;
      case SchedulingOp::kSetThread:
        texts.push_back("set thread " + std::to_string(entry.value));
        break;
      case SchedulingOp::kRestoreThread:
        texts.push_back("restore thread " + std::to_string(entry.value));
        break;
    }
  }
  if (overflowed) {
    texts.emplace_back("log overflowed");
  }
  return texts;
}

ScriptedPlatform& Script() { return gScript; }

void ResetScript() { gScript = ScriptedPlatform{}; }

namespace plat {

bool CounterReadable() { return !gScript.counterRefused; }

bool QueryCounterFrequency(std::int64_t& ticksPerSecond, CounterClock& clock) {
  ++gScript.frequencyQueries;
  ticksPerSecond = gScript.frequency;
  clock = gScript.clock;
  return gScript.hasCounter;
}

bool QueryCounter(CounterClock clock, std::int64_t& ticks) {
  ++gScript.counterReads;
  if (gScript.counterReads == gScript.hostClassAtCounterRead) {
    gScript.priorityClass = gScript.hostClass;
  }
  if (clock != gScript.clock) {
    return false;
  }
#if defined(_WIN32)
  if (gScript.counterReads == gScript.faultAtCounterRead) {
    RaiseFault(gScript.fault);
  }
#endif
  if (gScript.counterReads == gScript.failAtCounterRead) {
    return false;
  }
  const std::uint64_t start = __rdtsc();
  while (__rdtsc() - start < gScript.readCycles) {
  }
  if (gScript.timeStampCyclesPerTick != 0) {
    ticks = static_cast<std::int64_t>(__rdtsc() / gScript.timeStampCyclesPerTick);
    return true;
  }
  const auto index = static_cast<std::size_t>(gScript.counterReads - 1);
  if (index < gScript.counterValues.size()) {
    ticks = gScript.counterValues[index];
    return true;
  }
  gScript.counter += gScript.counterStep;
  ticks = gScript.counter;
  return true;
}

std::uint32_t GetPriorityClass() {
  gScript.schedulingCalls.Add(SchedulingOp::kGetClass, 0);
  return gScript.classReadFails ? 0 : gScript.priorityClass;
}

namespace {

bool ChangeClass(std::uint32_t priorityClass) {
  if (gScript.classSetRefused) {
    return false;
  }
  gScript.priorityClass = gScript.realtimeGivesHigh && priorityClass == kRealtimePriorityClass
                              ? kHighPriorityClass
                              : priorityClass;
  if (gScript.windowsScheduling) {
    gScript.threadPriority = ThreadPriorityUnderClass(gScript.threadPriority, priorityClass);
  }
  return true;
}

bool ChangeThread(std::int32_t priority) {
  if (gScript.threadSetRefused ||
      (gScript.windowsScheduling && !AllowedInClass(priority, gScript.priorityClass))) {
    return false;
  }
  gScript.threadPriority = priority;
  return true;
}

}  // namespace

bool SetPriorityClass(std::uint32_t priorityClass) {
  gScript.schedulingCalls.Add(SchedulingOp::kSetClass, priorityClass);
  return ChangeClass(priorityClass);
}

bool RestorePriorityClass(std::uint32_t priorityClass) {
  gScript.schedulingCalls.Add(SchedulingOp::kRestoreClass, priorityClass);
  return ChangeClass(priorityClass);
}

bool ClaimPriorityClass() {
  const bool claimed = !gScript.classClaimed;
  gScript.classClaimed = true;
  return claimed;
}

void ReleasePriorityClass() { gScript.classClaimed = false; }

std::int32_t GetThreadPriority() {
  gScript.schedulingCalls.Add(SchedulingOp::kGetThread, 0);
  return gScript.threadReadFails ? kThreadPriorityErrorReturn : gScript.threadPriority;
}

bool SetThreadPriority(std::int32_t priority) {
  gScript.schedulingCalls.Add(SchedulingOp::kSetThread, priority);
  return ChangeThread(priority);
}

bool RestoreThreadPriority(std::int32_t priority) {
  gScript.schedulingCalls.Add(SchedulingOp::kRestoreThread, priority);
  return ChangeThread(priority);
}

bool MaySpin() {
  ++gScript.spinQuestions;
  return !gScript.spinRefused;
}

std::uint64_t GetSystemTime() {
  ++gScript.systemTimeReads;
  return gScript.systemTime;
}

}  // namespace plat
