// A platform whose counter, clock and scheduling are scripted by the test and
// whose every scheduling call is recorded. Linked in place of the real one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "tests/processor_faults.h"
#endif

enum class SchedulingOp {
  kGetClass,
  kSetClass,
  kRestoreClass,
  kGetThread,
  kSetThread,
  kRestoreThread
};

struct SchedulingLog {
  struct Entry {
    SchedulingOp op;
    std::int64_t value;
  };
  static constexpr int kCapacity = 64;
  Entry entries[kCapacity];
  int count = 0;

  // Set once a call finds the log full: a runaway loop of calls must not
  // compare equal. Texts() then ends with "log overflowed", and the fixtures
  // fail a test that overflowed it.
  bool overflowed = false;

  void Add(SchedulingOp op, std::int64_t value);
  void clear() {
    count = 0;
    overflowed = false;
  }
  bool empty() const { return count == 0 && !overflowed; }
  // "get class", "set class 0x80", "restore class 0x20", "get thread",
  // "set thread 15", "restore thread 0", in order.
  std::vector<std::string> Texts() const;
};

struct ScriptedPlatform {
  // Whether the kernel lets the thread read the time-stamp counter.
  bool counterRefused = false;
  bool hasCounter = true;
  std::int64_t frequency = 1000;
  // The clock each frequency query hands out; a read on another fails.
  int clock = 7;
  // Values the next counter reads return, in order; after them the counter
  // moves on by counterStep per read (0: it stands still).
  std::vector<std::int64_t> counterValues;
  std::int64_t counter = 0;
  std::int64_t counterStep = 1;
  int counterReads = 0;
  // The counter read, counted from 1, that fails; 0 never.
  int failAtCounterRead = 0;
  // Time-stamp cycles each read takes, as a preempted read would; 0 none.
  std::uint64_t readCycles = 0;
  // Where not 0, the counter is the time-stamp count divided by this, so that
  // a measurement sees real cycles over known ticks.
  std::uint64_t timeStampCyclesPerTick = 0;
  int frequencyQueries = 0;

  std::uint32_t priorityClass = 0x20;
  bool classReadFails = false;
  bool classSetRefused = false;
  std::int32_t threadPriority = 0;
  bool threadReadFails = false;
  bool threadSetRefused = false;
  // The process-wide claim on the class; another measurement's, where set
  // before the call.
  bool classClaimed = false;
  // Windows without the privilege to raise the scheduling priority: a
  // request for the realtime class gives the high class.
  bool realtimeGivesHigh = false;
  // The host's own class change, made at the counter read with this number
  // (counted from 1; 0 never).
  int hostClassAtCounterRead = 0;
  std::uint32_t hostClass = 0;
  bool spinRefused = false;
  // Each measurement asks once whether it may spin, after its sets.
  int spinQuestions = 0;
  // Windows' rules: a thread priority the current class does not allow is
  // refused (outside the realtime class only -15, -2..2 and 15), and a class
  // change moves the thread's base priority with the class, clipped to the
  // new class's range (1..15, realtime 16..31).
  bool windowsScheduling = false;
  // Every scheduling call, in order; kept without allocating so that tests
  // can count the blocks the meter allocates.
  SchedulingLog schedulingCalls;

  std::uint64_t systemTime = 133'000'000'000'000'000ULL;  // a date in 2022
  int systemTimeReads = 0;

#if defined(_WIN32)
  // A real fault raised by the counter read with this number, counted from
  // 1; 0 never. Only the Windows forms catch faults in the module's work.
  int faultAtCounterRead = 0;
  ScriptedFault fault = ScriptedFault::kNone;
#endif
};

// The script the platform functions follow; reset by each test.
ScriptedPlatform& Script();
void ResetScript();
