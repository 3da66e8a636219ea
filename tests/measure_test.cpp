// The measurement against a scripted counter and scheduler.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measure/cpu_speed.h"
#include "measure/spin_wait.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"
#include "tests/scripted_platform.h"
#include "tests/test_helpers.h"

namespace {

using Calls = std::vector<std::string>;

class MeasureTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetScript(); }
  void TearDown() override { EXPECT_FALSE(Script().schedulingCalls.overflowed); }
};

constexpr CounterSpan kNoCounter{0, 0};

// Waits that lasted exactly as long as asked, by a counter of 1 MHz.
CounterSpan Exactly(std::uint32_t passes, std::uint32_t delayMs) {
  return {std::int64_t{passes} * delayMs * 1000, 1'000'000};
}

TEST(CyclesToMegahertz, DividesInOrderAndTruncatesTowardZero) {
  // Without a counter, and with waits that lasted exactly as long as asked,
  // one pass of 50 ms gives cycles / 50 / 1000.
  for (bool counted : {false, true}) {
    const CounterSpan one = counted ? Exactly(1, 50) : kNoCounter;
    EXPECT_EQ(CyclesToMegahertz(150'000, 0, 1, 50, one), 3);
    EXPECT_EQ(CyclesToMegahertz(149'999, 0, 1, 50, one), 2);
    EXPECT_EQ(CyclesToMegahertz(104'850'000, 50'000, 1, 50, one), 2096);
    // The overhead twin's cycles come off first.
    EXPECT_EQ(CyclesToMegahertz(104'850'000, 50'001, 1, 50, one), 2095);
    // Several passes are averaged before the per-millisecond division.
    EXPECT_EQ(CyclesToMegahertz(299'999, 0, 3, 1, counted ? Exactly(3, 1) : kNoCounter), 99);
    EXPECT_EQ(CyclesToMegahertz(99'999, 0, 2, 50, counted ? Exactly(2, 50) : kNoCounter), 0);
    // A negative difference truncates toward zero.
    EXPECT_EQ(CyclesToMegahertz(0, 149'999, 1, 50, one), -2);
    EXPECT_EQ(CyclesToMegahertz(0, 49'999, 1, 50, one), 0);
  }
}

TEST(CyclesToMegahertz, WaitThatRanLateCountsOverTheTimeItReallyTook) {
  // 2600 MHz over a 50 ms wait that the scheduler let end at 55 ms.
  const CounterSpan late{55'000'000, 1'000'000'000};
  EXPECT_EQ(CyclesToMegahertz(143'000'000, 0, 1, 50, late), 2600);
  EXPECT_EQ(CyclesToMegahertz(143'000'000, 0, 1, 50, kNoCounter), 2860);
  // A counter of 10 MHz, as Windows has, with the overhead twin's cycles.
  EXPECT_EQ(CyclesToMegahertz(130'000'260, 260, 1, 50, {500'000, 10'000'000}), 2600);
  EXPECT_EQ(CyclesToMegahertz(130'000'260, 261, 1, 50, {500'000, 10'000'000}), 2599);
}

TEST(CyclesToMegahertz, NoOverflowForTheLongestDelay) {
  // 2^32 - 1 ms at 2600 MHz counted by a 1 GHz counter: the product of
  // cycles and frequency is about 10^25.
  const std::int64_t ticks = std::int64_t{0xFFFFFFFF} * 1'000'000;
  const std::int64_t cycles = ticks * 26 / 10;
  EXPECT_EQ(CyclesToMegahertz(cycles, 0, 1, 0xFFFFFFFFU, {ticks, 1'000'000'000}), 2600);
  EXPECT_EQ(CyclesToMegahertz(0, cycles, 1, 0xFFFFFFFFU, {ticks, 1'000'000'000}), -2600);
}

#if defined(__SIZEOF_INT128__)
// Products of cycles and counter frequency above 2^64, from a fixed
// pseudo-random spread, against the compiler's own 128-bit arithmetic.
__extension__ typedef unsigned __int128 Uint128;  // NOLINT(modernize-use-using)

TEST(CyclesToMegahertz, LargeProductsAgreeWith128BitArithmetic) {
  std::uint64_t state = 0x9E3779B97F4A7C15;
  const auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::uint64_t magnitude = next() >> 2;
    const auto cycles = static_cast<std::int64_t>(round % 2 == 0 ? magnitude : 0 - magnitude);
    const auto ticksPerSecond = static_cast<std::int64_t>((next() >> (24 + round % 24)) | 1);
    const auto ticks = static_cast<std::int64_t>((next() >> (1 + round % 48)) | 1);
    const Uint128 product = Uint128{magnitude} * static_cast<std::uint64_t>(ticksPerSecond);
    const auto quotient = static_cast<std::uint64_t>(product / static_cast<std::uint64_t>(ticks));
    const auto hertz = static_cast<std::int64_t>(cycles < 0 ? 0 - quotient : quotient);
    const auto expected = static_cast<std::int32_t>(static_cast<std::uint32_t>(hertz / 1'000'000));
    ASSERT_EQ(CyclesToMegahertz(cycles, 0, 1, 50, {ticks, ticksPerSecond}), expected)
        << cycles << " cycles, " << ticksPerSecond << " per second, " << ticks << " ticks";
  }
}
#endif

TEST(CyclesToMegahertz, DivisorsAreUnsignedAndResultKeepsLow32Bits) {
  // A divisor with the top bit set is a large positive number, not negative.
  EXPECT_EQ(CyclesToMegahertz(4'294'967'295'000LL, 0, 0xFFFFFFFFU, 1, kNoCounter), 1);
  EXPECT_EQ(CyclesToMegahertz(std::int64_t{3000} << 31, 0, 0x80000000U, 1, kNoCounter), 3);
  // 2^32 + 7 MHz truncates to 7.
  const std::int64_t cycles = ((std::int64_t{1} << 32) + 7) * 1000;
  EXPECT_EQ(CyclesToMegahertz(cycles, 0, 1, 1, kNoCounter), 7);
  EXPECT_EQ(CyclesToMegahertz(cycles, 0, 1, 1, Exactly(1, 1)), 7);
  EXPECT_EQ(CyclesToMegahertz(std::int64_t{0x80000000} * 1000, 0, 1, 1, kNoCounter), INT32_MIN);
}

TEST_F(MeasureTest, SpinWaitReadsUntilTargetTicksHavePassed) {
  Script().frequency = 1999;  // 1999 / 1000 = 1 tick per ms
  SpinWait(50);
  EXPECT_EQ(Script().frequencyQueries, 1);
  EXPECT_EQ(Script().counterReads, 51);  // the start, then 50 one-tick steps
}

TEST_F(MeasureTest, SpinWaitStopsAtFirstReadPastTargetAndReportsTheSpan) {
  Script().frequency = 10'000;  // 10 ticks per ms, target 20 for 2 ms
  Script().counterValues = {100, 105, 119, 200};
  const CounterSpan span = SpinWait(2);
  EXPECT_EQ(Script().counterReads, 4);
  EXPECT_EQ(span.ticks, 100);
  EXPECT_EQ(span.ticksPerSecond, 10'000);
}

// Reads slow enough that the wait spans more than the standstill limit, as a
// preempted thread's do, of a counter that moves: once it stands still for
// one read, the limit counts from when it last moved, not from the start.
TEST_F(MeasureTest, SlowReadsOfAMovingCounterAreNoStandstill) {
  Script().frequency = 10'000;  // target 10 ticks for 1 ms
  Script().readCycles = kCounterStandstillCycles / 8;
  Script().counterValues = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10};
  const CounterSpan span = SpinWait(1);
  EXPECT_FALSE(span.failed);
  EXPECT_EQ(span.ticks, 10);
}

// A counter that ticks once every 260 time-stamp cycles and says it runs at
// 10 MHz: the processor then runs at 2600 MHz, whatever its real rate.
TEST_F(MeasureTest, ReadingFollowsTheCountersOwnRate) {
  Script().frequency = 10'000'000;
  Script().timeStampCyclesPerTick = 260;
  EXPECT_NEAR(MeasureOnce(1, 5, plat::kThreadPriorityErrorReturn, 0), 2600, 2);
}

TEST_F(MeasureTest, OverheadTwinMakesOneReadAfterStart) {
  Script().frequency = 1'000'000;
  EXPECT_EQ(SpinWaitOverhead(50).ticks, 1);
  EXPECT_EQ(Script().frequencyQueries, 1);
  EXPECT_EQ(Script().counterReads, 2);
}

TEST_F(MeasureTest, OverheadTwinReadsAgainWhenLandingExactlyOnTarget) {
  Script().frequency = 1000;  // target 1 tick for 1 ms
  Script().counterValues = {10, 11, 11, 12};
  SpinWaitOverhead(1);
  EXPECT_EQ(Script().counterReads, 4);
}

TEST_F(MeasureTest, NoCounterMeansNoWaitAndNoReads) {
  Script().hasCounter = false;
  EXPECT_EQ(SpinWait(50).ticks, 0);
  EXPECT_EQ(SpinWaitOverhead(50).ticks, 0);
  // Two immediate returns differ by far fewer than 50 000 cycles.
  EXPECT_EQ(MeasureOnce(1, 50, 0, plat::kHighPriorityClass), 0);
  EXPECT_EQ(Script().counterReads, 0);
}

TEST_F(MeasureTest, TheTwinsTicksComeOffTheWaits) {
  // A 1 MHz counter. The wait reads 10 000 times in steps of 5 up to its
  // 50 000 ticks; the twin's one read after its start spans 49 999. Over the
  // one tick left the reading is the cycle difference itself, the cycles of
  // 10 000 reads; over the wait's own 50 000 ticks it would be a few MHz.
  Script().frequency = 1'000'000;
  std::vector<std::int64_t>& values = Script().counterValues;
  values.push_back(0);  // the settling read
  for (std::int64_t tick = 0; tick <= 50'000; tick += 5) {
    values.push_back(tick);
  }
  values.push_back(100'000);
  values.push_back(149'999);
  EXPECT_GT(MeasureOnce(1, 50, plat::kThreadPriorityErrorReturn, 0), 1000);
}

TEST_F(MeasureTest, ZeroPassesOrDelayTouchNothing) {
  EXPECT_EQ(MeasureOnce(0, 50, 15, plat::kHighPriorityClass), 0);
  EXPECT_EQ(MeasureOnce(1, 0, 15, plat::kHighPriorityClass), 0);
  EXPECT_TRUE(Script().schedulingCalls.empty());
  EXPECT_EQ(Script().frequencyQueries, 0);
}

TEST_F(MeasureTest, SetsThenRestoresThreadBeforeClass) {
  Script().priorityClass = 0x20;
  Script().threadPriority = -2;
  MeasureOnce(1, 50, 15, plat::kRealtimePriorityClass);
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set class 0x100", "get class", "set thread 15",
                   "restore thread -2", "get class", "restore class 0x20"}));
  EXPECT_FALSE(Script().classClaimed);
}

TEST_F(MeasureTest, LeavesAloneWhatItIsAskedNotToChange) {
  MeasureOnce(1, 50, plat::kThreadPriorityErrorReturn, 0);
  EXPECT_TRUE(Script().schedulingCalls.empty());
  MeasureOnce(1, 50, plat::kThreadPriorityErrorReturn, plat::kHighPriorityClass);
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "set class 0x80", "get class", "get class", "restore class 0x20"}));
}

TEST_F(MeasureTest, FailedReadsLeaveThatSettingAlone) {
  Script().classReadFails = true;
  MeasureOnce(1, 50, 15, plat::kHighPriorityClass);
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set thread 15", "restore thread 0"}));
  EXPECT_FALSE(Script().classClaimed) << "a class that cannot be read is not held";

  ResetScript();
  Script().threadReadFails = true;
  MeasureOnce(1, 50, 15, plat::kHighPriorityClass);
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set class 0x80", "get class", "get class",
                   "restore class 0x20"}));
}

TEST_F(MeasureTest, RefusedSetsAreStillRestored) {
  Script().classSetRefused = true;
  Script().threadSetRefused = true;
  MeasureOnce(1, 50, -15, plat::kBelowNormalPriorityClass);
  // The refused thread restore is tried again once the class is back.
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set class 0x4000", "get class", "set thread -15",
                   "restore thread 0", "get class", "restore class 0x20", "restore thread 0"}));
}

// The class is the whole process's on Windows: one measurement at a time
// changes it, and a class the host sets meanwhile stands. What the system
// made of the request is the meter's class, not what was asked: realtime
// without the privilege gives high, which still goes back.
TEST_F(MeasureTest, ClassIsChangedByOneMeasurementAtATimeAndAHostsOwnChangeStands) {
  struct Case {
    const char* what;
    bool claimedElsewhere;
    bool realtimeGivesHigh;
    std::uint32_t hostSetsMidWait;  // 0: the host leaves it alone
    std::uint32_t classAfter;
  };
  for (const Case& test : {
           Case{"alone", false, false, 0, plat::kNormalPriorityClass},
           Case{"held by another measurement", true, false, 0, plat::kNormalPriorityClass},
           Case{"realtime given as high", false, true, 0, plat::kNormalPriorityClass},
           Case{"the host goes idle", false, false, plat::kIdlePriorityClass,
                plat::kIdlePriorityClass},
           Case{"the host goes idle, class held elsewhere", true, false, plat::kIdlePriorityClass,
                plat::kIdlePriorityClass},
       }) {
    ResetScript();
    Script().threadPriority = 1;
    Script().classClaimed = test.claimedElsewhere;
    Script().realtimeGivesHigh = test.realtimeGivesHigh;
    Script().hostClassAtCounterRead = test.hostSetsMidWait != 0 ? 20 : 0;
    Script().hostClass = test.hostSetsMidWait;
    EXPECT_NE(MeasureOnce(1, 50, 15, plat::kRealtimePriorityClass), INT32_MIN) << test.what;
    EXPECT_EQ(Script().priorityClass, test.classAfter) << test.what;
    EXPECT_EQ(Script().threadPriority, 1) << test.what;
    EXPECT_EQ(Script().classClaimed, test.claimedElsewhere) << test.what << ": the claim";
    const Calls calls = Script().schedulingCalls.Texts();
    const bool setClass = std::find(calls.begin(), calls.end(), "set class 0x100") != calls.end();
    EXPECT_EQ(setClass, !test.claimedElsewhere) << test.what;
  }
}

// A thread that may not spin as it is scheduled (on Linux, real time under a
// budget) gets its scheduling back without a wait.
TEST_F(MeasureTest, ThreadThatMayNotSpinIsRestoredWithoutWaiting) {
  Script().spinRefused = true;
  Script().threadPriority = 1;
  SchedulingChange change;
  std::int32_t megahertz = 7;
  EXPECT_FALSE(MeasureCPUSpeed(1, 50, 15, plat::kHighPriorityClass, change, megahertz));
  EXPECT_EQ(Script().counterReads, 0);
  EXPECT_EQ(Script().threadPriority, 1);
  EXPECT_EQ(Script().priorityClass, plat::kNormalPriorityClass);
  EXPECT_FALSE(change.threadChanged || change.classChanged || Script().classClaimed);
}

// A host in the realtime class whose thread has a priority only that class
// allows (-7..-3, 3..6), measured under each other class. Setting the class
// clips the thread's priority (+6 becomes +2 under the high class), so it is
// read before; and under the meter's class its restore is refused, so it goes
// back again after the class.
TEST_F(MeasureTest, ThreadPriorityOnlyTheCallersClassAllowsIsPutBackUnderEveryClass) {
  for (std::uint32_t priorityClass : {plat::kBelowNormalPriorityClass, plat::kNormalPriorityClass,
                                      plat::kAboveNormalPriorityClass, plat::kHighPriorityClass}) {
    for (std::int32_t priority : {-7, -6, -5, -4, -3, 3, 4, 5, 6}) {
      ResetScript();
      Script().windowsScheduling = true;
      Script().priorityClass = plat::kRealtimePriorityClass;
      Script().threadPriority = priority;
      MeasureOnce(1, 50, plat::kThreadPriorityTimeCritical, priorityClass);
      EXPECT_EQ(Script().threadPriority, priority) << "class 0x" << std::hex << priorityClass;
      EXPECT_EQ(Script().priorityClass, plat::kRealtimePriorityClass);
    }
  }
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set class 0x80", "get class", "set thread 15",
                   "restore thread 6", "get class", "restore class 0x100", "restore thread 6"}));
}

TEST_F(MeasureTest, EveryPassWaitsAndRunsItsTwin) {
  MeasureOnce(3, 50, plat::kThreadPriorityErrorReturn, 0);
  EXPECT_GE(Script().frequencyQueries, 6);
  EXPECT_GE(Script().counter, 3 * 50) << "ticks: three waits of 50 at 1 tick per ms";
}

// A counter read that fails, or a counter that stands still, ends the
// measurement as a failure, with the scheduling put back. Reads: 1 settles,
// 2 and 3 start the wait, 52 ends it, 53 and 54 are the twin's.
TEST_F(MeasureTest, CounterThatFailsOrStandsStillEndsTheMeasurementWithSchedulingRestored) {
  struct Case {
    const char* what;
    int failAtCounterRead;
    std::int64_t counterStep;
  };
  for (const Case& test :
       {Case{"the wait's start read fails", 2, 1}, Case{"its first read fails", 3, 1},
        Case{"a later read fails", 30, 1}, Case{"the twin's start read fails", 53, 1},
        Case{"the twin's read fails", 54, 1}, Case{"the counter stands still", 0, 0}}) {
    ResetScript();
    Script().threadPriority = 2;
    Script().failAtCounterRead = test.failAtCounterRead;
    Script().counterStep = test.counterStep;
    SchedulingChange change;
    std::int32_t megahertz = 7;
    EXPECT_FALSE(MeasureCPUSpeed(1, 50, 15, plat::kHighPriorityClass, change, megahertz))
        << test.what;
    EXPECT_EQ(megahertz, 0) << test.what;
    EXPECT_EQ(Script().threadPriority, 2) << test.what;
    EXPECT_EQ(Script().priorityClass, plat::kNormalPriorityClass) << test.what;
    EXPECT_FALSE(change.threadChanged || change.classChanged) << test.what;
  }
}

#if defined(_WIN32)
// Only Windows catches a fault in the module's own work.
TEST_F(MeasureTest, RecordsChangesSoAnAbandonedMeasurementCanBeUndone) {
  Script().threadPriority = 2;
  Script().faultAtCounterRead = 10;
  Script().fault = ScriptedFault::kAccessViolation;
  SchedulingChange change;
  EXPECT_FALSE(plat::RunGuarded(
      [](void* context) {
        std::int32_t megahertz = 0;
        MeasureCPUSpeed(1, 50, 15, plat::kHighPriorityClass,
                        *static_cast<SchedulingChange*>(context), megahertz);
      },
      &change));
  EXPECT_TRUE(change.threadChanged);
  EXPECT_EQ(change.oldThreadPriority, 2);
  EXPECT_TRUE(change.classChanged);
  EXPECT_EQ(change.oldPriorityClass, 0x20U);
  Script().schedulingCalls.clear();
  RestoreScheduling(change);
  RestoreScheduling(change);  // a second restore has nothing left to do
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"restore thread 2", "get class", "restore class 0x20"}));
  EXPECT_FALSE(Script().classClaimed);
}
#endif

}  // namespace
