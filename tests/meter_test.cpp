// The meter function against a scripted platform: parameters, due times,
// the cached text, failures and what is released.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "plugin/meter_instance.h"
#include "plugin/parameters.h"
#include "plugin/plugin_api.h"
#include "tests/allocation_probe.h"
#include "tests/scripted_platform.h"
#include "tests/test_helpers.h"

namespace {

using Calls = std::vector<std::string>;

constexpr std::uint64_t kSecond = 10'000'000;

TEST(TextToInt32, ReadsLikeTheHostWritesNumbers) {
  EXPECT_EQ(TextToInt32("30"), 30);
  EXPECT_EQ(TextToInt32(" \t\n\v\f\r-12abc"), -12);
  EXPECT_EQ(TextToInt32("+7"), 7);
  EXPECT_EQ(TextToInt32("007"), 7);
  EXPECT_EQ(TextToInt32(""), 0);
  EXPECT_EQ(TextToInt32("fast"), 0);
  EXPECT_EQ(TextToInt32("-"), 0);
  EXPECT_EQ(TextToInt32("+-3"), 0);
  EXPECT_EQ(TextToInt32(" 1 2"), 1);
  EXPECT_EQ(TextToInt32("1.9"), 1);
}

TEST(TextToInt32, WrapsOnOverflowLike32BitArithmetic) {
  EXPECT_EQ(TextToInt32("4294967301"), 5);  // 2^32 + 5
  EXPECT_EQ(TextToInt32("2147483647"), 2147483647);
  EXPECT_EQ(TextToInt32("2147483648"), INT32_MIN);
  EXPECT_EQ(TextToInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(TextToInt32("4294967295"), -1);
  EXPECT_EQ(TextToInt32("-4294967296"), 0);
  EXPECT_EQ(TextToInt32("99999999999999999999"), 1661992959);
}

TEST(Levels, ThreadLevelsMapOntoPlusMinusFifteen) {
  EXPECT_EQ(ThreadPriorityFromLevel(0), -15);
  EXPECT_EQ(ThreadPriorityFromLevel(15), 0);
  EXPECT_EQ(ThreadPriorityFromLevel(30), 15);
  EXPECT_EQ(ThreadPriorityFromLevel(31), 15);
  EXPECT_EQ(ThreadPriorityFromLevel(-1), 15);
  EXPECT_EQ(ThreadPriorityFromLevel(INT32_MIN), 15);
  EXPECT_EQ(ThreadPriorityFromLevel(INT32_MAX), 15);
}

TEST(Levels, ClassLevelsMapOntoFlagsWithRealtimeForTheRest) {
  EXPECT_EQ(PriorityClassFromLevel(1), 0x4000U);
  EXPECT_EQ(PriorityClassFromLevel(2), 0x20U);
  EXPECT_EQ(PriorityClassFromLevel(3), 0x8000U);
  EXPECT_EQ(PriorityClassFromLevel(4), 0x80U);
  EXPECT_EQ(PriorityClassFromLevel(5), 0x100U);
  EXPECT_EQ(PriorityClassFromLevel(0), 0x100U);
  EXPECT_EQ(PriorityClassFromLevel(6), 0x100U);
  EXPECT_EQ(PriorityClassFromLevel(-1), 0x100U);
}

TEST(DueTime, AddsSignExtendedSecondsModulo2To64) {
  EXPECT_EQ(DueTime(1000, 5), 1000 + 5 * kSecond);
  EXPECT_EQ(DueTime(100 * kSecond, -3), 97 * kSecond);
  EXPECT_EQ(DueTime(0, -1), 0 - kSecond);  // wraps past every real time
  EXPECT_EQ(DueTime(0, INT32_MAX), 2147483647ULL * kSecond);
}

class MeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScript();
    baseline_ = allocation_probe::LiveBlocks();
    instance_ = dllstartup(0, 0);
    ASSERT_NE(instance_, nullptr);
  }
  void TearDown() override {
    allocation_probe::FailAllocation(0);
    if (instance_ != nullptr) {
      EXPECT_EQ(dllshutdown(instance_), 0);
    }
    EXPECT_EQ(allocation_probe::LiveBlocks(), baseline_) << "blocks leaked";
    EXPECT_FALSE(Script().schedulingCalls.overflowed);
  }

  const char* Call(const char* interval, const char* thread = "30", const char* cls = "4") {
    return GetCPUSpeed(instance_, interval, thread, cls);
  }
  // Each measurement asks once whether it may spin.
  static int Updates() { return Script().spinQuestions; }
  static void AdvanceSeconds(std::int64_t seconds) {
    Script().systemTime += static_cast<std::uint64_t>(seconds) * kSecond;
  }

  long baseline_ = 0;
  MeterInstance* instance_ = nullptr;
};

TEST_F(MeterTest, FirstCallMeasuresAndWritesDecimalText) {
  const char* text = Call("1");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(Updates(), 1);
  // The scripted counter spins no real time: a small number, as plain text.
  EXPECT_STRNE(text, "");
  EXPECT_EQ(std::strspn(text, "-0123456789"), std::strlen(text));
  EXPECT_LT(std::strlen(text), 12U);
  EXPECT_EQ(instance_->lastUpdate, Script().systemTime);
}

TEST_F(MeterTest, CachedCallsReturnTheSamePointerUntilTheIntervalRunsOut) {
  const char* first = Call("5");
  const std::string firstText = first;
  AdvanceSeconds(4);
  Script().systemTime += kSecond - 1;
  EXPECT_EQ(Call("5"), first);
  EXPECT_EQ(firstText, first);
  EXPECT_EQ(Updates(), 1);
  Script().systemTime += 1;  // exactly 5 s after the stamp
  Call("5");
  EXPECT_EQ(Updates(), 2);
}

TEST_F(MeterTest, NotDueCallsChangeNothingWhateverTheirLevels) {
  Call("60");
  Script().schedulingCalls.clear();
  Call("60", "garbage", "");
  EXPECT_TRUE(Script().schedulingCalls.empty());
  EXPECT_EQ(Script().systemTimeReads, 2);
}

TEST_F(MeterTest, IntervalZeroOrNonNumericUpdatesEveryCall) {
  Call("0");
  Call("");
  Call("soon");
  EXPECT_EQ(Updates(), 3);
}

TEST_F(MeterTest, ClockSetBackWaitsUntilStampPlusIntervalAgain) {
  Call("0");
  AdvanceSeconds(-100);
  Call("0");
  Call("10");
  EXPECT_EQ(Updates(), 1);
  AdvanceSeconds(100);
  Call("0");
  EXPECT_EQ(Updates(), 2);
}

TEST_F(MeterTest, NegativeIntervalBeforeFirstUpdateNeverUpdatesAndGivesEmptyText) {
  const char* text = Call("-1");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  AdvanceSeconds(1'000'000);
  EXPECT_STREQ(Call("-2147483648"), "");
  EXPECT_EQ(Updates(), 0);
}

TEST_F(MeterTest, NegativeIntervalAfterAnUpdateAllowsClockThatMovedBackALittle) {
  Call("0");
  AdvanceSeconds(-3);
  Call("-5");
  EXPECT_EQ(Updates(), 2);
  AdvanceSeconds(-10);
  Call("-5");
  EXPECT_EQ(Updates(), 2);
}

TEST_F(MeterTest, EachUpdateFreesThePreviousBuffer) {
  const long before = allocation_probe::LiveBlocks();
  Call("0");
  EXPECT_EQ(allocation_probe::LiveBlocks(), before + 1);
  Call("0");
  Call("0");
  EXPECT_EQ(allocation_probe::LiveBlocks(), before + 1);
}

TEST_F(MeterTest, ParametersReachTheSchedulerMapped) {
  Script().threadPriority = 1;
  Call("0", "0", "1");
  Call("0", "15", "2");
  Call("0", "31", "6");
  Calls sets;
  for (const std::string& call : Script().schedulingCalls.Texts()) {
    if (call.rfind("set ", 0) == 0) {
      sets.push_back(call);
    }
  }
  EXPECT_EQ(sets, (Calls{"set class 0x4000", "set thread -15", "set class 0x20", "set thread 0",
                         "set class 0x100", "set thread 15"}));
  EXPECT_EQ(Script().threadPriority, 1);
  EXPECT_EQ(Script().priorityClass, plat::kNormalPriorityClass);
}

TEST_F(MeterTest, AllocationFailureGivesFailureTextAndNextDueCallMeasuresAgain) {
  Call("0");
  allocation_probe::FailAllocation(1);
  const char* text = Call("0");
  EXPECT_STREQ(text, kFailureText);
  EXPECT_EQ(Call("5"), text) << "the failure text stays until the next update";
  AdvanceSeconds(5);
  EXPECT_STRNE(Call("5"), kFailureText);
  EXPECT_EQ(Updates(), 2);
}

TEST_F(MeterTest, ShutdownReleasesOnlyWhatTheInstanceOwns) {
  // Never measured, failed, and measured instances all end without a leak or a
  // free of the constant failure text (TearDown counts the blocks).
  MeterInstance* never = dllstartup(1, 2);
  EXPECT_EQ(dllshutdown(never), 0);
  Script().counterRefused = true;
  EXPECT_STREQ(Call("0"), kFailureText);
}

// A thread that may not read the time-stamp counter would fault on the first
// read: the meter asks first, changes nothing and reads no counter.
TEST_F(MeterTest, RefusedCounterGivesFailureTextWithSchedulingUntouchedThenMeasuresWhenAllowed) {
  Call("0");
  Script().schedulingCalls.clear();
  const int counterReads = Script().counterReads;
  Script().counterRefused = true;
  EXPECT_STREQ(Call("0"), kFailureText);
  EXPECT_TRUE(Script().schedulingCalls.empty());
  EXPECT_EQ(Script().counterReads, counterReads);
  EXPECT_STREQ(Call("5"), kFailureText) << "until the next update";
  Script().counterRefused = false;
  AdvanceSeconds(5);
  EXPECT_STRNE(Call("5"), kFailureText);
  EXPECT_EQ(Updates(), 2);
}

// A counter that fails in the middle of a wait ends the update with the
// failure text and the scheduling put back.
TEST_F(MeterTest, CounterThatFailsGivesFailureTextWithSchedulingRestoredThenMeasuresAgain) {
  Call("0");
  Script().threadPriority = -1;
  Script().failAtCounterRead = Script().counterReads + 20;
  EXPECT_STREQ(Call("0", "30", "5"), kFailureText);
  EXPECT_EQ(Script().threadPriority, -1);
  EXPECT_EQ(Script().priorityClass, plat::kNormalPriorityClass);
  EXPECT_STREQ(Call("5"), kFailureText) << "until the next update";
  AdvanceSeconds(5);
  EXPECT_STRNE(Call("5"), kFailureText);
}

#if defined(_WIN32)
// Each real fault, raised half way through a measurement after both
// priorities were set, is caught and the scheduling put back. (On Linux the
// module's own work does not fault, and nothing would catch one.)
class MeterFaultTest : public MeterTest, public ::testing::WithParamInterface<ScriptedFault> {};

TEST_P(MeterFaultTest, FaultMidMeasurementGivesFailureTextAndRestoresScheduling) {
  Call("0");
  const long blocks = allocation_probe::LiveBlocks();
  Script().schedulingCalls.clear();
  Script().threadPriority = -1;
  Script().priorityClass = 0x8000;
  Script().faultAtCounterRead = Script().counterReads + 20;
  Script().fault = GetParam();

  EXPECT_STREQ(Call("0", "30", "5"), kFailureText);
  EXPECT_EQ(Script().schedulingCalls.Texts(),
            (Calls{"get class", "get thread", "set class 0x100", "get class", "set thread 15",
                   "restore thread -1", "get class", "restore class 0x8000"}));
  EXPECT_FALSE(Script().classClaimed);
  EXPECT_EQ(allocation_probe::LiveBlocks(), blocks - 1) << "the buffer was released";
  EXPECT_NE(instance_->lastUpdate, 0U);

  // The failure text stays until the next update; then the instance and the
  // guard both work again.
  EXPECT_STREQ(Call("1"), kFailureText);
  Script().faultAtCounterRead = 0;
  const char* measured = Call("0");
  EXPECT_STRNE(measured, kFailureText);
  EXPECT_EQ(Call("1"), measured);
}

INSTANTIATE_TEST_SUITE_P(Faults, MeterFaultTest,
                         ::testing::Values(ScriptedFault::kAccessViolation,
                                           ScriptedFault::kIllegalInstruction,
                                           ScriptedFault::kPrivilegedInstruction,
                                           ScriptedFault::kDivideByZero));
#endif

TEST_F(MeterTest, NullInstanceGetsTheFailureTextAndShutdownIgnoresIt) {
  EXPECT_STREQ(GetCPUSpeed(nullptr, "0", "0", "0"), kFailureText);
  EXPECT_EQ(dllshutdown(nullptr), 0);
}

TEST_F(MeterTest, NullTextGivesTheFailureTextAndTheNextDueCallMeasures) {
  EXPECT_STREQ(Call(nullptr), kFailureText);
  EXPECT_STREQ(Call("0", nullptr), kFailureText);
  EXPECT_STREQ(Call("0", "30", nullptr), kFailureText);
  EXPECT_TRUE(Script().schedulingCalls.empty());
  EXPECT_STRNE(Call("0"), kFailureText);
}

}  // namespace
